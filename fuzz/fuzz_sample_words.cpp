// Sample words of 20- and 24-bit data, and the simulated converter that produces them.
//
// The input's head configures one acquisition: ADC settings, and per channel the signal
// (DC, one sine, noise) and factory coefficients as raw double and float bit patterns, so
// NaN, infinities and huge values reach the converter as well as ordinary ones. The words it
// generates must all decode, in channel order, to codes within full scale, with overload
// status only at full scale. The input's tail is a stream of arbitrary words: whatever a
// decoder accepts must be exactly what the encoder writes for the decoded code and status.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "SampleWords.h"
#include "SignalGenerator.h"

namespace {

namespace words = qmx::words;

// Reads the input front to back; past its end every value is 0.
class Input {
public:
    Input(const uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    template <class T>
    T take()
    {
        unsigned char buf[sizeof(T)] = {};
        for (std::size_t i = 0; i < sizeof(T) && at_ < n_; ++i)
            buf[i] = p_[at_++];
        T v;
        std::memcpy(&v, buf, sizeof v);
        return v;
    }
    std::size_t left() const { return n_ - at_; }
    const uint8_t* here() const { return p_ + at_; }

private:
    const uint8_t* p_;
    std::size_t n_;
    std::size_t at_ = 0;
};

void checkGenerated(Input& in)
{
    const uint8_t head = in.take<uint8_t>();
    qmx::wire::AdcSettings s;
    s.rateCode = head & 15;
    s.dataFormat = (head >> 4) & 1;
    s.icpCurrent = (head >> 5) & 1;
    qmx::sim::Qmx58Module m;
    const unsigned rateIndex = qmx::model::rateListIndex(s.rateCode);
    for (unsigned ch = 0; ch < 4; ++ch) {
        const uint8_t bits = in.take<uint8_t>();
        s.channels[ch] = {static_cast<uint8_t>(bits & 1), static_cast<uint8_t>((bits >> 1) & 1),
                          static_cast<uint8_t>((bits >> 2) & 1), static_cast<uint8_t>((bits >> 3) & 1)};
        qmx::sim::ChannelSignal& sig = m.channels[ch];
        sig.dc = in.take<double>();
        const double amplitude = in.take<double>(), frequency = in.take<double>(), phase = in.take<double>();
        if (bits & 0x10)
            sig.sines.push_back({amplitude, frequency, phase});
        sig.noiseRms = (bits & 0x20) ? in.take<double>() : 0.0;
        auto& coef = m.coefs[ch][s.channels[ch].range][rateIndex];
        coef = {in.take<float>(), in.take<float>()};
    }
    for (double& v : m.icpPhase)
        v = in.take<double>();
    m.faults.overloadMask = in.take<uint8_t>() & 15;
    const std::size_t conversions = 1 + in.take<uint8_t>() % 64;

    qmx::sim::SignalGenerator gen(m, s, in.take<uint64_t>());
    std::vector<uint32_t> out;
    gen.generate(conversions, out);
    const unsigned perConversion = gen.wordsPerConversion();
    if (out.size() != conversions * perConversion)
        std::abort();
    const int32_t fs = qmx::model::fullScaleCode(s.dataFormat);
    std::size_t w = 0;
    while (w < out.size()) {
        for (unsigned ch = 0; ch < 4; ++ch) {
            if (!s.channels[ch].enabled)
                continue;
            int32_t code = 0;
            uint8_t status = 0;
            if (s.dataFormat) {
                if (!words::decode24(out[w], out[w + 1], ch, code, status))
                    std::abort();
                w += 2;
            } else {
                if (!words::decode20(out[w], ch, code))
                    std::abort();
                w += 1;
            }
            if (code > fs || code < -fs)
                std::abort();
            if ((status == words::kStatusOverloadPos && code != fs) ||
                (status == words::kStatusOverloadNeg && code != -fs) ||
                (status != 0 && status != words::kStatusOverloadPos && status != words::kStatusOverloadNeg))
                std::abort();
        }
    }
}

void checkDecoders(Input& in)
{
    std::vector<uint32_t> w;
    while (in.left() >= 4)
        w.push_back(in.take<uint32_t>());
    for (std::size_t i = 0; i < w.size(); ++i) {
        const uint32_t a = w[i], b = i + 1 < w.size() ? w[i + 1] : 0;
        for (unsigned ch = 0; ch < 4; ++ch) {
            int32_t code = 0;
            uint8_t status = 0;
            if (words::decode20(a, ch, code) &&
                (words::encode20(code, ch) != a || code < -(1 << 19) || code >= (1 << 19)))
                std::abort();
            if (words::decode24(a, b, ch, code, status) &&
                (words::encode24a(code, ch) != a || words::encode24b(code, ch, status) != b ||
                 code < -(1 << 23) || code >= (1 << 23)))
                std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    Input in(data, size);
    checkGenerated(in);
    checkDecoders(in);
    return 0;
}
