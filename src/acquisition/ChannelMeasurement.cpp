#include "ChannelMeasurement.h"

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
    _ready = !stopRequested();
}

ChannelMeasurement::~ChannelMeasurement() = default;

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
    return measureFft(samples, channelMode, out, message);
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

double ChannelMeasurement::phaseDegrees(long k)
{
    if (k >= 1 && k < _M / 2)
        _phase[k] = _analyser->phaseAt(_spectrum.data(), k);
    return _phase[k] * kRadToDeg;
}

bool ChannelMeasurement::measureFft(double* x, int channelMode, ChannelReadings& out,
                                    std::string& message)
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

    const long p = an.findPeak(A, kPeakFloor);
    if (stopRequested())
        return false;
    const long s = an.s();
    const long half = _M / 2;
    double E = 0, F = 0;
    if (p != SpectrumAnalyser::kNoPeak) {
        for (long k = p - s; k <= p + s - 1; ++k) {
            if (k <= s || k >= half)
                continue;
            const double e = 0.5 * A[k] * A[k];
            E += e;
            F += static_cast<double>(k) * e;
        }
    }
    if (!(E / S > 0)) {
        message = kNoSignalMessage;
        return false;
    }
    const double c = F / E;
    out.Frequency = c * _sampleRate / static_cast<double>(_M);
    out.AcValue = std::sqrt(E / S);
    applyAmplitudeRule(out.AcValue);

    const long i = static_cast<long>(std::floor(c));
    const double phi1 = phaseDegrees(i);
    const double phi2 = phaseDegrees(i + 1);
    out.Phase = correctPhaseOnce(phi1 + (c - static_cast<double>(i)) * std::fabs(phi2 - phi1));
    return true;
}

}  // namespace qmx
