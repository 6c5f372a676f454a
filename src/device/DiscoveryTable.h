#pragma once
// DiscoveryTable: what the discovery runs found, owned by the main window and kept between
// runs. At most 16 crates and 16 slots per crate; text fields are zero-terminated.

#include <cstdint>

namespace qmx {

struct DiscoveryTable {
    static constexpr int kMaxCrates = 16;
    static constexpr int kMaxSlots = 16;
    static constexpr int kTextSize = 16;
    static constexpr std::uint16_t kNone = 0xFFFF;

    // The crate server's list, in its order.
    std::uint16_t rawCrateCount = 0;
    char rawSerials[kMaxCrates][kTextSize] = {};
    std::uint8_t rawCrateTypes[kMaxCrates] = {};
    std::uint16_t rawModuleIds[kMaxCrates][kMaxSlots] = {};

    // Crates that hold at least one usable QMX58, in list order.
    std::uint16_t crateCount = 0;
    char crateSerials[kMaxCrates][kTextSize] = {};
    std::uint8_t crateTypes[kMaxCrates] = {};
    std::uint16_t selectedCrateIndex = kNone;

    std::uint16_t moduleCounts[kMaxCrates] = {};
    std::uint16_t selectedModuleIndex[kMaxCrates] = {};
    std::uint16_t moduleSlots[kMaxCrates][kMaxSlots] = {};  // 1-based slot of each module
    char moduleSerials[kMaxCrates][kMaxSlots][kTextSize] = {};
    std::int32_t icpCapable[kMaxCrates][kMaxSlots] = {};
    std::uint8_t moduleFirmware[kMaxCrates][kMaxSlots] = {};

    std::uint8_t crateOk = 0;
    std::uint8_t moduleState = 0;  // 0 none, 1 opened by the scan, 2 opened and configured (usable)
};

}  // namespace qmx
