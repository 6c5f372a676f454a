#pragma once
// Accuracy of the ICP lag removal (QMX58_ProcessData flag 0x10) through the module library
// and an in-process simulated crate server: every channel of a module in ICP mode carries
// seven noise-free tones at fixed fractions of the conversion rate, up to 0.45 times it;
// after the conversion a least-squares fit at the known frequencies gives each tone's
// amplitude and phase, which are compared with what the server was told to generate.
// Shared by the tests and by bench/icp_bench; no test framework here.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "CrateServer.h"
#include "SampleWords.h"  // the rate table
#include "qmx58api.h"

namespace qmxtest::icp {

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kTones = 7;
// Of the rate: the band's edge is 0.45, the two tones nearest it are where a short filter
// fails first.
constexpr std::array<double, kTones> kToneFraction = {0.05, 0.1, 0.2, 0.3, 0.4, 0.44, 0.45};
// Volts, 4.2 V peak together on the +-5 V range.
constexpr std::array<double, kTones> kToneAmplitude = {0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3};
constexpr uint8_t kIcpRange = 1;  // +-5 V

// Modules in ICP-capable slots: lags like the built-in rig's (0.28..0.50 degrees at 1 kHz,
// 0.09..0.16 conversions at 117187.5 Hz); a larger table with a lead and lags beyond one
// conversion (-0.81, 0.98, 2.93 and 8.14 conversions at 117187.5 Hz); none at all; and
// delays halfway between two conversions, where the filter's error is largest, and near
// the +-16 conversions it reaches: 1.5, -13.5, 15.5 and 0.5 conversions at 117187.5 Hz,
// 0.5, -4.5, 5.17 and 0.17 at 39062.5 Hz.
constexpr const char* kRig = R"(
crate ICP-1 type 10
  slot 1 qmx58 ICP-0001 icp yes
    icp-phase 1000 0.35 0.42 0.28 0.50
  slot 2 qmx58 ICP-0002 icp yes
    icp-phase 400 1.2 -1.0 3.6 10.0
  slot 3 qmx58 ICP-0003 icp yes
    icp-phase 1000 0 0 0 0
  slot 4 qmx58 ICP-0004 icp yes
    icp-phase 1000 4.608 -41.472 47.616 1.536
)";
constexpr const char* kCrate = "ICP-1";

inline double tonePhaseDeg(unsigned ch, std::size_t tone) { return 10.0 + 50.0 * tone + 25.0 * ch; }

// The tones of channel ch at the given conversion rate, at kToneFraction times `scale`
// times the rate (scale 1: together they repeat after 100 conversions; otherwise the frame
// holds no whole periods).
inline qmx::sim::ChannelSignal toneSignal(unsigned ch, double rateHz, double scale = 1.0) {
    qmx::sim::ChannelSignal s;
    for (std::size_t j = 0; j < kTones; ++j)
        s.sines.push_back({kToneAmplitude[j], kToneFraction[j] * scale * rateHz, tonePhaseDeg(ch, j)});
    return s;
}

struct ToneError {
    double amplitudePct = 0;  // (fitted / true - 1) * 100
    double phaseDeg = 0;      // fitted - true, wrapped to +-180
};
using ChannelErrors = std::array<ToneError, kTones>;

// Errors of the tones (toneSignal with `scale`) of channel ch in four-channel values, by a
// weighted least-squares fit of a constant and the tones' sines to conversions [first, last)
// with weight[n] (null: all 1). Exact for a noise-free sum of those tones, however the
// frame cuts them.
inline ChannelErrors fitTones(const std::vector<double>& values, unsigned ch, std::size_t first, std::size_t last,
                              const std::vector<double>* weight, double scale) {
    constexpr std::size_t m = 1 + 2 * kTones;
    double a[m][m] = {}, x[m] = {}, row[m];
    for (std::size_t n = first; n < last; ++n) {
        const double w = weight ? (*weight)[n] : 1.0;
        row[0] = 1.0;
        for (std::size_t j = 0; j < kTones; ++j) {
            const double arg = 2 * kPi * kToneFraction[j] * scale * static_cast<double>(n);
            row[1 + 2 * j] = std::sin(arg);
            row[2 + 2 * j] = std::cos(arg);
        }
        for (std::size_t r = 0; r < m; ++r) {
            x[r] += w * row[r] * values[n * 4 + ch];
            for (std::size_t c = 0; c < m; ++c) a[r][c] += w * row[r] * row[c];
        }
    }
    // The normal equations are symmetric positive definite: elimination needs no pivoting.
    for (std::size_t c = 0; c < m; ++c)
        for (std::size_t r = c + 1; r < m; ++r) {
            const double f = a[r][c] / a[c][c];
            for (std::size_t j = c; j < m; ++j) a[r][j] -= f * a[c][j];
            x[r] -= f * x[c];
        }
    for (std::size_t r = m; r-- > 0;) {
        for (std::size_t j = r + 1; j < m; ++j) x[r] -= a[r][j] * x[j];
        x[r] /= a[r][r];
    }
    ChannelErrors e;
    for (std::size_t j = 0; j < kTones; ++j) {
        const double s = x[1 + 2 * j], c = x[2 + 2 * j];  // A cos(phase), A sin(phase)
        e[j].amplitudePct = (std::hypot(s, c) / kToneAmplitude[j] - 1) * 100;
        e[j].phaseDeg = std::remainder(std::atan2(c, s) * 180 / kPi - tonePhaseDeg(ch, j), 360.0);
    }
    return e;
}

struct FrameErrors {
    std::array<ChannelErrors, 4> interior;  // fit over the frame without `margin` conversions at each end
    std::array<ChannelErrors, 4> tapered;   // Blackman-Harris weighted fit over the whole frame
    std::array<ChannelErrors, 4> whole;     // unweighted fit over the whole frame (the ends count fully)
};

// Errors of the tones (toneSignal with `scale`) on all four channels of values
// converted from `conversions` conversions of four channels.
inline FrameErrors frameErrors(const std::vector<double>& values, std::size_t conversions, std::size_t margin,
                               double scale = 1.0) {
    std::vector<double> bh(conversions);  // four-term Blackman-Harris
    for (std::size_t i = 0; i < conversions; ++i) {
        const double x = 2 * kPi * static_cast<double>(i) / static_cast<double>(conversions - 1);
        bh[i] = 0.35875 - 0.48829 * std::cos(x) + 0.14128 * std::cos(2 * x) - 0.01168 * std::cos(3 * x);
    }
    FrameErrors out;
    for (unsigned ch = 0; ch < 4; ++ch) {
        out.interior[ch] = fitTones(values, ch, margin, conversions - margin, nullptr, scale);
        out.tapered[ch] = fitTones(values, ch, 0, conversions, &bh, scale);
        out.whole[ch] = fitTones(values, ch, 0, conversions, nullptr, scale);
    }
    return out;
}

// One module of the rig with all four channels in ICP mode (+-5 V), 24-bit data and the
// tones of its rate (toneSignal) on every channel; acquires frames and converts them.
class IcpModule {
public:
    static constexpr std::size_t kWordsPerConversion = 4 * 2;

    IcpModule(qmx::sim::CrateServer& server, uint16_t slot, uint8_t rateCode, double toneScale = 1.0) {
        const double rate = qmx::model::rateHz(rateCode);
        for (unsigned ch = 0; ch < 4; ++ch)
            if (!server.setChannelSignal(kCrate, slot, static_cast<int>(ch), toneSignal(ch, rate, toneScale)))
                fail("setChannelSignal");
        if (QMX58_Open(&h_, 0x7F000001, 11111, kCrate, slot) != QMX58_OK || QMX58_GetConfig(&h_) != QMX58_OK) {
            fail("QMX58_Open / QMX58_GetConfig");
            return;
        }
        h_.rateCode = rateCode;
        h_.dataFormat = 1;
        for (auto& c : h_.channels) {
            c.enabled = 1;
            c.inputRangeIndex = kIcpRange;
            c.icpSensorMode = 1;
        }
        if (QMX58_SetADC(&h_) != QMX58_OK) fail("QMX58_SetADC");
    }
    ~IcpModule() { QMX58_Close(&h_); }
    IcpModule(const IcpModule&) = delete;
    IcpModule& operator=(const IcpModule&) = delete;

    // Empty, or the first thing that failed.
    const std::string& error() const { return error_; }

    // Start, `conversions` conversions received, Stop.
    bool acquire(std::size_t conversions) {
        if (!error_.empty()) return false;
        words_.assign(conversions * kWordsPerConversion, 0);
        if (QMX58_Start(&h_) != QMX58_OK) return fail("QMX58_Start");
        bool ok = true;
        for (std::size_t got = 0; ok && got < words_.size(); got += 1 << 16) {
            const auto piece = static_cast<uint32_t>(std::min<std::size_t>(words_.size() - got, 1 << 16));
            ok = QMX58_Recv(&h_, words_.data() + got, nullptr, piece, 10000) == static_cast<int32_t>(piece);
        }
        return QMX58_Stop(&h_) == QMX58_OK && ok ? true : fail("QMX58_Recv / QMX58_Stop");
    }

    // Converts the acquired frame with `flags`: in one call, or in calls of the given
    // numbers of conversions in turn (which must add up to the frame).
    bool convert(uint32_t flags, std::vector<double>& values, const std::vector<std::size_t>& chunks = {}) {
        if (!error_.empty()) return false;
        const std::size_t conversions = words_.size() / kWordsPerConversion;
        values.assign(conversions * 4, 0.0);
        std::size_t at = 0;
        for (const std::size_t piece : chunks.empty() ? std::vector<std::size_t>{conversions} : chunks) {
            auto count = static_cast<int32_t>(piece * kWordsPerConversion);
            if (at + piece > conversions ||
                QMX58_ProcessData(&h_, words_.data() + at * kWordsPerConversion, values.data() + at * 4, &count, flags,
                                  nullptr) != QMX58_OK ||
                count != static_cast<int32_t>(piece * 4))
                return fail("QMX58_ProcessData");
            at += piece;
        }
        return at == conversions ? true : fail("chunks do not cover the frame");
    }

private:
    bool fail(const std::string& what) {
        if (error_.empty()) error_ = what;
        return false;
    }

    Qmx58Handle h_{};
    std::string error_;
    std::vector<uint32_t> words_;
};

}  // namespace qmxtest::icp
