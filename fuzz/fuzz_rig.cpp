// Rig files: arbitrary text through the parser. A rig it accepts must be one the server can
// serve: serials the wire carries, module IDs that match the QMX58 slots, and for every QMX58
// a configuration the module library accepts (finite 32-bit coefficients and ICP table) and
// data words that decode to codes within full scale, for every channel, in 20 and 24 bits.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "Rig.h"
#include "SampleWords.h"
#include "SignalGenerator.h"

namespace {

using namespace qmx::sim;

bool serialOk(const std::string& s)
{
    if (s.empty() || s.size() >= qmx::wire::kSerialField)
        return false;
    for (unsigned char c : s)
        if (c < 0x21 || c > 0x7E)
            return false;
    return true;
}

void checkModule(const Qmx58Module& m, uint32_t variant)
{
    if (!serialOk(m.serial))
        std::abort();
    qmx::wire::ModuleConfig cfg;
    cfg.summary = {"QMX58", m.serial, m.firmware, m.icpCapable};
    cfg.coefs = m.coefs;
    cfg.icpPhase = m.icpPhase;
    std::vector<uint8_t> bytes;
    qmx::wire::encode(bytes, cfg);
    if (!qmx::wire::decode(bytes.data(), bytes.size(), cfg))
        std::abort();  // the library would refuse the module with a protocol error
    if (!(m.icpPhase[0] > 0))
        std::abort();

    for (uint8_t format = 0; format < 2; ++format) {
        qmx::wire::AdcSettings s;
        s.rateCode = static_cast<uint8_t>(variant & 15);
        s.dataFormat = format;
        for (uint8_t ch = 0; ch < 4; ++ch) {
            const uint32_t bits = variant >> (4 + 3 * ch);
            s.channels[ch] = {1, static_cast<uint8_t>(bits & 1), static_cast<uint8_t>((bits >> 1) & 1),
                              static_cast<uint8_t>(m.icpCapable ? (bits >> 2) & 1 : 0)};
        }
        SignalGenerator gen(m, s, variant);
        std::vector<uint32_t> w;
        gen.generate(48, w);
        if (w.size() != 48u * 4 * (format ? 2 : 1))
            std::abort();
        const int32_t fs = qmx::model::fullScaleCode(format);
        for (std::size_t i = 0; i < 48 * 4; ++i) {
            const unsigned ch = static_cast<unsigned>(i % 4);
            int32_t code = 0;
            uint8_t status = 0;
            const bool ok = format ? qmx::words::decode24(w[2 * i], w[2 * i + 1], ch, code, status)
                                   : qmx::words::decode20(w[i], ch, code);
            if (!ok || code > fs || code < -fs)
                std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    Rig rig;
    std::string error;
    if (!parseRig(text, rig, error)) {
        if (error.rfind("line ", 0) != 0)
            std::abort();  // every refusal names its line
        return 0;
    }
    if (rig.crates.size() > qmx::wire::kMaxCratesOnWire)
        std::abort();
    uint32_t variant = 2166136261u;
    for (std::size_t i = 0; i < size; ++i)
        variant = (variant ^ data[i]) * 16777619u;
    for (std::size_t c = 0; c < rig.crates.size(); ++c) {
        const Crate& crate = rig.crates[c];
        if (!serialOk(crate.serial))
            std::abort();
        for (std::size_t o = 0; o < c; ++o)
            if (rig.crates[o].serial == crate.serial)
                std::abort();
        for (int slot = 1; slot <= 16; ++slot) {
            const bool qmx58 = crate.qmx58.count(slot) != 0;
            if (qmx58 != (crate.moduleIds[slot - 1] == kQmx58ModuleId))
                std::abort();
        }
        for (const auto& [slot, m] : crate.qmx58) {
            if (slot < 1 || slot > 16)
                std::abort();
            checkModule(m, variant ^ static_cast<uint32_t>(slot));
        }
    }
    return 0;
}
