#pragma once
// Synthetic channel signals of known DC level, amplitude, frequency and phase, generated in
// long double so that the signal itself carries no error worth measuring.

#include <cmath>
#include <random>
#include <vector>

namespace qmxtest {

constexpr long double kPi = 3.141592653589793238462643383279502884L;

struct Tone {
    double amplitude = 0;   // volts, peak
    double frequency = 0;   // Hz
    double phaseDeg = 0;    // of a cosine, degrees
};

// dc + a cos(2 pi f n / fs + theta) + white Gaussian noise of standard deviation `noise`.
inline std::vector<double> makeSignal(long M, double fs, double dc, const Tone& t,
                                      double noise = 0.0, unsigned seed = 1)
{
    std::vector<double> x(M + 16, 0.0);
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> gauss(0.0, noise > 0 ? noise : 1.0);
    const long double w = 2 * kPi * static_cast<long double>(t.frequency) / fs;
    const long double th = static_cast<long double>(t.phaseDeg) * kPi / 180;
    for (long n = 0; n < M; ++n) {
        long double v = dc + t.amplitude * std::cos(w * n + th);
        if (noise > 0)
            v += gauss(rng);
        x[n] = static_cast<double>(v);
    }
    return x;
}

}  // namespace qmxtest
