#include "SignalGenerator.h"

#include <algorithm>
#include <cmath>

#include "SampleWords.h"

namespace qmx::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kBlock = 1024;  // conversions per recurrence run

uint64_t splitmix(uint64_t& s) {
    uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Standard normal values for white noise, looked up by random index: the generator must
// keep up with far more than real time in the fast mode, and a table of 65536 Box-Muller
// values is indistinguishable from a Gaussian for a measuring test.
const std::vector<float>& gaussTable() {
    static const std::vector<float> table = [] {
        std::vector<float> t(65536);
        uint64_t s = 12345;
        for (std::size_t i = 0; i < t.size(); i += 2) {
            const double u1 = (static_cast<double>(splitmix(s) >> 11) + 0.5) / 9007199254740992.0;
            const double u2 = static_cast<double>(splitmix(s) >> 11) / 9007199254740992.0;
            const double r = std::sqrt(-2.0 * std::log(u1));
            t[i] = static_cast<float>(r * std::cos(2 * kPi * u2));
            t[i + 1] = static_cast<float>(r * std::sin(2 * kPi * u2));
        }
        return t;
    }();
    return table;
}

}  // namespace

SignalGenerator::SignalGenerator(const Qmx58Module& module, const wire::AdcSettings& s, uint64_t seed)
    : dataFormat_(s.dataFormat),
      fullScale_(model::fullScaleCode(s.dataFormat)),
      rateHz_(model::rateHz(s.rateCode)) {
    const unsigned rateIndex = model::rateListIndex(s.rateCode);
    for (unsigned ch = 0; ch < 4; ++ch) {
        const wire::AdcChannel& c = s.channels[ch];
        if (!c.enabled) continue;
        const ChannelSignal& sig = module.channels[ch];
        const bool icp = c.icp != 0;
        const bool ac = icp || c.acCoupling != 0;
        Channel out{};
        out.index = ch;
        out.dc = ac ? 0.0 : sig.dc;
        out.noiseRms = sig.noiseRms;
        out.spikes = sig.spikes;
        // The ICP input lags by the phase of the module's table at its frequency: a delay
        // of lag / 360 / f seconds, which QMX58_ProcessData removes with flag 0x10.
        double delay = 0.0;
        if (icp && module.icpPhase[0] > 0) delay = module.icpPhase[1 + ch] / 360.0 / module.icpPhase[0];
        for (const Sine& sine : sig.sines) {
            Tone t{};
            t.amplitude = sine.amplitude;
            t.omega = 2 * kPi * sine.frequency / rateHz_;
            t.phase = sine.phaseDeg * kPi / 180.0 - 2 * kPi * sine.frequency * delay;
            if (sine.frequency == 0 && ac) continue;  // a zero-frequency "sine" is DC
            out.tones.push_back(t);
        }
        if (module.faults.overloadMask & (1u << ch)) {
            // Far beyond the largest range, at a frequency every rate resolves.
            out.tones.push_back({30.0, 2 * kPi * 3.0 / rateHz_, 0.0});
        }
        const double range = model::rangeVolts(icp, c.range);
        out.codePerNominalVolt = fullScale_ / range;
        const auto& coef = module.coefs[ch][c.range][rateIndex];
        out.gain = 1.0 / coef[1];
        out.offsetVolts = coef[0] * 1e-3;
        uint64_t st = seed ^ (0xA0761D6478BD642FULL * (ch + 1));
        out.rng = splitmix(st) | 1;  // xorshift must not start at 0
        channels_.push_back(out);
    }
    wordsPerConversion_ = static_cast<unsigned>(channels_.size()) * (dataFormat_ ? 2u : 1u);
    block_.resize(kBlock * channels_.size());
}

void SignalGenerator::generate(std::size_t conversions, std::vector<uint32_t>& out) {
    const auto& gauss = gaussTable();
    const std::size_t k = channels_.size();
    out.reserve(out.size() + conversions * wordsPerConversion_);
    while (conversions > 0) {
        const std::size_t n = std::min(conversions, kBlock);
        for (std::size_t c = 0; c < k; ++c) {
            Channel& ch = channels_[c];
            double* v = &block_[c * kBlock];
            std::fill(v, v + n, ch.dc);
            for (const Tone& t : ch.tones) {
                // Exact phase at the block start, then a rotation per conversion; the
                // rounding drift of 1024 rotations stays far below one 24-bit step.
                const double p0 = t.phase + t.omega * static_cast<double>(next_);
                double re = std::cos(p0), im = std::sin(p0);
                const double cr = std::cos(t.omega), ci = std::sin(t.omega);
                for (std::size_t i = 0; i < n; ++i) {
                    v[i] += t.amplitude * im;
                    const double nre = re * cr - im * ci;
                    im = re * ci + im * cr;
                    re = nre;
                }
            }
            if (ch.noiseRms > 0) {
                for (std::size_t i = 0; i < n; ++i) {
                    ch.rng ^= ch.rng << 13;
                    ch.rng ^= ch.rng >> 7;
                    ch.rng ^= ch.rng << 17;
                    v[i] += ch.noiseRms * gauss[ch.rng >> 48];
                }
            }
            for (const Spike& s : ch.spikes)
                if (s.at >= next_ && s.at - next_ < n) v[s.at - next_] += s.volts;
        }
        const int32_t fs = fullScale_;
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t c = 0; c < k; ++c) {
                const Channel& ch = channels_[c];
                const double nominal = block_[c * kBlock + i] * ch.gain + ch.offsetVolts;
                const double x = std::nearbyint(nominal * ch.codePerNominalVolt);
                // Only a value within full scale is cast: a value that is not a number (a
                // signal or coefficient beyond what doubles hold) reads as a positive
                // overload, never as the undefined result of casting NaN.
                int32_t code;
                uint8_t status = 0;
                if (x >= -fs && x <= fs) {
                    code = static_cast<int32_t>(x);
                } else if (x < -fs) {
                    code = -fs;
                    status = words::kStatusOverloadNeg;
                } else {
                    code = fs;
                    status = words::kStatusOverloadPos;
                }
                if (dataFormat_) {
                    out.push_back(words::encode24a(code, ch.index));
                    out.push_back(words::encode24b(code, ch.index, status));
                } else {
                    out.push_back(words::encode20(code, ch.index));
                }
            }
        }
        next_ += n;
        conversions -= n;
    }
}

}  // namespace qmx::sim
