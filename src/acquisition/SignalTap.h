#pragma once
// SignalTap: builds, on the acquisition thread, the small copy of a frame that the signal view
// shows (SignalFrame): a min/max envelope of each channel's waveform and its magnitude
// spectrum reduced to a few thousand points. The acquisition thread asks for one only while
// the view is open, so a closed view costs nothing.
//
// With the "fft" method the spectrum is the one the measurement has just computed. With "sum"
// the measurement has none, so the tap computes one for the view alone, over the last 2^k
// samples of the frame (the largest power of two it holds, at most 2^20) with the measurement's
// window; its arrays are allocated on the first frame that needs them and kept for the run.

#include "SignalFrame.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace qmx {

class SpectrumAnalyser;

// Envelope of x[0 .. M) in B buckets (B = min(M, buckets)); bucket i covers
// [floor(i*M/B), floor((i+1)*M/B)). Non-finite samples are skipped (a bucket of nothing but
// them reads 0).
void envelopeOf(const double* x, std::int64_t M, int buckets, std::vector<float>& lo, std::vector<float>& hi);

// Bucket boundaries over bins [1, H): the union of `perGrid` equal-width buckets and
// `perGrid` buckets of equal frequency ratio, so both a linear and a logarithmic axis get
// about `perGrid` points across. Every bin is its own bucket when H-1 <= 2*perGrid. The
// result starts with 1 and ends with H.
void spectrumBuckets(std::int64_t H, int perGrid, std::vector<std::int64_t>& bounds);

// The strongest bin of each bucket of amp[1 .. H) as (frequency, dBV): amp holds peak
// amplitudes of an L-point transform of samples windowed with coherent gain c0 (the window's
// constant coefficient), so bin k lies at k*Fs/L and reads amp[k]/(c0*sqrt 2) volts RMS.
void spectrumPoints(const double* amp, std::int64_t L, double Fs, double c0,
                    const std::vector<std::int64_t>& bounds, std::vector<double>& hz, std::vector<float>& dbv);

class SignalTap {
public:
    static constexpr int kEnvelopeBuckets = 2048;
    static constexpr int kSpectrumBucketsPerGrid = 2048;
    static constexpr int kMaxViewSpectrumLog2 = 20;

    // A run's tap: M samples per channel at Fs; fft: the measurement computes the spectrum.
    SignalTap(std::int64_t M, double Fs, bool fft, const std::atomic<bool>* stopFlag);
    ~SignalTap();
    SignalTap(const SignalTap&) = delete;
    SignalTap& operator=(const SignalTap&) = delete;

    // Starts the frame to hand over next (a new object: the previous one belongs to the window).
    void beginFrame(long long frameNumber, const QString& method, const QString& amplitudeType);
    // A channel's waveform, x[0 .. M) in volts as acquired (before any windowing).
    void takeWaveform(int channel, const double* x, bool acMode, double rangeVolts, bool overloaded);
    // A channel's spectrum from the "fft" measurement: amp[0 .. M/2) of the windowed frame.
    void takeMeasuredSpectrum(int channel, const double* amp, double c0);
    // A channel's spectrum for the view alone ("sum"), from the samples given to takeWaveform.
    void computeViewSpectrum(int channel, const double* x);
    // The channel's measured AC reading to mark: frequency (Hz) and RMS value (V).
    void markPeak(int channel, double hz, double voltsRms);
    // Hands the frame over (null when none was begun).
    std::shared_ptr<SignalFrame> takeFrame();

private:
    bool prepareViewSpectrum();

    std::int64_t _M;
    double _Fs;
    bool _fft;
    const std::atomic<bool>* _stopFlag;
    std::shared_ptr<SignalFrame> _frame;
    std::vector<std::int64_t> _bounds;
    std::int64_t _boundsFor = -1;

    // The "sum" method's view spectrum: length L, its window, samples and spectrum arrays.
    bool _viewSpectrumTried = false;
    std::int64_t _L = 0;
    std::unique_ptr<SpectrumAnalyser> _analyser;
    std::vector<double> _window, _samples, _spectrum, _amp;
    double _c0 = 1;
};

}  // namespace qmx
