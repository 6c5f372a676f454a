// Accuracy and cost of the ICP lag removal (QMX58_ProcessData flag 0x10), against an
// in-process simulated crate server.
//
//   icp_bench [--conversions N] [--no-timing]
//
// Accuracy: all four channels of a module in ICP mode carry tones at 0.05, 0.1, 0.2, 0.3,
// 0.4, 0.44 and 0.45 times the conversion rate (24-bit data, no noise); a least-squares fit
// of the converted values gives each tone's amplitude and phase. Printed per rate, lag
// table (slots 1, 2 and 4 of tests/crate/IcpSweep.h) and tone: the worst error over the
// four channels, for a fit over the interior (64 conversions left out at each end), a
// Blackman-Harris weighted fit over the whole frame, and an unweighted fit over the whole
// frame (which weighs the frame's ends fully).
//
// Timing: QMX58_ProcessData of 2^24 values (4 x 2^22 and 1 x 2^24, 24-bit) with flags
// 0x0B (calibrated volts) and 0x1B (plus the lag removal); best of five.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "IcpSweep.h"
#include "Rig.h"
#include "SampleWords.h"

namespace {

using namespace qmxtest::icp;

struct Worst {
    double amp = 0, phase = 0;
    void add(const ToneError& e) {
        amp = std::max(amp, std::abs(e.amplitudePct));
        phase = std::max(phase, std::abs(e.phaseDeg));
    }
};

bool accuracy(qmx::sim::CrateServer& server, std::size_t conversions) {
    struct Table {
        uint16_t slot;
        const char* name;
    } tables[] = {{1, "lags 0.28..0.50 deg at 1 kHz"},
                  {2, "lags -1.0..10 deg at 400 Hz"},
                  {4, "lags -41..48 deg at 1 kHz"}};  // halfway between conversions, and far
    const uint8_t rates[] = {0, 3, 15};
    std::printf("ICP lag removal: worst |amplitude error| %% and |phase error| deg over 4 channels\n");
    std::printf("%-12s %-30s %5s | %10s %10s | %10s %10s | %10s %10s\n", "rate Hz", "table", "tone", "int amp%",
                "int deg", "BH amp%", "BH deg", "rect amp%", "rect deg");
    for (const Table& t : tables)
        for (const uint8_t rc : rates) {
            std::vector<double> values;
            IcpModule module(server, t.slot, rc);
            if (!module.acquire(conversions) || !module.convert(0x1B, values)) {
                std::fprintf(stderr, "acquisition failed: %s\n", module.error().c_str());
                return false;
            }
            const FrameErrors fe = frameErrors(values, conversions, 64);
            for (std::size_t j = 0; j < kTones; ++j) {
                Worst in, bh, rect;
                for (unsigned ch = 0; ch < 4; ++ch) {
                    in.add(fe.interior[ch][j]);
                    bh.add(fe.tapered[ch][j]);
                    rect.add(fe.whole[ch][j]);
                }
                std::printf("%-12.7g %-30s %4.2f | %10.2e %10.2e | %10.2e %10.2e | %10.2e %10.2e\n",
                            qmx::model::rateHz(rc), t.name, kToneFraction[j], in.amp, in.phase, bh.amp, bh.phase,
                            rect.amp, rect.phase);
            }
        }
    return true;
}

bool timing() {
    for (const unsigned channels : {4u, 1u}) {
        Qmx58Handle h{};
        if (QMX58_Open(&h, 0x7F000001, 11111, kCrate, 1) != QMX58_OK || QMX58_GetConfig(&h) != QMX58_OK) return false;
        h.rateCode = 0;
        h.dataFormat = 1;
        for (unsigned ch = 0; ch < channels; ++ch) {
            h.channels[ch].enabled = 1;
            h.channels[ch].inputRangeIndex = kIcpRange;
            h.channels[ch].icpSensorMode = 1;
        }
        if (QMX58_SetADC(&h) != QMX58_OK) return false;
        const std::size_t values = std::size_t{1} << 24;
        std::vector<uint32_t> words(2 * values);
        for (std::size_t i = 0; i < values; ++i) {
            const unsigned ch = static_cast<unsigned>(i % channels);
            const auto code = static_cast<int32_t>(4e6 * std::sin(0.01 * static_cast<double>(i / channels) + ch));
            words[2 * i] = qmx::words::encode24a(code, ch);
            words[2 * i + 1] = qmx::words::encode24b(code, ch, 0);
        }
        std::vector<double> out(values);
        std::vector<int32_t> status(values);  // as the program converts: with the overload flags
        for (const uint32_t flags : {0x0Bu, 0x1Bu}) {
            double best = 1e9;
            for (int r = 0; r < 5; ++r) {
                auto count = static_cast<int32_t>(words.size());
                const auto t0 = std::chrono::steady_clock::now();
                const int32_t rc = QMX58_ProcessData(&h, words.data(), out.data(), &count, flags, status.data());
                const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
                if (rc != QMX58_OK) return false;
                best = std::min(best, ms);
            }
            std::printf("ProcessData %u x 2^%d values, flags 0x%02X: %.1f ms\n", channels, channels == 4 ? 22 : 24,
                        flags, best);
        }
        QMX58_Close(&h);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t conversions = 16384;
    bool withTiming = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--conversions") && i + 1 < argc) {
            conversions = std::strtoul(argv[++i], nullptr, 10);
        } else if (!std::strcmp(argv[i], "--no-timing")) {
            withTiming = false;
        } else {
            std::fprintf(stderr, "usage: icp_bench [--conversions N] [--no-timing]\n");
            return 2;
        }
    }
    if (conversions < 1024) conversions = 1024;
    qmx::sim::Rig rig;
    std::string error;
    if (!qmx::sim::parseRig(kRig, rig, error)) {
        std::fprintf(stderr, "rig: %s\n", error.c_str());
        return 1;
    }
    qmx::sim::ServerOptions options;
    options.port = 0;
    options.fast = true;
    qmx::sim::CrateServer server(std::move(rig), options);
    if (!server.start(error)) {
        std::fprintf(stderr, "server: %s\n", error.c_str());
        return 1;
    }
    setenv("QMX_SERVER_PORT", std::to_string(server.port()).c_str(), 1);
    bool ok = accuracy(server, conversions);
    if (ok && withTiming) ok = timing();
    server.stop();
    if (!ok) std::fprintf(stderr, "icp_bench failed\n");
    return ok ? 0 : 1;
}
