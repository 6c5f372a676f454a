#include "Rig.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qmx::sim {

Crate* Rig::findCrate(const std::string& serial) {
    for (auto& c : crates)
        if (c.serial == serial) return &c;
    return nullptr;
}

static uint64_t fnv1a(const std::string& s, uint64_t extra) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
    for (int i = 0; i < 8; ++i) h = (h ^ ((extra >> (8 * i)) & 0xFF)) * 1099511628211ULL;
    return h;
}

static double unitFromHash(uint64_t h) {  // in [-1, 1)
    return static_cast<double>(h >> 11) / 4503599627370496.0 - 1.0;
}

wire::CoefTable deriveCoefs(const std::string& serial) {
    wire::CoefTable t{};
    for (int ch = 0; ch < 4; ++ch)
        for (int r = 0; r < 2; ++r)
            for (int i = 0; i < 16; ++i) {
                const uint64_t key = static_cast<uint64_t>(ch * 100 + r * 20 + i);
                t[ch][r][i][0] = static_cast<float>(5.0 * unitFromHash(fnv1a(serial, key)));
                t[ch][r][i][1] = static_cast<float>(1.0 + 0.02 * unitFromHash(fnv1a(serial, key + 7919)));
            }
    return t;
}

namespace {

// What a rig may describe. Signals: volts far beyond every input range still clip as they
// should; frequencies up to well past the fastest conversion rate (aliasing included).
// Coefficients: an offset within the widest range, a scale a calibration could produce.
// ICP table: lags within one turn at a frequency an ICP sensor passes.
constexpr double kMaxVolts = 1000.0;
constexpr double kMaxSignalHz = 1e6;
constexpr double kMaxPhaseDeg = 1e6;
constexpr double kMaxOffsetMv = 10000.0;
constexpr double kMinScale = 1e-3, kMaxScale = 1e3;
constexpr double kMinIcpHz = 0.1, kMaxIcpHz = 1e6;
constexpr double kMaxIcpLagDeg = 360.0;

struct Parser {
    Rig& rig;
    std::string& error;
    int line = 0;
    Crate* crate = nullptr;
    Qmx58Module* module = nullptr;

    bool fail(const std::string& what) {
        error = "line " + std::to_string(line) + ": " + what;
        return false;
    }

    static bool number(const std::string& s, double& v) {
        if (s.empty()) return false;
        char* end = nullptr;
        errno = 0;
        v = std::strtod(s.c_str(), &end);
        return errno == 0 && *end == '\0' && std::isfinite(v);
    }
    // A number within [lo, hi]: the simulation computes with these in doubles and floats, and
    // values far outside what a bench could hold would only overflow there (to inf or NaN)
    // instead of being reported here with their line.
    static bool number(const std::string& s, double& v, double lo, double hi) {
        return number(s, v) && v >= lo && v <= hi;
    }
    // Digits in decimal, or hexadecimal after "0x" (a leading 0 does not make it octal).
    static bool integer(const std::string& s, long& v, long lo, long hi) {
        const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        const char* begin = s.c_str() + (hex ? 2 : 0);
        const unsigned char first = static_cast<unsigned char>(*begin);  // no sign, no blank
        if (!(hex ? std::isxdigit(first) : std::isdigit(first))) return false;
        char* end = nullptr;
        errno = 0;
        v = std::strtol(begin, &end, hex ? 16 : 10);
        return errno == 0 && end != begin && *end == '\0' && v >= lo && v <= hi;
    }
    static bool serialOk(const std::string& s) {
        if (s.empty() || s.size() > 15) return false;
        for (unsigned char c : s)
            if (c < 0x21 || c > 0x7E) return false;
        return true;
    }

    bool slotLine(const std::vector<std::string>& t) {
        if (!crate) return fail("'slot' outside a crate");
        long slot;
        if (t.size() < 3 || !integer(t[1], slot, 1, 16)) return fail("slot number 1..16 expected");
        if (crate->moduleIds[slot - 1] != 0) return fail("slot " + t[1] + " given twice");
        module = nullptr;
        if (t[2] == "module") {
            long id;
            if (t.size() != 4 || !integer(t[3], id, 1, 0xFFFF)) return fail("module ID expected");
            if (id == kQmx58ModuleId) return fail("use 'qmx58' for a QMX58");
            crate->moduleIds[slot - 1] = static_cast<uint16_t>(id);
            return true;
        }
        if (t[2] != "qmx58") return fail("'module' or 'qmx58' expected");
        if (t.size() < 4 || !serialOk(t[3])) return fail("module serial of 1..15 characters expected");
        Qmx58Module m;
        m.serial = t[3];
        m.coefs = deriveCoefs(m.serial);
        m.icpPhase = {1000.0, 0.0, 0.0, 0.0, 0.0};
        for (std::size_t i = 4; i < t.size(); i += 2) {
            if (i + 1 >= t.size()) return fail("value missing after '" + t[i] + "'");
            long v;
            if (t[i] == "firmware") {
                if (!integer(t[i + 1], v, 0, 255)) return fail("firmware 0..255 expected");
                m.firmware = static_cast<uint8_t>(v);
            } else if (t[i] == "icp") {
                if (t[i + 1] != "yes" && t[i + 1] != "no") return fail("icp yes|no expected");
                m.icpCapable = t[i + 1] == "yes";
            } else {
                return fail("unknown module attribute '" + t[i] + "'");
            }
        }
        crate->moduleIds[slot - 1] = kQmx58ModuleId;
        module = &(crate->qmx58[static_cast<int>(slot)] = m);
        return true;
    }

    bool channelLine(const std::vector<std::string>& t) {
        if (!module) return fail("'channel' outside a qmx58 slot");
        long ch;
        if (t.size() < 2 || !integer(t[1], ch, 0, 3)) return fail("channel 0..3 expected");
        ChannelSignal sig;
        for (std::size_t i = 2; i < t.size();) {
            auto need = [&](std::size_t n) { return i + n < t.size(); };
            double a, b, c;
            if (t[i] == "dc" && need(1)) {
                if (!number(t[i + 1], a, -kMaxVolts, kMaxVolts)) return fail("dc volts within +-1000 expected");
                sig.dc = a;
                i += 2;
            } else if (t[i] == "noise" && need(1)) {
                if (!number(t[i + 1], a, 0, kMaxVolts)) return fail("noise RMS volts 0..1000 expected");
                sig.noiseRms = a;
                i += 2;
            } else if (t[i] == "sine" && need(3)) {
                if (!number(t[i + 1], a, -kMaxVolts, kMaxVolts) || !number(t[i + 2], b, 0, kMaxSignalHz) ||
                    !number(t[i + 3], c, -kMaxPhaseDeg, kMaxPhaseDeg))
                    return fail("'sine AMP HZ DEG' with volts within +-1000, 0..1e6 Hz, degrees within +-1e6 expected");
                if (sig.sines.size() >= 16) return fail("at most 16 sines per channel");
                sig.sines.push_back({a, b, c});
                i += 4;
            } else if (t[i] == "spike" && need(2)) {
                long at;
                if (!number(t[i + 1], a, -kMaxVolts, kMaxVolts) || !integer(t[i + 2], at, 0, 1L << 40))
                    return fail("'spike V N' with volts within +-1000 and a conversion 0..2^40 expected");
                if (sig.spikes.size() >= 16) return fail("at most 16 spikes per channel");
                sig.spikes.push_back({a, static_cast<std::uint64_t>(at)});
                i += 3;
            } else {
                return fail("expected 'dc V', 'sine AMP HZ DEG', 'noise RMS' or 'spike V N' at '" + t[i] + "'");
            }
        }
        module->channels[ch] = sig;
        return true;
    }

    bool faultLine(const std::vector<std::string>& t) {
        if (t.size() < 2) return fail("fault name expected");
        const std::string& f = t[1];
        if (module) {
            ModuleFaults& m = module->faults;
            long v;
            if (t.size() == 2 && f == "refuse-open") m.refuseOpen = true;
            else if (t.size() == 2 && f == "fail-config") m.failGetConfig = true;
            else if (t.size() == 2 && f == "fail-setadc") m.failSetAdc = true;
            else if (t.size() == 2 && f == "fail-start") m.failStart = true;
            else if (t.size() == 2 && f == "close-mid-frame") m.closeMidFrame = true;
            else if (t.size() == 2 && f == "stall") m.stall = true;
            else if (t.size() == 2 && f == "mute") m.mute = true;
            else if (t.size() == 3 && f == "short" && integer(t[2], v, 1, 0x7FFFFFFF)) m.shortWords = static_cast<uint32_t>(v);
            else if (t.size() == 3 && f == "corrupt" && integer(t[2], v, 1, 0x7FFFFFFF)) m.corruptEvery = static_cast<uint32_t>(v);
            else if (t.size() == 3 && f == "overload" && integer(t[2], v, 0, 3)) m.overloadMask |= static_cast<uint8_t>(1u << v);
            else return fail("unknown module fault '" + f + "'");
            return true;
        }
        if (crate) {
            if (t.size() == 2 && f == "open") crate->faults.failOpen = true;
            else if (t.size() == 2 && f == "info") crate->faults.failInfo = true;
            else return fail("unknown crate fault '" + f + "'");
            return true;
        }
        if (t.size() == 2 && f == "list") {
            rig.failCrateList = true;
            return true;
        }
        return fail("unknown fault '" + f + "'");
    }

    bool parseLine(const std::vector<std::string>& t) {
        const std::string& k = t[0];
        if (k == "crate") {
            long type;
            if (t.size() != 4 || !serialOk(t[1]) || t[2] != "type" || !integer(t[3], type, 0, 255))
                return fail("'crate SERIAL type CODE' expected");
            if (rig.findCrate(t[1])) return fail("crate " + t[1] + " given twice");
            if (rig.crates.size() >= wire::kMaxCratesOnWire) return fail("too many crates");
            rig.crates.push_back({});
            crate = &rig.crates.back();
            crate->serial = t[1];
            crate->typeCode = static_cast<uint8_t>(type);
            module = nullptr;
            return true;
        }
        if (k == "slot") return slotLine(t);
        if (k == "channel") return channelLine(t);
        if (k == "fault") return faultLine(t);
        if (k == "icp-phase") {
            if (!module) return fail("'icp-phase' outside a qmx58 slot");
            wire::IcpPhaseTable p{};
            if (t.size() != 6) return fail("'icp-phase HZ DEG0 DEG1 DEG2 DEG3' expected");
            if (!number(t[1], p[0], kMinIcpHz, kMaxIcpHz)) return fail("icp-phase frequency 0.1..1e6 Hz expected");
            for (int i = 1; i < 5; ++i)
                if (!number(t[i + 1], p[i], -kMaxIcpLagDeg, kMaxIcpLagDeg))
                    return fail("icp-phase lags within +-360 degrees expected");
            module->icpPhase = p;
            return true;
        }
        if (k == "coef") {
            if (!module) return fail("'coef' outside a qmx58 slot");
            long ch, r, i;
            double off, sc;
            if (t.size() != 6 || !integer(t[1], ch, 0, 3) || !integer(t[2], r, 0, 1) ||
                !integer(t[3], i, 0, 15) || !number(t[4], off) || !number(t[5], sc))
                return fail("'coef CH RANGE RATE-INDEX OFFSET-MV SCALE' expected");
            // The module sends these as 32-bit floats, which the library requires finite.
            if (!(std::fabs(off) <= kMaxOffsetMv)) return fail("coef offset within +-10000 mV expected");
            if (!(sc >= kMinScale && sc <= kMaxScale)) return fail("coef scale 0.001..1000 expected");
            module->coefs[ch][r][i] = {static_cast<float>(off), static_cast<float>(sc)};
            return true;
        }
        return fail("unknown keyword '" + k + "'");
    }
};

}  // namespace

bool parseRig(const std::string& text, Rig& rig, std::string& error) {
    rig = Rig{};
    Parser p{rig, error};
    std::istringstream in(text);
    std::string raw;
    while (std::getline(in, raw)) {
        ++p.line;
        const auto hash = raw.find('#');
        if (hash != std::string::npos) raw.erase(hash);
        std::istringstream words(raw);
        std::vector<std::string> t;
        for (std::string w; words >> w;) t.push_back(w);
        if (t.empty()) continue;
        if (!p.parseLine(t)) return false;
    }
    return true;
}

bool loadRigFile(const std::string& path, Rig& rig, std::string& error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        error = "cannot open " + path;
        return false;
    }
    std::ostringstream all;
    all << f.rdbuf();
    if (all.str().size() > 1024 * 1024) {
        error = path + " is larger than 1 MiB";
        return false;
    }
    return parseRig(all.str(), rig, error);
}

const char* defaultRigText() {
    return R"(# Built-in rig of the simulated crate server.
# An 8-slot crate with two QMX58-2 (ICP-capable) and a foreign module.
crate SIM-A8-0001 type 10
  slot 2 qmx58 SIM58-0201 firmware 12 icp yes
    icp-phase 1000 0.35 0.42 0.28 0.50
    channel 0 sine 1.0 1000 0 noise 0.0002        # 1 kHz, 1 V peak
    channel 1 sine 1.0 1000 -60 noise 0.0002      # the same sine, 60 degrees behind
    channel 2 dc 1.25 noise 0.0001                # a DC level
    channel 3 sine 4.0 37.5 0 noise 0.0005        # a larger low-frequency sine
  slot 5 module 0x2310                            # not a QMX58
  slot 7 qmx58 SIM58-0702 firmware 12 icp yes
    icp-phase 1000 0.31 0.38 0.44 0.29
    channel 0 sine 0.5 250 0 sine 0.1 750 30 noise 0.0001
    channel 1 dc -0.75 noise 0.0001
    channel 2 sine 1.5 5000 45 noise 0.0003
    channel 3 noise 0.01
# A single-slot crate with a QMX58-1 (no ICP).
crate SIM-A1-0002 type 21
  slot 1 qmx58 SIM58-0101 firmware 11 icp no
    channel 0 sine 2.5 100 0 noise 0.0002
    channel 1 dc 0.5 sine 0.2 100 90 noise 0.0002
    channel 2 dc -3.3 noise 0.0002
    channel 3 sine 8.0 10 0 noise 0.001
)";
}

Rig defaultRig() {
    Rig rig;
    std::string error;
    parseRig(defaultRigText(), rig, error);
    return rig;
}

}  // namespace qmx::sim
