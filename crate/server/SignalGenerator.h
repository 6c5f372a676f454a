#pragma once
// The simulated QMX58 front end and ADC: produces the data words of consecutive
// conversions for one acquisition.
//
// Per enabled channel: the rig's input signal (DC, sines, white noise), the input mode
// (differential DC; differential AC-coupled, which removes the DC; ICP sensor, which removes
// the DC and delays the signal by the channel's ICP lag), the factory calibration error
// that the module's coefficients undo, clipping at full scale with overload status, and
// 20- or 24-bit quantisation.
#include <cstdint>
#include <vector>

#include "Rig.h"
#include "Wire.h"

namespace qmx::sim {

class SignalGenerator {
public:
    SignalGenerator(const Qmx58Module& module, const wire::AdcSettings& settings, uint64_t seed);

    // Appends the words of `conversions` conversions to out.
    void generate(std::size_t conversions, std::vector<uint32_t>& out);

    unsigned wordsPerConversion() const { return wordsPerConversion_; }
    double rateHz() const { return rateHz_; }
    uint64_t conversionsDone() const { return next_; }

private:
    struct Tone {
        double amplitude;
        double omega;  // radians per sample
        double phase;  // radians at conversion 0
    };
    struct Channel {
        unsigned index;
        double dc;
        std::vector<Tone> tones;
        double noiseRms;
        std::vector<Spike> spikes;
        double codePerNominalVolt;  // fullScale / range
        double gain;                // 1 / scale
        double offsetVolts;
        uint64_t rng;
    };

    std::vector<Channel> channels_;
    unsigned dataFormat_;
    int32_t fullScale_;
    unsigned wordsPerConversion_;
    double rateHz_;
    uint64_t next_ = 0;
    std::vector<double> block_;
};

}  // namespace qmx::sim
