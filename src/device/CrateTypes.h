#pragma once
// Crate type codes and their names; any other code is "UNKNOWN".

#include <QString>

#include <cstdint>

namespace qmx {

inline QString crateTypeName(std::uint8_t code)
{
    switch (code) {
    case 21: return "QMX-A1";
    case 10: return "QMX-A8";
    case 30: return "QMX-B8";
    case 31: return "QMX-B2";
    case 40: return "QMX-C1";
    case 41: return "QMX-D1";
    default: return "UNKNOWN";
    }
}

// Largest data rate of a crate type, in KB/s: 800 for type 21, 2000 for every other.
inline double crateDataRateLimitKBps(std::uint8_t code) { return code == 21 ? 800.0 : 2000.0; }

}  // namespace qmx
