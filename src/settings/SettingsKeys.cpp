#include "SettingsKeys.h"

#include <cstdio>

namespace qmx::settings {

std::string precisionKey(PrecisionRow row, double rangeVolts)
{
    const PrecisionRowInfo& info = kPrecisionRows[row];
    // "%5.2f" of a range value of a few volts: no locale enters (digits and "." only).
    const long hundredths = static_cast<long>(rangeVolts * 100.0 + (rangeVolts < 0 ? -0.5 : 0.5));
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld.%02ld", hundredths / 100, (hundredths < 0 ? -hundredths : hundredths) % 100);
    std::string number(buf);
    if (number.size() < 5)
        number.insert(0, 5 - number.size(), ' ');
    return std::string(info.icp ? "АЦП. Диапазон ICP входа " : "АЦП. Диапазон дифф. входа ") + number + info.suffix;
}

}  // namespace qmx::settings
