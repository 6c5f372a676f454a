#pragma once
// SignalFrame: what the signal view shows of one measured frame, made on the acquisition
// thread so that the window thread never walks a whole frame.
//
// Samples: the calibrated volts of each present channel (float), with a min/max pyramid over
// them: level j (j = 1, 2, ...) holds the minimum and maximum of each block of 8^j consecutive
// samples (the last block may be short). Any range of samples has its exact extremes from at
// most 14 values per level (rangeMinMax), so a plot reduces a frame of millions of samples to
// its pixel columns in microseconds, at any zoom.
//
// Spectrum: the full-resolution magnitude spectrum of the windowed frame as RMS volts per bin
// (bin k at k * spectrumBinHz, k = 0 .. H-1 of an L-point transform, H = L/2; the window's
// coherent gain removed, so a sine of peak amplitude a reads a/sqrt(2) at its bin), averaged
// over frames when the view asks for it, with a max pyramid over the bins like the samples'.
//
// Envelope and spectrum points: a fixed small reduction of the same frame (2048 min/max buckets
// of consecutive samples; the strongest bin of each of about 4096 spectrum buckets, in dBV),
// kept for the envelope CSV export: bucket i covers samples [floor(i*M/B), floor((i+1)*M/B)).

#include <QString>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace qmx {

// Extremes of blocks of 8^j values, j = 1 .. levels(). A level whose values are all NaN holds
// +inf as its minimum and -inf as its maximum (nothing to draw).
struct MinMaxPyramid {
    static constexpr int kFactorLog2 = 3;
    static constexpr std::int64_t kFactor = 1 << kFactorLog2;
    std::vector<std::vector<float>> lo, hi;  // lo[j-1][i]: min of values [i*8^j, (i+1)*8^j)
    int levels() const { return static_cast<int>(std::min(lo.size(), hi.size())); }
};

// Builds the pyramid of x[0 .. n) in place of what p held (its memory is reused). withMin:
// false builds maxima only (spectra).
void buildPyramid(const float* x, std::int64_t n, MinMaxPyramid& p, bool withMin = true);
// Exact extremes of x[a .. b) (clamped to [0, n)); lo > hi when the range holds no number.
void rangeMinMax(const float* x, std::int64_t n, const MinMaxPyramid& p, std::int64_t a, std::int64_t b, float& lo,
                 float& hi);
// Whether p is the pyramid buildPyramid makes of n values (the sizes of its levels agree), so
// that the range functions may read it.
bool pyramidMatches(const MinMaxPyramid& p, std::int64_t n, bool withMin = true);
// Exact maximum of x[a .. b) from a maxima-only pyramid; -inf for none.
float rangeMax(const float* x, std::int64_t n, const MinMaxPyramid& p, std::int64_t a, std::int64_t b);

// How the spectrum of a frame was averaged across frames.
enum class SpectrumAveraging { Off = 0, Rms = 1, PeakHold = 2 };

struct ChannelTrace {
    bool present = false;     // acquired in this frame (enabled in the run's configuration)
    bool overloaded = false;  // the frame's readings were refused for an overload
    bool acMode = false;      // the channel reports AC readings (else DC)
    bool icp = false;         // ICP input (else differential)
    double rangeVolts = 0;    // full scale of the channel's input range: the lines at +-range

    // Calibrated samples in volts (empty when they could not be kept) and their pyramid.
    std::vector<float> samples;
    MinMaxPyramid pyramid;

    // Full-resolution spectrum (RMS volts per bin, empty without one) and its maxima pyramid.
    std::vector<float> spectrum;
    MinMaxPyramid spectrumPyramid;
    double spectrumBinHz = 0;            // bin spacing, Fs / L
    long long spectrumLength = 0;        // L of the transform this channel's spectrum comes from
    SpectrumAveraging averaging = SpectrumAveraging::Off;
    int averagedFrames = 1;              // frames in the shown average (1 without averaging)

    // Envelope (volts), both of the same size B (0 when the channel is absent).
    std::vector<float> envelopeMin, envelopeMax;
    // Spectrum points, in ascending frequency (both of the same size; empty without a spectrum).
    std::vector<double> spectrumHz;
    std::vector<float> spectrumDbV;

    // The measured peak to mark (AC readings with a frequency): its frequency and level.
    bool hasPeak = false;
    double peakHz = 0;
    double peakDbV = 0;

    // The channel's readings as its panel shows them (filled by the window): value in mV,
    // frequency in kHz, phase in degrees; "--------" or "OVERLOAD!" as the panel says.
    QString valueText, frequencyText, phaseText;
};

struct SignalFrame {
    long long frame = 0;             // counts from 1 within a run
    double sampleRate = 0;           // Fs, Hz
    long long samplesPerChannel = 0;  // M of the frame
    long long spectrumLength = 0;     // transform length of the frame's spectra (0: none)
    QString method;                  // "fft" or "sum"
    QString amplitudeType;           // "rms" or "amp"
    std::array<ChannelTrace, 4> channels{};
};

// Level of a spectrum point in dBV for an RMS value in volts; kDbvFloor stands for nothing
// (zero, negative or not a number).
inline constexpr double kDbvFloor = -200.0;
inline double dbvOf(double voltsRms)
{
    if (!(voltsRms > 1e-10))
        return kDbvFloor;
    return 20.0 * std::log10(voltsRms);
}

}  // namespace qmx
