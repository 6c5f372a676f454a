#pragma once
// Number display, independent of the locale: "." is always the decimal separator.
//
// formatWithMask(v, mask): mask "0." followed by n zeros shows v rounded to n decimals ("0."
// alone: a whole number); halves round away from zero, and a result that rounds to zero is
// shown without a minus sign.
// formatFixed(v, width, decimals): printf's "%<width>.<decimals>f" ("%5.2f" of 2.0 is " 2.00").

#include <QString>

#include <string>

namespace qmx {

std::string formatWithMaskStd(double value, const std::string& mask);
std::string formatFixedStd(double value, int width, int decimals);

inline QString formatWithMask(double value, const QString& mask)
{
    return QString::fromStdString(formatWithMaskStd(value, mask.toStdString()));
}
inline QString formatFixed(double value, int width, int decimals)
{
    return QString::fromStdString(formatFixedStd(value, width, decimals));
}

// Sets the process-wide decimal separator to ".": the C library's numeric locale and Qt's
// default locale (without group separators), whatever the user's locale is.
void setDecimalSeparatorDot();

// The display mask for a precision: "0." followed by `precision` zeros.
inline QString displayMask(int precision) { return "0." + QString(precision, '0'); }

}  // namespace qmx
