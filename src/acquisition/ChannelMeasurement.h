#pragma once
// ChannelMeasurement: turns one channel's frame of M samples (volts) into its readings, by
// window-weighted sums ("sum") or from the windowed spectrum ("fft"). One object serves a
// whole acquisition run: every array is allocated in the constructor, measure() allocates
// nothing and can be called for each channel of each frame.
//
// "fft", AC mode: the peak is the first maximum of the amplitude spectrum over k = s .. M/2-1;
// the bins p-s .. p+s-1 within s < k < M/2 are summed (E, F), c = F / E. The ToneDetector then
// judges whether that peak is a tone. If not, and the spectrum is long enough that a weak
// tone's peak may lose to the largest of the noise (see peaksToJudge), the next largest peaks
// of other places are judged too, and the first found to be a tone is the one measured.
// Readings of a tone then carry the doubts above.

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
// values and is shown as uncertain. Bits of ChannelReadings::Doubts. The bar is what the
// display resolves: 1e-4 of the AC value and 0.01 degree of phase.
//
//  NearDc       the centroid c lies below s + 3.75 bins: the tone's main lobe (5 bins either
//               side) reaches the excluded bins k <= s, whose part of its power the sum
//               misses (5.1 bins: 44 % low). Measured on clean tones: the phase error falls
//               to 0.01 degree at 8.72 bins, the AC error to 1e-4 at 8.3 bins, and both keep
//               falling (4e-6, 0.006 degree at 8.8).
//  NearNyquist  c above M/2 - 3.75 bins: the lobe reaches the bins >= M/2 and the tone's
//               alias at M - c; the same bar is crossed at M/2 - 3.72 (phase) and M/2 - 3.3
//               (AC), at every M.
//  SecondTone   something besides the tone and the noise sits in the summed span and moves
//               the readings beyond the bar. Three conditions, all required (and neither edge
//               doubt, whose own bias would pass for a second tone):
//                 r > 50 mu_hat   r is the power one fitted tone leaves in the span; noise
//                                 alone leaves about 5 mu and exceeds 50 mu in fewer than
//                                 1e-5 of the frames (M = 256, where mu_hat is least sure),
//                 r > 1e-12 E     below it no second tone a frame can resolve (0.25 bin
//                                 or more apart) moves a reading by the bar: a clean tone
//                                 leaves 1e-15 E, its mirror image 3e-13 E near the ends,
//                 the readings formed from the stronger of two tones fitted to the span,
//                 alone, differ from the reported ones by more than 1e-4 (AC, relative) or
//                 0.01 degree. This is the method's own error from the second tone, in that
//                 frame: on noise-free pairs 0.25 .. 10 bins apart, 1e-7 .. 0.1 of the
//                 amplitude and any phases, it flags every pair whose error exceeds the bar
//                 and, but for a few pairs 7 .. 8 bins apart (second tone outside the span,
//                 error below the bar), no other. Tones closer than about a quarter bin beat
//                 within the frame and read as one.
enum ReadingDoubt : unsigned {
    kDoubtNone = 0,
    kDoubtNearDc = 1u << 0,      // the tone's main lobe reaches the DC lobe or the excluded low bins
    kDoubtNearNyquist = 1u << 1, // the tone's main lobe reaches the top of the spectrum
    kDoubtSecondTone = 1u << 2,  // another tone inside the summed span
};

struct ChannelReadings {
    double DcValue = 0, AcValue = 0, Frequency = 0, Phase = 0;
    // "fft", AC mode: true when the summed peak stands significantly above the frame's noise
    // floor (a tone; see ToneDetector for the test and its false-alarm bound). False means no
    // signal: AcValue is what the summed bins hold (the measured value, amplitude rule
    // applied), Frequency and Phase are 0. Always true for DC, for "sum" (nothing to detect
    // there) and for frames too short to estimate the floor (M < 128).
    bool Tone = true;
    // "fft", AC mode: the spectrum holds exactly nothing to measure (all summed bins zero, or
    // M/2 <= s so that there is no peak): Tone false, AcValue 0.
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
    // The doubt rules of ReadingDoubt: a tone whose centroid lies closer than kEdgeDoubtBins
    // to s (below) or M/2 (above) is NearDc / NearNyquist; SecondTone needs r above
    // kSecondToneNoise mu_hat and kSecondToneShare E, and a reading moved by more than
    // kSecondToneAmplitude (relative) or kSecondTonePhase (degrees).
    static constexpr double kEdgeDoubtBins = 3.75;
    static constexpr double kSecondToneNoise = 50.0;
    static constexpr double kSecondToneShare = 1e-12;
    static constexpr double kSecondToneAmplitude = 1e-4;
    static constexpr double kSecondTonePhase = 0.01;
    // A summed peak below this share of the DC lobe's power is the transform's rounding.
    static constexpr double kRoundingShare = 1e-24;
    // How many peaks a frame searching `bins` bins judges: 1 below 8192 bins, 4 from 8192,
    // 16 from 2^17, 64 from 2^21. A 10 dB tone's largest bin then ranks below the K largest
    // of the noise with a probability of at most about 3e-8 at any M up to 2^24 (estimated
    // from 2e5 simulated tones), where 1 peak alone would miss 2e-4 of them at M = 2^24;
    // judging a peak costs a few microseconds, and only frames without a tone judge more.
    static int peaksToJudge(long bins);

    // M >= 1 samples per channel. method: "fft", anything else is "sum". amplitudeType: "rms"
    // reports RMS, any other text the peak amplitude of a sine. stopFlag may be null.
    ChannelMeasurement(long M, const std::string& method, const std::string& amplitudeType,
                       double sampleRate, const std::atomic<bool>* stopFlag);
    ~ChannelMeasurement();

    ChannelMeasurement(const ChannelMeasurement&) = delete;
    ChannelMeasurement& operator=(const ChannelMeasurement&) = delete;

    // samples: M values in volts, may be overwritten (the "fft" method windows them in place).
    // channelMode: 0 DC, 1 AC, anything else computes nothing. Returns false when the frame
    // must be abandoned (a stop request, or an object that is not ready); message is cleared
    // and left empty (a silent input is reported in the readings, not as an error).
    bool measure(double* samples, int channelMode, ChannelReadings& out, std::string& message);

    // True when every array was allocated and the window filled (a stop request during the
    // filling, or a failed allocation, leaves the object unusable: measure() returns false).
    bool ready() const { return _ready; }
    // Name of the first array that could not be allocated ("DataPerChannel", "Window",
    // "FftAdcDataPerChannel", "AmplitudeSpectr", "PhaseSpectr", "NoiseFloor"), or nullptr.
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
    const ToneDetector* detector() const { return _detector.get(); }
    // What the detector said about the last AC frame of the "fft" method.
    const ToneDetector::Result& lastAssessment() const { return _assessment; }

    static constexpr const char* kNoSignalMessage =
        "Опаньки!!! Судя по всему на вход модуля не был подан сигнал!!!";

private:
    bool stopRequested() const;
    bool allocate(DynArray<double>& a, long n, const char* name);
    void applyAmplitudeRule(double& ac) const;
    bool measureSum(const double* x, int channelMode, ChannelReadings& out) const;
    bool measureFft(double* x, int channelMode, ChannelReadings& out);
    // Phase of bin k in degrees, computed only for the bins a reading uses; bins outside
    // 1 .. M/2-1 read the phase array (P[0] = 0, and its zero spares beyond M/2).
    double phaseDegrees(long k);
    // The phase reading for centroid c from the phases (degrees) of bins floor(c), floor(c)+1.
    static double phaseReading(double c, double phi1, double phi2);

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
    std::unique_ptr<ToneDetector> _detector;
    ToneDetector::Result _assessment;
    long _peaks[SpectrumAnalyser::kMaxPeaks] = {};
    int _peakCount = 1;
    double _windowSum = 0;
    double _windowMeanSquare = 0;
};

}  // namespace qmx
