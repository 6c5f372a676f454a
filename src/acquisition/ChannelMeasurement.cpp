#include "ChannelMeasurement.h"

#include <algorithm>
#include <cmath>
#include <new>

namespace qmx {
namespace {
constexpr double kRadToDeg = 180.0 / 3.14159265358979323846;
}  // namespace

ChannelMeasurement::ChannelMeasurement(long M, const std::string& method,
                                       const std::string& amplitudeType, double sampleRate,
                                       const std::atomic<bool>* stopFlag)
    : _M(M), _fft(method == "fft"), _rms(amplitudeType == "rms"), _sampleRate(sampleRate),
      _stopFlag(stopFlag)
{
    QMX_REQUIRE(M >= 1);
    if (!allocate(_dataPerChannel, M + kSpare, "DataPerChannel") ||
        !allocate(_window, M + kSpare, "Window"))
        return;

    const WindowDescription* w = windowDescription(kMeasurementWindowType);
    if (!_fft) {
        if (!buildSumWindow(_window.data(), M, kMeasurementWindowType, stopFlag))
            return;
        _windowSum = static_cast<double>(M) * w->c[0];
        _ready = !stopRequested();
        return;
    }

    if (!allocate(_spectrum, M + kSpare, "FftAdcDataPerChannel") ||
        !allocate(_amplitude, M / 2 + kSpare, "AmplitudeSpectr") ||
        !allocate(_phase, M / 2 + kSpare, "PhaseSpectr"))
        return;
    try {
        _analyser = std::make_unique<SpectrumAnalyser>(M, stopFlag);
    } catch (const std::bad_alloc&) {
        _allocationFailure = "FftAdcDataPerChannel";
        return;
    }
    _analyser->setLength(M);
    if (!_analyser->buildWindow(_window.data(), kMeasurementWindowType))
        return;
    _windowMeanSquare = ::qmx::windowMeanSquare(_analyser->coefficients(), _analyser->terms());
    try {
        _detector = std::make_unique<ToneDetector>(M, _analyser->coefficients(), _analyser->terms(),
                                                   _analyser->s());
    } catch (const std::bad_alloc&) {
        _allocationFailure = "NoiseFloor";
        return;
    }
    _peakCount = peaksToJudge(M / 2 - _analyser->s());
    _ready = !stopRequested();
}

ChannelMeasurement::~ChannelMeasurement() = default;

int ChannelMeasurement::peaksToJudge(long bins)
{
    int count = 1;
    for (long from = 8192; from <= bins && count < SpectrumAnalyser::kMaxPeaks; from *= 16)
        count *= 4;
    return count;
}

bool ChannelMeasurement::allocate(DynArray<double>& a, long n, const char* name)
{
    try {
        a.resize(n);
        return true;
    } catch (const std::bad_alloc&) {
        _allocationFailure = name;
        return false;
    }
}

bool ChannelMeasurement::stopRequested() const
{
    return _stopFlag && _stopFlag->load(std::memory_order_relaxed);
}

void ChannelMeasurement::applyAmplitudeRule(double& ac) const
{
    if (!_rms)
        ac *= std::sqrt(2.0);
}

bool ChannelMeasurement::measure(double* samples, int channelMode, ChannelReadings& out,
                                 std::string& message)
{
    out = ChannelReadings{};
    message.clear();
    if (!_ready || stopRequested())
        return false;
    if (!_fft)
        return measureSum(samples, channelMode, out);
    return measureFft(samples, channelMode, out);
}

bool ChannelMeasurement::measureSum(const double* x, int channelMode, ChannelReadings& out) const
{
    if (channelMode == 0) {
        out.DcValue = weightedMean(x, _window.data(), _M, _windowSum);
    } else if (channelMode == 1) {
        out.AcValue = weightedDeviation(x, _window.data(), _M, _windowSum);
        applyAmplitudeRule(out.AcValue);
    }
    return true;
}

double ChannelMeasurement::phaseReading(double c, double phi1, double phi2)
{
    // Between the phases of the bins floor(c) and floor(c) + 1, by the centroid's fraction.
    return correctPhaseOnce(phi1 + (c - std::floor(c)) * std::fabs(phi2 - phi1));
}

double ChannelMeasurement::phaseDegrees(long k)
{
    if (k >= 1 && k < _M / 2)
        _phase[k] = _analyser->phaseAt(_spectrum.data(), k);
    return _phase[k] * kRadToDeg;
}

bool ChannelMeasurement::measureFft(double* x, int channelMode, ChannelReadings& out)
{
    SpectrumAnalyser& an = *_analyser;
    double* f = _spectrum.data();
    double* A = _amplitude.data();

    an.applyWindow(x, _window.data());
    if (stopRequested())
        return false;
    an.transform(x, f);
    if (stopRequested())
        return false;
    an.amplitudeSpectrum(f, A);
    if (stopRequested())
        return false;
    if (channelMode != 0 && channelMode != 1)
        return true;

    const double S = _windowMeanSquare;
    if (channelMode == 0) {
        double D = A[0] * A[0];
        for (int k = 1; k < an.r(); ++k)
            D += 0.5 * A[k] * A[k];
        out.DcValue = std::sqrt(D / S);
        if (A[0] < 0)
            out.DcValue = -out.DcValue;
        return true;
    }

    const long found = an.findPeaks(A, kPeakFloor, _peaks, _peakCount);
    if (stopRequested())
        return false;
    const long s = an.s();
    const long half = _M / 2;
    // The summed bins around a peak, its power E and first moment F.
    long lo = 0, hi = -1;
    double E = 0, F = 0;
    auto sumAround = [&](long peak) {
        lo = std::max(peak - s, s + 1);
        hi = std::min(peak + s - 1, half - 1);
        E = F = 0;
        for (long k = lo; k <= hi; ++k) {
            const double e = 0.5 * A[k] * A[k];
            E += e;
            F += static_cast<double>(k) * e;
        }
    };
    long p = found > 0 ? _peaks[0] : SpectrumAnalyser::kNoPeak;
    if (p != SpectrumAnalyser::kNoPeak)
        sumAround(p);
    _assessment = ToneDetector::Result{};
    if (!(E / S > 0)) {
        // Nothing at all to measure (a zero input, or a frame too short to have a peak).
        out.Tone = false;
        out.Silent = true;
        return true;
    }
    double c = F / E;
    out.AcValue = std::sqrt(E / S);
    applyAmplitudeRule(out.AcValue);

    const double floor = _detector->estimateFloor(A, p);
    _assessment = _detector->assess(f, p, lo, hi, c, floor);
    if (_assessment.judged && !_assessment.tone) {
        // The largest bin may be noise that outgrew a weak tone's peak: the next peaks are
        // judged too, and a tone among them is measured instead. Without one, the assessment
        // kept is the one closest to a tone.
        for (long j = 1; j < found; ++j) {
            const double E0 = E, F0 = F;
            const long lo0 = lo, hi0 = hi;
            sumAround(_peaks[j]);
            if (E > 0) {
                const ToneDetector::Result other = _detector->assess(f, _peaks[j], lo, hi, F / E, floor);
                if (other.tone) {
                    p = _peaks[j];
                    c = F / E;
                    _assessment = other;
                    out.AcValue = std::sqrt(E / S);
                    applyAmplitudeRule(out.AcValue);
                    break;
                }
                if (other.statistic > _assessment.statistic)
                    _assessment = other;
            }
            E = E0;
            F = F0;
            lo = lo0;
            hi = hi0;
        }
    }
    // Without noise (a constant from a simulation, say) the bins away from DC hold only the
    // transform's rounding, which is not white: its spurs pass the test. Against the DC level
    // they are some 320 dB down; a peak 240 dB down is rounding, whatever the floor says.
    double dcPower = A[0] * A[0];
    for (int k = 1; k < an.r(); ++k)
        dcPower += 0.5 * A[k] * A[k];
    if ((_assessment.judged && !_assessment.tone) || !(E > kRoundingShare * dcPower)) {
        // The peak is the largest of the noise: AcValue is what its bins hold, nothing more.
        out.Tone = false;
        return true;
    }

    out.Frequency = c * _sampleRate / static_cast<double>(_M);
    const long i = static_cast<long>(std::floor(c));
    out.Phase = phaseReading(c, phaseDegrees(i), phaseDegrees(i + 1));

    if (c < static_cast<double>(s) + kEdgeDoubtBins)
        out.Doubts |= kDoubtNearDc;
    if (c > static_cast<double>(half) - kEdgeDoubtBins)
        out.Doubts |= kDoubtNearNyquist;
    if (out.Doubts == kDoubtNone && _assessment.judged &&
        _assessment.residual > kSecondToneNoise * _assessment.floor &&
        _assessment.residual > kSecondToneShare * E) {
        // Something besides noise and the tone: how far does it move the readings? Fit two
        // tones and form the readings again from the stronger alone.
        ToneDetector::Tone main{}, other{};
        if (_detector->fitTwoTones(_assessment, main, other)) {
            auto bin = [&](long k) { return main.amplitude * _detector->toneBin(main.frequency, k); };
            double Ec = 0, Fc = 0;
            for (long k = lo; k <= hi; ++k) {
                const double e = std::norm(bin(k));
                Ec += e;
                Fc += static_cast<double>(k) * e;
            }
            if (Ec > 0) {
                const double cc = Fc / Ec;
                const long ic = static_cast<long>(std::floor(cc));
                const double phase = phaseReading(cc, -std::arg(bin(ic)) * kRadToDeg,
                                                  -std::arg(bin(ic + 1)) * kRadToDeg);
                if (std::fabs(std::sqrt(E / Ec) - 1) > kSecondToneAmplitude ||
                    std::fabs(correctPhaseOnce(out.Phase - phase)) > kSecondTonePhase)
                    out.Doubts |= kDoubtSecondTone;
            }
        }
    }
    return true;
}

}  // namespace qmx
