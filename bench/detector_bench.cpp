// detector_bench: how often the "fft" method's tone detector errs, over many frames of
// synthetic signals (white Gaussian noise of unit variance, fixed seeds), at several frame
// lengths M, and what it costs.
//
//   false alarm   noise alone reported as a tone (promised: at most 1e-4 per frame). Beside
//                 it the rate of the statistic above a lower level where the threshold's
//                 model predicts 5 %, which checks the model with few frames.
//   miss          a tone 10 dB above the noise of its summed bins (tone power, in the units
//                 of the summed power E, = 10 x the noise E expected there), phase uniform,
//                 frequency uniform over the bins without an edge doubt, [s + 3.75, M/2 - 3.75],
//                 reported as no tone (promised: none in 10^4 frames). min stat/thr: the
//                 weakest of those tones against the threshold.
//   2nd tone      SecondTone raised on one tone alone: the 10 dB tones above (those detected)
//                 and tones 40 dB above the noise of the span.
//   edges         misses of the 10 dB tone in half-bin cells at both ends of the searched band
//                 (where the summed bins are cut short and the edge doubts are raised).
//
//   detector_bench [frames]    frames per quantity for M <= 65536 (default 10000); M = 2^20
//                              runs frames/10, M = 2^24 frames/100 (the noise alone takes
//                              most of the time there).

#include "ChannelMeasurement.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kFs = 117187.5;
constexpr double kPi = 3.14159265358979323846;

struct Source {
    std::mt19937_64 rng;
    std::normal_distribution<double> gauss{0.0, 1.0};
    std::uniform_real_distribution<double> uniform{0.0, 1.0};
    explicit Source(unsigned long long seed) : rng(seed) {}
    double u() { return uniform(rng); }

    // Unit-variance noise plus a cos(2 pi nu n / M + theta), nu in bins.
    void fill(double* x, long M, double a, double nu, double theta)
    {
        for (long n = 0; n < M; ++n) {
            double v = gauss(rng);
            if (a != 0)
                v += a * std::cos(2 * kPi * std::fmod(nu * static_cast<double>(n), static_cast<double>(M)) /
                                      static_cast<double>(M) + theta);
            x[n] = v;
        }
    }
};

// Amplitude of a tone whose power is `ratio` times the noise power expected in the bins
// summed around bin round(nu): E_tone = a^2 S / 2 against n_J mu, mu = 2 S / M per bin.
double toneAmplitude(const qmx::ChannelMeasurement& m, double nu, double ratio)
{
    const long M = m.length(), half = M / 2, s = m.analyser()->s();
    const long p = std::lround(nu);
    const long bins = std::min(p + s - 1, half - 1) - std::max(p - s, s + 1) + 1;
    return std::sqrt(ratio * static_cast<double>(bins) * 4.0 / static_cast<double>(M));
}

struct Row {
    long M = 0, frames = 0;
    double threshold = 0, lowLevel = 0;
    long falseAlarms = 0, overLow = 0, misses = 0, secondWeak = 0, weakJudged = 0, secondClean = 0,
         doubtsClean = 0;
    double minMargin = 1e300;
};

Row runM(long M, long frames, unsigned long long seed)
{
    Row row;
    row.M = M;
    row.frames = frames;
    qmx::ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
    const qmx::ToneDetector& det = *m.detector();
    const long half = M / 2, s = m.analyser()->s();
    row.threshold = det.threshold();
    row.lowLevel = qmx::ToneDetector::solveThreshold(static_cast<double>(half - s),
                                                     det.effectiveFloorSamples(), 0.05);

    std::vector<double> x(M + qmx::ChannelMeasurement::kSpare);
    qmx::ChannelReadings r;
    std::string msg;
    Source noise(seed), weak(seed + 1), clean(seed + 2);
    for (long f = 0; f < frames; ++f) {
        noise.fill(x.data(), M, 0, 0, 0);
        m.measure(x.data(), 1, r, msg);
        row.falseAlarms += r.Tone;
        row.overLow += m.lastAssessment().statistic > row.lowLevel;

        const double first = s + qmx::ChannelMeasurement::kEdgeDoubtBins;
        const double last = half - qmx::ChannelMeasurement::kEdgeDoubtBins;
        const double nu = first + weak.u() * (last - first);
        weak.fill(x.data(), M, toneAmplitude(m, nu, 10.0), nu, 2 * kPi * weak.u());
        m.measure(x.data(), 1, r, msg);
        row.misses += !r.Tone;
        row.minMargin = std::min(row.minMargin, m.lastAssessment().statistic / row.threshold);
        if (r.Tone && (r.Doubts & (qmx::kDoubtNearDc | qmx::kDoubtNearNyquist)) == 0) {
            ++row.weakJudged;
            row.secondWeak += (r.Doubts & qmx::kDoubtSecondTone) != 0;
        }

        // Half a bin clear of where the edge doubts begin.
        const double nuClean = first + 0.5 + clean.u() * (last - first - 1.0);
        clean.fill(x.data(), M, toneAmplitude(m, nuClean, 1e4), nuClean, 2 * kPi * clean.u());
        m.measure(x.data(), 1, r, msg);
        row.secondClean += (r.Doubts & qmx::kDoubtSecondTone) != 0;
        row.doubtsClean += r.Doubts != 0;
    }
    return row;
}

// Misses of the 10 dB tone with the frequency uniform in [a, b) bins.
long edgeMisses(qmx::ChannelMeasurement& m, double a, double b, long frames, unsigned long long seed)
{
    std::vector<double> x(m.length() + qmx::ChannelMeasurement::kSpare);
    qmx::ChannelReadings r;
    std::string msg;
    Source src(seed);
    long misses = 0;
    for (long f = 0; f < frames; ++f) {
        const double nu = a + src.u() * (b - a);
        src.fill(x.data(), m.length(), toneAmplitude(m, nu, 10.0), nu, 2 * kPi * src.u());
        m.measure(x.data(), 1, r, msg);
        misses += !r.Tone;
    }
    return misses;
}

template <class F>
double medianUs(int reps, F&& f)
{
    std::vector<double> t;
    for (int i = 0; i < reps; ++i) {
        const auto a = Clock::now();
        f();
        t.push_back(std::chrono::duration<double, std::micro>(Clock::now() - a).count());
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// The detector's share of one channel's "fft" measurement at length M: the whole measure()
// of a tone frame and of a noise frame, and the detector's steps alone on the tone frame.
void timing(long M)
{
    qmx::ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
    qmx::ToneDetector det(M, m.analyser()->coefficients(), m.analyser()->terms(), m.analyser()->s());
    std::vector<double> tone(M), noise(M);
    Source src(99);
    src.fill(noise.data(), M, 0, 0, 0);
    for (long n = 0; n < M; ++n)
        tone[n] = 0.5 * std::cos(2 * kPi * 1000.0 * n / kFs + 0.3) + 1e-4 * noise[n];
    double* buf = m.dataPerChannel();
    qmx::ChannelReadings r;
    std::string msg;
    auto measure = [&](const std::vector<double>& x) {
        std::copy(x.begin(), x.end(), buf);
        m.measure(buf, 1, r, msg);
    };
    const double toneUs = medianUs(15, [&] { measure(tone); });
    const double noiseUs = medianUs(15, [&] { measure(noise); });
    measure(tone);
    const long p = std::lround(r.Frequency * M / kFs);
    const long s = m.analyser()->s(), half = M / 2;
    const long lo = std::max(p - s, s + 1), hi = std::min(p + s - 1, half - 1);
    double sink = 0;
    const double floorUs = medianUs(41, [&] { sink += det.estimateFloor(m.amplitudeSpectrum(), p); });
    const double floor = det.estimateFloor(m.amplitudeSpectrum(), p);
    const double assessUs =
        medianUs(41, [&] { sink += det.assess(m.spectrum(), p, lo, hi, static_cast<double>(p), floor).statistic; });
    std::printf("M=%ld  measure(tone) %.0f us, measure(noise) %.0f us; detector on the tone frame: "
                "floor %.1f us + assess %.1f us = %.2f %% of measure(tone)%s\n",
                M, toneUs, noiseUs, floorUs, assessUs, 100 * (floorUs + assessUs) / toneUs,
                sink == 1.2345 ? " " : "");
}

}  // namespace

int main(int argc, char** argv)
{
    const long frames = argc > 1 ? std::max(1L, std::atol(argv[1])) : 10000;
    std::printf("detector_bench: white noise of unit variance, std::mt19937_64 + normal_distribution, "
                "fixed seeds\n\n");
    std::printf("%-9s %-7s %-7s | %-21s %-19s | %-16s %-9s | %-15s %-15s\n", "M", "frames", "thr",
                "false alarm (rate)", "over 5%-level", "miss 10 dB", "min/thr", "2nd tone 10 dB",
                "2nd tone 40 dB");
    const long lengths[] = {256, 4096, 65536, 1L << 20, 1L << 24};
    for (long M : lengths) {
        const long n = M <= 65536 ? frames : std::max(10L, M == (1L << 20) ? frames / 10 : frames / 100);
        const Row row = runM(M, n, 1000 + static_cast<unsigned long long>(M));
        std::printf("%-9ld %-7ld %-7.2f | %5ld (%8.1e)      %5ld (%5.3f)       | %5ld (%7.1e) %-9.2f | %5ld of %-7ld %5ld (%7.1e)\n",
                    row.M, row.frames, row.threshold, row.falseAlarms,
                    static_cast<double>(row.falseAlarms) / row.frames, row.overLow,
                    static_cast<double>(row.overLow) / row.frames, row.misses,
                    static_cast<double>(row.misses) / row.frames, row.minMargin, row.secondWeak,
                    row.weakJudged, row.secondClean, static_cast<double>(row.secondClean) / row.frames);
        std::fflush(stdout);
    }

    const long M = 4096;
    qmx::ChannelMeasurement m(M, "fft", "rms", kFs, nullptr);
    const double s = m.analyser()->s(), half = M / 2;
    std::printf("\nedges, M=%ld, 10 dB tone, %ld frames per cell (misses):\n", M, frames);
    for (int side = 0; side < 2; ++side)
        for (double a = side == 0 ? s : half - 4; a < (side == 0 ? s + 4 : half - 0.5); a += 0.5) {
            const long miss = edgeMisses(m, a, a + 0.5, frames, 77 + static_cast<unsigned long long>(a * 8));
            std::printf("  nu in [%7.2f, %7.2f): %5ld (%.1e)\n", a, a + 0.5, miss,
                        static_cast<double>(miss) / frames);
            std::fflush(stdout);
        }

    std::printf("\ncost, medians:\n");
    timing(1L << 20);
    timing(1L << 24);
    return 0;
}
