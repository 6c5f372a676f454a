#pragma once
// SignalTap: builds, on the acquisition thread, the copy of a frame that the signal view shows
// (SignalFrame): each channel's calibrated samples as floats with their min/max pyramid, its
// full-resolution spectrum (averaged across frames when the view asks) with a maxima pyramid,
// and the small envelope and spectrum points of the envelope export. The acquisition thread
// asks for one only while the view is open, so a closed view costs nothing.
//
// With the "fft" method the spectrum is the one the measurement has just computed. With "sum",
// and for an overloaded channel (which the measurement refuses), the tap computes one for the
// view alone, over the last 2^k samples of the frame (the largest power of two it holds, at
// most 2^20) with the measurement's window; its arrays are allocated on the first frame that
// needs them and kept for the run.
//
// Memory: frames come from a small pool. A frame handed over returns to the pool when its last
// holder (the window) lets it go, and the next frame reuses its arrays, so a run allocates
// them twice (the frame shown, the frame being filled; a third while the view holds a frame),
// not per frame. Per channel a frame takes 5.1 bytes per sample (float samples and their
// pyramid) and 4.6 bytes per spectrum bin, plus 8 bytes per bin for the averaging's sums
// while it is on: a 4 x 2^20 "fft" frame about 30 MiB, a 4 x 11.7M "sum" frame (100 s at
// 117187.5 Hz; its view spectrum at most 2^20 points) about 240 MiB. Samples are kept for
// frames of up to kMaxSamples per channel (2^24, beyond the longest frame); when the memory
// cannot be had the channel has no samples (the view draws nothing for it) and the
// measurement goes on unaffected.

#include "SignalFrame.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace qmx {

class SpectrumAnalyser;

// What the view asks of the taps (one view per program, so one of these): the spectrum
// averaging and its reset. Written by the window thread, read by the acquisition thread at the
// start of each frame.
struct SignalTapControl {
    std::atomic<int> averaging{0};        // SpectrumAveraging
    std::atomic<int> averageCount{16};    // N, 1 .. kMaxAverageCount
    std::atomic<unsigned> resetCount{0};  // bumped to restart the average
    static constexpr int kMaxAverageCount = 10000;
};
SignalTapControl& signalTapControl();

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
    static constexpr std::int64_t kMaxSamples = std::int64_t(1) << 24;
    static constexpr int kPooledFrames = 2;

    // A run's tap: M samples per channel at Fs; fft: the measurement computes the spectrum.
    // control: the view's requests (the program's own when null).
    SignalTap(std::int64_t M, double Fs, bool fft, const std::atomic<bool>* stopFlag,
              SignalTapControl* control = nullptr);
    ~SignalTap();
    SignalTap(const SignalTap&) = delete;
    SignalTap& operator=(const SignalTap&) = delete;

    // Starts the frame to hand over next (from the pool when one is free).
    void beginFrame(long long frameNumber, const QString& method, const QString& amplitudeType);
    // A channel's waveform, x[0 .. M) in volts as acquired (before any windowing).
    void takeWaveform(int channel, const double* x, bool acMode, bool icp, double rangeVolts, bool overloaded);
    // A channel's spectrum from the "fft" measurement: amp[0 .. M/2) of the windowed frame.
    void takeMeasuredSpectrum(int channel, const double* amp, double c0);
    // A channel's spectrum for the view alone ("sum", an overloaded channel), from x[0 .. M).
    void computeViewSpectrum(int channel, const double* x);
    // The channel's measured AC reading to mark: frequency (Hz) and RMS value (V).
    void markPeak(int channel, double hz, double voltsRms);
    // Hands the frame over (null when none was begun). Its arrays return to the tap's pool
    // when the last holder lets it go (on any thread).
    std::shared_ptr<SignalFrame> takeFrame();

private:
    struct Pool;
    struct Average {
        std::vector<double> acc;  // mean power (RMS) or highest RMS value (peak hold) per bin
        int count = 0;
    };
    bool prepareViewSpectrum();
    // Sets the channel's spectrum from amp[0 .. L/2) (peak amplitudes, gain c0): averaged,
    // with its pyramid and points.
    void setSpectrum(int channel, const double* amp, std::int64_t L, double c0);

    std::int64_t _M;
    double _Fs;
    bool _fft;
    const std::atomic<bool>* _stopFlag;
    SignalTapControl* _control;
    std::shared_ptr<Pool> _pool;
    std::unique_ptr<SignalFrame> _frame;
    std::vector<std::int64_t> _bounds;
    std::int64_t _boundsFor = -1;

    // Averaging across frames: what it was last asked for, and each channel's state.
    int _mode = 0, _count = 1;
    unsigned _resetCount = 0;
    unsigned _presentMask = 0, _lastPresentMask = 0;  // channels of the last two frames
    long long _framesBegun = 0;
    std::array<Average, 4> _averages;

    // The view's own spectrum: length L, its window, samples and spectrum arrays.
    bool _viewSpectrumTried = false;
    std::int64_t _L = 0;
    std::unique_ptr<SpectrumAnalyser> _analyser;
    std::vector<double> _window, _samples, _spectrum, _amp;
    double _c0 = 1;
};

}  // namespace qmx
