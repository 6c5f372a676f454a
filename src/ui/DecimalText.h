#pragma once
// Reading numbers that the operator typed: "." is the decimal separator whatever the locale,
// blanks around the number are allowed, and nothing else may follow it.

#include <QLocale>
#include <QString>

#include <cmath>

namespace qmx {

// True and the value when the whole text (blanks trimmed) is a finite number.
inline bool parseDecimal(const QString& text, double& value)
{
    bool ok = false;
    const double v = QLocale::c().toDouble(text.trimmed(), &ok);
    if (!ok || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

}  // namespace qmx
