#pragma once
// The 16 conversion rates of the QMX58 by rate-list index: the list text (shown verbatim),
// the rate in hertz and the module's rate code (15 minus the index).

#include <array>
#include <cstdint>

namespace qmx {

struct RateEntry {
    const char* text;
    double hz;
    std::uint8_t code;
};

inline constexpr std::array<RateEntry, 16> Qmx58RateTable = {{
    {"  610.352", 610.3515625, 15},   {"  915.527", 915.52734375, 14}, {"  1220.70", 1220.703125, 13},
    {"  1831.05", 1831.0546875, 12},  {"  2441.41", 2441.40625, 11},   {"  3662.11", 3662.109375, 10},
    {"  4882.81", 4882.8125, 9},      {"  7324.22", 7324.21875, 8},    {"  9765.63", 9765.625, 7},
    {"  14648.0", 14648.4375, 6},     {"  19531.0", 19531.25, 5},      {"  29297.0", 29296.875, 4},
    {"  39063.0", 39062.5, 3},        {"  58594.0", 58593.75, 2},      {"  78125.0", 78125.0, 1},
    {"  117188", 117187.5, 0},
}};

// The input range tables, in volts, indexed by the range selectors.
inline constexpr double DiffRanges[2] = {2.0, 10.0};
inline constexpr double IcpRanges[2] = {1.0, 5.0};

}  // namespace qmx
