#pragma once
// The simulated rig: crates, the modules in their slots, each QMX58's identity, factory
// coefficients, ICP phase table, input signals and injected faults; and the text format
// that describes it (documented in the README, section "Simulated crate server").
#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Wire.h"

namespace qmx::sim {

struct Sine {
    double amplitude = 0;  // volts (peak)
    double frequency = 0;  // Hz
    double phaseDeg = 0;   // at the start of the acquisition
};

// A single-conversion pulse: `volts` added to conversion `at` of every acquisition.
struct Spike {
    double volts = 0;
    std::uint64_t at = 0;
};

struct ChannelSignal {
    double dc = 0;  // volts
    std::vector<Sine> sines;
    double noiseRms = 0;  // volts, white
    std::vector<Spike> spikes;
};

struct ModuleFaults {
    bool refuseOpen = false;
    bool failGetConfig = false;
    bool failSetAdc = false;
    bool failStart = false;
    bool closeMidFrame = false;  // the first data message is cut short and the connection closed
    bool stall = false;          // after Start no data at all
    uint32_t shortWords = 0;     // nonzero: only this many words per Start, then silence
    uint32_t corruptEvery = 0;   // nonzero: one flipped bit in every n-th word
    uint8_t overloadMask = 0;    // channels driven far beyond every input range
    bool mute = false;           // once opened, no request of the module is answered (the link stays up)
};

struct CrateFaults {
    bool failOpen = false;
    bool failInfo = false;
};

struct Qmx58Module {
    std::string serial;
    uint8_t firmware = 1;
    bool icpCapable = true;
    wire::CoefTable coefs{};
    wire::IcpPhaseTable icpPhase{};  // frequency, then four phase lags in degrees
    std::array<ChannelSignal, 4> channels{};
    ModuleFaults faults;
};

struct Crate {
    std::string serial;
    uint8_t typeCode = 10;
    std::array<uint16_t, 16> moduleIds{};  // index 0..15 = slot 1..16; 0 = empty
    std::map<int, Qmx58Module> qmx58;      // by slot 1..16
    CrateFaults faults;
};

struct Rig {
    std::vector<Crate> crates;
    bool failCrateList = false;

    Crate* findCrate(const std::string& serial);
};

constexpr uint16_t kQmx58ModuleId = 0x1818;

// Factory coefficients derived deterministically from a module serial: offsets within
// +-5 mV, scales within 1 +- 2 %.
wire::CoefTable deriveCoefs(const std::string& serial);

// Parses a rig description; on failure error holds "line N: what".
bool parseRig(const std::string& text, Rig& rig, std::string& error);
bool loadRigFile(const std::string& path, Rig& rig, std::string& error);

// The built-in rig, as rig-file text (so it documents itself and goes through the parser).
const char* defaultRigText();
Rig defaultRig();

}  // namespace qmx::sim
