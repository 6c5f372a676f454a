#include "NumberFormat.h"

#include <QLocale>

#include <clocale>

#include <charconv>
#include <cmath>

namespace qmx {
namespace {

// v rounded to `decimals` places, halves away from zero, as fixed-point text.
std::string fixed(double value, int decimals)
{
    if (!std::isfinite(value))
        return std::isnan(value) ? "NAN" : (value > 0 ? "INF" : "-INF");
    // The exact decimal expansion of the double decides ties: a value that is exactly half a
    // unit in the last place rounds away from zero, anything else to nearest.
    char exact[1500];
    auto r = std::to_chars(exact, exact + sizeof exact, std::fabs(value), std::chars_format::fixed, 1074);
    std::string s(exact, r.ptr);
    const std::size_t dot = s.find('.');
    std::string intPart = s.substr(0, dot);
    std::string frac = dot == std::string::npos ? std::string() : s.substr(dot + 1);
    frac.resize(std::max<std::size_t>(frac.size(), static_cast<std::size_t>(decimals) + 1), '0');
    std::string kept = intPart + frac.substr(0, static_cast<std::size_t>(decimals));
    const bool roundUp = frac[static_cast<std::size_t>(decimals)] >= '5';
    if (roundUp) {
        int i = static_cast<int>(kept.size()) - 1;
        for (; i >= 0; --i) {
            if (kept[static_cast<std::size_t>(i)] == '9') {
                kept[static_cast<std::size_t>(i)] = '0';
            } else {
                ++kept[static_cast<std::size_t>(i)];
                break;
            }
        }
        if (i < 0)
            kept.insert(kept.begin(), '1');
    }
    const std::size_t intDigits = kept.size() - static_cast<std::size_t>(decimals);
    std::string out = kept.substr(0, intDigits);
    if (decimals > 0)
        out += "." + kept.substr(intDigits);
    const bool zero = kept.find_first_not_of('0') == std::string::npos;
    if (value < 0 && !zero)
        out.insert(out.begin(), '-');
    return out;
}

}  // namespace

std::string formatWithMaskStd(double value, const std::string& mask)
{
    const std::size_t dot = mask.find('.');
    const int decimals = dot == std::string::npos ? 0 : static_cast<int>(mask.size() - dot - 1);
    return fixed(value, decimals);
}

std::string formatFixedStd(double value, int width, int decimals)
{
    std::string s = fixed(value, decimals);
    if (value < 0 && s[0] != '-' && std::signbit(value))
        s.insert(s.begin(), '-');  // printf keeps the sign of a negative value that rounds to zero
    if (static_cast<int>(s.size()) < width)
        s.insert(0, static_cast<std::size_t>(width) - s.size(), ' ');
    return s;
}

void setDecimalSeparatorDot()
{
    std::setlocale(LC_NUMERIC, "C");
    QLocale c(QLocale::C);
    c.setNumberOptions(QLocale::OmitGroupSeparator);
    QLocale::setDefault(c);
}

}  // namespace qmx
