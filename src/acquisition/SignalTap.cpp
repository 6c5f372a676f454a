#include "SignalTap.h"

#include "SpectrumAnalyser.h"
#include "Windows.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace qmx {

void envelopeOf(const double* x, std::int64_t M, int buckets, std::vector<float>& lo, std::vector<float>& hi)
{
    const std::int64_t B = std::max<std::int64_t>(0, std::min<std::int64_t>(M, buckets));
    lo.assign(static_cast<std::size_t>(B), 0.0f);
    hi.assign(static_cast<std::size_t>(B), 0.0f);
    for (std::int64_t i = 0; i < B; ++i) {
        // i*M in 128 bits: frames may be longer than 2^53 / B samples in principle.
        const std::int64_t begin = static_cast<std::int64_t>((static_cast<__int128>(i) * M) / B);
        const std::int64_t end = static_cast<std::int64_t>((static_cast<__int128>(i + 1) * M) / B);
        double a = std::numeric_limits<double>::infinity();
        double b = -std::numeric_limits<double>::infinity();
        for (std::int64_t j = begin; j < end; ++j) {
            const double v = x[j];
            if (v < a)
                a = v;
            if (v > b)
                b = v;
        }
        if (a <= b) {  // false only when every sample of the bucket was NaN
            lo[static_cast<std::size_t>(i)] = std::isfinite(a) ? static_cast<float>(a) : 0.0f;
            hi[static_cast<std::size_t>(i)] = std::isfinite(b) ? static_cast<float>(b) : 0.0f;
        }
    }
}

void spectrumBuckets(std::int64_t H, int perGrid, std::vector<std::int64_t>& bounds)
{
    bounds.clear();
    if (H <= 1)
        return;
    const std::int64_t bins = H - 1;
    if (perGrid < 1 || bins <= 2 * static_cast<std::int64_t>(perGrid)) {
        for (std::int64_t k = 1; k <= H; ++k)
            bounds.push_back(k);
        return;
    }
    for (int i = 0; i <= perGrid; ++i)
        bounds.push_back(1 + static_cast<std::int64_t>((static_cast<__int128>(i) * bins) / perGrid));
    const double logH = std::log(static_cast<double>(H));
    for (int i = 1; i < perGrid; ++i) {
        const auto k = static_cast<std::int64_t>(std::exp(logH * i / perGrid));
        bounds.push_back(std::clamp<std::int64_t>(k, 1, H));
    }
    std::sort(bounds.begin(), bounds.end());
    bounds.erase(std::unique(bounds.begin(), bounds.end()), bounds.end());
}

void spectrumPoints(const double* amp, std::int64_t L, double Fs, double c0,
                    const std::vector<std::int64_t>& bounds, std::vector<double>& hz, std::vector<float>& dbv)
{
    hz.clear();
    dbv.clear();
    if (bounds.size() < 2 || L <= 0 || !(c0 > 0))
        return;
    const std::size_t n = bounds.size() - 1;
    hz.reserve(n);
    dbv.reserve(n);
    const double toRms = 1.0 / (c0 * std::sqrt(2.0));
    const double binHz = Fs / static_cast<double>(L);
    for (std::size_t b = 0; b < n; ++b) {
        std::int64_t best = bounds[b];
        double bestAmp = -1;
        for (std::int64_t k = bounds[b]; k < bounds[b + 1]; ++k) {
            const double a = std::fabs(amp[k]);
            if (a > bestAmp) {
                bestAmp = a;
                best = k;
            }
        }
        hz.push_back(static_cast<double>(best) * binHz);
        dbv.push_back(static_cast<float>(dbvOf(bestAmp * toRms)));
    }
}

SignalTap::SignalTap(std::int64_t M, double Fs, bool fft, const std::atomic<bool>* stopFlag)
    : _M(M), _Fs(Fs), _fft(fft), _stopFlag(stopFlag)
{
}

SignalTap::~SignalTap() = default;

void SignalTap::beginFrame(long long frameNumber, const QString& method, const QString& amplitudeType)
{
    _frame = std::make_shared<SignalFrame>();
    _frame->frame = frameNumber;
    _frame->sampleRate = _Fs;
    _frame->samplesPerChannel = _M;
    _frame->method = method;
    _frame->amplitudeType = amplitudeType;
}

void SignalTap::takeWaveform(int channel, const double* x, bool acMode, double rangeVolts, bool overloaded)
{
    if (!_frame || channel < 0 || channel > 3)
        return;
    ChannelTrace& t = _frame->channels[static_cast<std::size_t>(channel)];
    t.present = true;
    t.overloaded = overloaded;
    t.acMode = acMode;
    t.rangeVolts = rangeVolts;
    envelopeOf(x, _M, kEnvelopeBuckets, t.envelopeMin, t.envelopeMax);
}

void SignalTap::takeMeasuredSpectrum(int channel, const double* amp, double c0)
{
    if (!_frame || channel < 0 || channel > 3 || _M < 4)
        return;
    const std::int64_t H = _M / 2;
    if (_boundsFor != H) {
        spectrumBuckets(H, kSpectrumBucketsPerGrid, _bounds);
        _boundsFor = H;
    }
    ChannelTrace& t = _frame->channels[static_cast<std::size_t>(channel)];
    spectrumPoints(amp, _M, _Fs, c0, _bounds, t.spectrumHz, t.spectrumDbV);
    _frame->spectrumLength = _M;
}

bool SignalTap::prepareViewSpectrum()
{
    if (_viewSpectrumTried)
        return _analyser != nullptr;
    _viewSpectrumTried = true;
    if (_M < 4)
        return false;
    int log2 = 0;
    while (log2 < kMaxViewSpectrumLog2 && (std::int64_t(2) << log2) <= _M)
        ++log2;
    const std::int64_t L = std::int64_t(1) << log2;
    try {
        const auto n = static_cast<std::size_t>(L) + 16;
        _window.assign(n, 0.0);
        _samples.assign(n, 0.0);
        _spectrum.assign(n, 0.0);
        _amp.assign(n / 2 + 16, 0.0);
        auto analyser = std::make_unique<SpectrumAnalyser>(L, _stopFlag);
        if (!analyser->buildWindow(_window.data(), kMeasurementWindowType))
            return false;
        _c0 = analyser->coefficient(0);
        _analyser = std::move(analyser);
        _L = L;
    } catch (const std::bad_alloc&) {
        // Without memory for it the view shows no spectrum; the measurement is unaffected.
        _window = {};
        _samples = {};
        _spectrum = {};
        _amp = {};
        return false;
    }
    return true;
}

void SignalTap::computeViewSpectrum(int channel, const double* x)
{
    if (!_frame || channel < 0 || channel > 3 || !prepareViewSpectrum())
        return;
    // The last L samples: the frame's most recent stretch.
    std::copy(x + (_M - _L), x + _M, _samples.begin());
    _analyser->applyWindow(_samples.data(), _window.data());
    if (!_analyser->transform(_samples.data(), _spectrum.data()))
        return;
    _analyser->amplitudeSpectrum(_spectrum.data(), _amp.data());
    const std::int64_t H = _L / 2;
    if (_boundsFor != H) {
        spectrumBuckets(H, kSpectrumBucketsPerGrid, _bounds);
        _boundsFor = H;
    }
    ChannelTrace& t = _frame->channels[static_cast<std::size_t>(channel)];
    spectrumPoints(_amp.data(), _L, _Fs, _c0, _bounds, t.spectrumHz, t.spectrumDbV);
    _frame->spectrumLength = _L;
}

void SignalTap::markPeak(int channel, double hz, double voltsRms)
{
    if (!_frame || channel < 0 || channel > 3 || !(hz > 0) || !std::isfinite(voltsRms))
        return;
    ChannelTrace& t = _frame->channels[static_cast<std::size_t>(channel)];
    t.hasPeak = true;
    t.peakHz = hz;
    t.peakDbV = dbvOf(voltsRms);
}

std::shared_ptr<SignalFrame> SignalTap::takeFrame()
{
    return std::move(_frame);
}

}  // namespace qmx
