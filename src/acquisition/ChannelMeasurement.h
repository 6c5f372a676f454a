#pragma once
// ChannelMeasurement: turns one channel's frame of M samples (volts) into its readings, by
// window-weighted sums ("sum") or from the windowed spectrum ("fft"). One object serves a
// whole acquisition run: every array is allocated in the constructor, measure() allocates
// nothing and can be called for each channel of each frame.

#include "DynArray.h"
#include "SpectrumAnalyser.h"

#include <atomic>
#include <memory>
#include <string>

namespace qmx {

// One correction of a phase in degrees: below -180 add 360, else above 180 subtract 360.
inline double correctPhaseOnce(double deg)
{
    if (deg < -180.0)
        return deg + 360.0;
    if (deg > 180.0)
        return deg - 360.0;
    return deg;
}

// Why an AC reading of the "fft" method may be off although a tone was found: it keeps its
// values and is shown as uncertain. Bits of ChannelReadings::Doubts.
enum ReadingDoubt : unsigned {
    kDoubtNone = 0,
    kDoubtNearDc = 1u << 0,      // the tone's main lobe reaches the DC lobe or the excluded low bins
    kDoubtNearNyquist = 1u << 1, // the tone's main lobe reaches the top of the spectrum
    kDoubtSecondTone = 1u << 2,  // another tone inside the summed span
};

struct ChannelReadings {
    double DcValue = 0, AcValue = 0, Frequency = 0, Phase = 0;
    // "fft", AC mode: true when the summed peak stands significantly above the frame's noise
    // floor (a tone); false means no signal: AcValue is what the bins hold, Frequency and
    // Phase mean nothing. Always true for DC and for "sum" (nothing to detect there).
    bool Tone = true;
    // "fft", AC mode: the spectrum holds exactly nothing to measure (all summed bins zero).
    bool Silent = false;
    unsigned Doubts = kDoubtNone;
};

class ChannelMeasurement {
public:
    // Every array carries this many spare elements beyond its size, kept at zero, so that
    // the fixed-width sums near the ends of the spectrum read zeros, never stale values.
    static constexpr long kSpare = 16;
    // Floor handed to the peak search (raised to SpectrumAnalyser::kPeakFloorLimit).
    static constexpr double kPeakFloor = -67108864.0;

    // M >= 1 samples per channel. method: "fft", anything else is "sum". amplitudeType: "rms"
    // reports RMS, any other text the peak amplitude of a sine. stopFlag may be null.
    ChannelMeasurement(long M, const std::string& method, const std::string& amplitudeType,
                       double sampleRate, const std::atomic<bool>* stopFlag);
    ~ChannelMeasurement();

    ChannelMeasurement(const ChannelMeasurement&) = delete;
    ChannelMeasurement& operator=(const ChannelMeasurement&) = delete;

    // samples: M values in volts, may be overwritten (the "fft" method windows them in place).
    // channelMode: 0 DC, 1 AC, anything else computes nothing. Returns false, with message set
    // when the run must end with it (empty on a stop request), when the frame must be abandoned.
    bool measure(double* samples, int channelMode, ChannelReadings& out, std::string& message);

    // True when every array was allocated and the window filled (a stop request during the
    // filling, or a failed allocation, leaves the object unusable: measure() returns false).
    bool ready() const { return _ready; }
    // Name of the first array that could not be allocated ("DataPerChannel", "Window",
    // "FftAdcDataPerChannel", "AmplitudeSpectr", "PhaseSpectr"), or nullptr.
    const char* allocationFailure() const { return _allocationFailure; }

    // Buffer for one channel's samples (M + kSpare), for the caller to de-interleave into.
    double* dataPerChannel() { return _dataPerChannel.data(); }

    long length() const { return _M; }
    bool isFft() const { return _fft; }
    bool isRms() const { return _rms; }
    double sampleRate() const { return _sampleRate; }
    double windowSum() const { return _windowSum; }
    double windowMeanSquare() const { return _windowMeanSquare; }
    const double* window() const { return _window.data(); }
    const double* spectrum() const { return _spectrum.data(); }
    const double* amplitudeSpectrum() const { return _amplitude.data(); }
    const double* phaseSpectrum() const { return _phase.data(); }
    const SpectrumAnalyser* analyser() const { return _analyser.get(); }

    static constexpr const char* kNoSignalMessage =
        "Опаньки!!! Судя по всему на вход модуля не был подан сигнал!!!";

private:
    bool stopRequested() const;
    bool allocate(DynArray<double>& a, long n, const char* name);
    void applyAmplitudeRule(double& ac) const;
    bool measureSum(const double* x, int channelMode, ChannelReadings& out) const;
    bool measureFft(double* x, int channelMode, ChannelReadings& out, std::string& message);
    // Phase of bin k in degrees, computed only for the bins a reading uses; bins outside
    // 1 .. M/2-1 read the phase array (P[0] = 0, and its zero spares beyond M/2).
    double phaseDegrees(long k);

    long _M;
    bool _fft;
    bool _rms;
    double _sampleRate;
    const std::atomic<bool>* _stopFlag;
    bool _ready = false;
    const char* _allocationFailure = nullptr;

    DynArray<double> _dataPerChannel;
    DynArray<double> _window;
    DynArray<double> _spectrum;   // FftAdcDataPerChannel
    DynArray<double> _amplitude;  // AmplitudeSpectr
    DynArray<double> _phase;      // PhaseSpectr
    std::unique_ptr<SpectrumAnalyser> _analyser;
    double _windowSum = 0;
    double _windowMeanSquare = 0;
};

}  // namespace qmx
