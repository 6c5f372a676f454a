#include "SignalTap.h"

#include "SpectrumAnalyser.h"
#include "Windows.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
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


void buildPyramid(const float* x, std::int64_t n, MinMaxPyramid& p, bool withMin)
{
    constexpr std::int64_t F = MinMaxPyramid::kFactor;
    int level = 0;
    const float* srcLo = x;
    const float* srcHi = x;
    std::int64_t count = n;
    while (count > F) {
        const std::int64_t next = (count + F - 1) / F;
        if (p.hi.size() <= static_cast<std::size_t>(level)) {
            p.hi.emplace_back();
            p.lo.emplace_back();
        }
        std::vector<float>& hi = p.hi[static_cast<std::size_t>(level)];
        std::vector<float>& lo = p.lo[static_cast<std::size_t>(level)];
        hi.resize(static_cast<std::size_t>(next));
        lo.resize(withMin ? static_cast<std::size_t>(next) : 0);
        for (std::int64_t i = 0; i < next; ++i) {
            const std::int64_t a = i * F, b = std::min(count, a + F);
            float h = -std::numeric_limits<float>::infinity();
            for (std::int64_t j = a; j < b; ++j)
                h = srcHi[j] > h ? srcHi[j] : h;  // NaN never wins
            hi[static_cast<std::size_t>(i)] = h;
            if (withMin) {
                float l = std::numeric_limits<float>::infinity();
                for (std::int64_t j = a; j < b; ++j)
                    l = srcLo[j] < l ? srcLo[j] : l;
                lo[static_cast<std::size_t>(i)] = l;
            }
        }
        srcHi = hi.data();
        srcLo = withMin ? lo.data() : nullptr;
        count = next;
        ++level;
    }
    p.hi.resize(static_cast<std::size_t>(level));
    p.lo.resize(static_cast<std::size_t>(level));
}

bool pyramidMatches(const MinMaxPyramid& p, std::int64_t n, bool withMin)
{
    constexpr std::int64_t F = MinMaxPyramid::kFactor;
    std::size_t level = 0;
    for (std::int64_t count = n; count > F; ++level) {
        count = (count + F - 1) / F;
        if (level >= p.hi.size() || level >= p.lo.size() || p.hi[level].size() != static_cast<std::size_t>(count) ||
            (withMin && p.lo[level].size() != static_cast<std::size_t>(count)))
            return false;
    }
    return level == p.hi.size();
}

namespace {

// Walks x[a .. b) through the pyramid: at each level the unaligned ends one by one, the
// aligned middle from the next level up. visit(level, index) sees each value once.
template <typename Visit>
void walkRange(std::int64_t n, int levels, std::int64_t a, std::int64_t b, Visit visit)
{
    constexpr std::int64_t F = MinMaxPyramid::kFactor;
    a = std::max<std::int64_t>(a, 0);
    b = std::min(b, n);
    int level = 0;
    while (a < b) {
        if (level < levels && b - a >= 2 * F) {
            for (; a % F != 0 && a < b; ++a)
                visit(level, a);
            for (; b % F != 0 && b > a; --b)
                visit(level, b - 1);
            a /= F;
            b /= F;
            ++level;
        } else {
            for (; a < b; ++a)
                visit(level, a);
        }
    }
}

}  // namespace

void rangeMinMax(const float* x, std::int64_t n, const MinMaxPyramid& p, std::int64_t a, std::int64_t b, float& lo,
                 float& hi)
{
    lo = std::numeric_limits<float>::infinity();
    hi = -std::numeric_limits<float>::infinity();
    const int levels = p.lo.size() == p.hi.size() ? p.levels() : 0;
    walkRange(n, levels, a, b, [&](int level, std::int64_t i) {
        const auto k = static_cast<std::size_t>(i);
        const float l = level == 0 ? x[i] : p.lo[static_cast<std::size_t>(level - 1)][k];
        const float h = level == 0 ? x[i] : p.hi[static_cast<std::size_t>(level - 1)][k];
        lo = l < lo ? l : lo;
        hi = h > hi ? h : hi;
    });
}

float rangeMax(const float* x, std::int64_t n, const MinMaxPyramid& p, std::int64_t a, std::int64_t b)
{
    float hi = -std::numeric_limits<float>::infinity();
    walkRange(n, static_cast<int>(p.hi.size()), a, b, [&](int level, std::int64_t i) {
        const float h = level == 0 ? x[i] : p.hi[static_cast<std::size_t>(level - 1)][static_cast<std::size_t>(i)];
        hi = h > hi ? h : hi;
    });
    return hi;
}

SignalTapControl& signalTapControl()
{
    static SignalTapControl control;
    return control;
}

// Frames handed over come back here when their last holder lets them go.
struct SignalTap::Pool {
    std::mutex mutex;
    std::vector<std::unique_ptr<SignalFrame>> free;
    bool open = true;

    void giveBack(SignalFrame* f)
    {
        std::unique_ptr<SignalFrame> frame(f);
        const std::lock_guard<std::mutex> lock(mutex);
        if (open && free.size() < static_cast<std::size_t>(kPooledFrames))
            free.push_back(std::move(frame));
        // else it is freed here, outside nothing else's way
    }
    std::unique_ptr<SignalFrame> take()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        if (free.empty())
            return nullptr;
        std::unique_ptr<SignalFrame> f = std::move(free.back());
        free.pop_back();
        return f;
    }
};

SignalTap::SignalTap(std::int64_t M, double Fs, bool fft, const std::atomic<bool>* stopFlag, SignalTapControl* control)
    : _M(M), _Fs(Fs), _fft(fft), _stopFlag(stopFlag), _control(control ? control : &signalTapControl()),
      _pool(std::make_shared<Pool>())
{
}

SignalTap::~SignalTap()
{
    // frames still held elsewhere are freed by their last holder
    const std::lock_guard<std::mutex> lock(_pool->mutex);
    _pool->open = false;
    _pool->free.clear();
}

void SignalTap::beginFrame(long long frameNumber, const QString& method, const QString& amplitudeType)
{
    // The view's averaging: a changed mode, count or a reset starts every channel's anew, and
    // so does a changed channel set (a run's length and method are fixed: a new run has a
    // new tap).
    const int mode = std::clamp(_control->averaging.load(), 0, 2);
    const int count = std::clamp(_control->averageCount.load(), 1, SignalTapControl::kMaxAverageCount);
    const unsigned reset = _control->resetCount.load();
    const bool setChanged = _framesBegun >= 2 && _presentMask != _lastPresentMask;
    ++_framesBegun;
    if (mode != _mode || count != _count || reset != _resetCount || setChanged) {
        for (Average& a : _averages)
            a.count = 0;
    }
    _mode = mode;
    _count = count;
    _resetCount = reset;
    _lastPresentMask = _presentMask;
    _presentMask = 0;

    _frame = _pool->take();
    if (!_frame)
        _frame = std::make_unique<SignalFrame>();
    SignalFrame& f = *_frame;
    f.frame = frameNumber;
    f.sampleRate = _Fs;
    f.samplesPerChannel = _M;
    f.spectrumLength = 0;
    f.method = method;
    f.amplitudeType = amplitudeType;
    for (ChannelTrace& t : f.channels) {
        // the arrays keep their memory for this frame's data
        t.present = t.overloaded = t.acMode = t.icp = t.hasPeak = false;
        t.rangeVolts = t.spectrumBinHz = t.peakHz = t.peakDbV = 0;
        t.spectrumLength = 0;
        t.averaging = SpectrumAveraging::Off;
        t.averagedFrames = 1;
        t.samples.clear();
        t.spectrum.clear();
        t.envelopeMin.clear();
        t.envelopeMax.clear();
        t.spectrumHz.clear();
        t.spectrumDbV.clear();
        t.valueText.clear();
        t.frequencyText.clear();
        t.phaseText.clear();
    }
}

void SignalTap::takeWaveform(int channel, const double* x, bool acMode, bool icp, double rangeVolts, bool overloaded)
{
    if (!_frame || channel < 0 || channel > 3)
        return;
    ChannelTrace& t = _frame->channels[static_cast<std::size_t>(channel)];
    t.present = true;
    t.overloaded = overloaded;
    t.acMode = acMode;
    t.icp = icp;
    t.rangeVolts = rangeVolts;
    _presentMask |= 1u << channel;
    if (_M < 1)
        return;
    if (_M <= kMaxSamples) {
        try {
            t.samples.resize(static_cast<std::size_t>(_M));
            std::transform(x, x + _M, t.samples.begin(), [](double v) { return static_cast<float>(v); });
            buildPyramid(t.samples.data(), _M, t.pyramid);
        } catch (const std::bad_alloc&) {
            t.samples = {};
            t.pyramid = {};
        }
    }
    if (t.samples.empty()) {
        envelopeOf(x, _M, kEnvelopeBuckets, t.envelopeMin, t.envelopeMax);
        return;
    }
    // The export's envelope from the pyramid: the same buckets envelopeOf makes.
    const std::int64_t B = std::min<std::int64_t>(_M, kEnvelopeBuckets);
    t.envelopeMin.assign(static_cast<std::size_t>(B), 0.0f);
    t.envelopeMax.assign(static_cast<std::size_t>(B), 0.0f);
    for (std::int64_t i = 0; i < B; ++i) {
        const auto begin = static_cast<std::int64_t>((static_cast<__int128>(i) * _M) / B);
        const auto end = static_cast<std::int64_t>((static_cast<__int128>(i + 1) * _M) / B);
        float lo, hi;
        rangeMinMax(t.samples.data(), _M, t.pyramid, begin, end, lo, hi);
        if (lo <= hi) {
            t.envelopeMin[static_cast<std::size_t>(i)] = std::isfinite(lo) ? lo : 0.0f;
            t.envelopeMax[static_cast<std::size_t>(i)] = std::isfinite(hi) ? hi : 0.0f;
        }
    }
}

void SignalTap::setSpectrum(int channel, const double* amp, std::int64_t L, double c0)
{
    ChannelTrace& t = _frame->channels[static_cast<std::size_t>(channel)];
    const std::int64_t H = L / 2;
    if (H < 2 || !(c0 > 0))
        return;
    const double toRms = 1.0 / (c0 * std::sqrt(2.0));
    Average& avg = _averages[static_cast<std::size_t>(channel)];
    try {
        t.spectrum.resize(static_cast<std::size_t>(H));
        if (_mode != 0 && avg.acc.size() != static_cast<std::size_t>(H)) {
            avg.acc.assign(static_cast<std::size_t>(H), 0.0);
            avg.count = 0;
        }
    } catch (const std::bad_alloc&) {
        t.spectrum = {};
        avg.acc = {};
        return;
    }
    float* out = t.spectrum.data();
    if (_mode == static_cast<int>(SpectrumAveraging::Rms)) {
        // mean power over the frames so far, up to N; from then on each new frame weighs 1/N
        avg.count = std::min(avg.count + 1, _count);
        const double w = 1.0 / avg.count;
        double* acc = avg.acc.data();
        for (std::int64_t k = 0; k < H; ++k) {
            const double v = amp[k] * toRms;
            acc[k] += (v * v - acc[k]) * w;
            out[k] = static_cast<float>(std::sqrt(acc[k]));
        }
    } else if (_mode == static_cast<int>(SpectrumAveraging::PeakHold)) {
        double* acc = avg.acc.data();
        const bool first = avg.count == 0;
        avg.count = std::min(avg.count + 1, SignalTapControl::kMaxAverageCount);
        for (std::int64_t k = 0; k < H; ++k) {
            const double v = std::fabs(amp[k]) * toRms;
            acc[k] = first || v > acc[k] ? v : acc[k];
            out[k] = static_cast<float>(acc[k]);
        }
    } else {
        avg.count = 1;
        for (std::int64_t k = 0; k < H; ++k)
            out[k] = static_cast<float>(std::fabs(amp[k]) * toRms);
    }
    t.averaging = static_cast<SpectrumAveraging>(_mode);
    t.averagedFrames = std::max(1, avg.count);
    t.spectrumLength = L;
    t.spectrumBinHz = _Fs / static_cast<double>(L);
    buildPyramid(out, H, t.spectrumPyramid, false);

    // The export's points: the strongest bin of each bucket, of what is shown.
    if (_boundsFor != H) {
        spectrumBuckets(H, kSpectrumBucketsPerGrid, _bounds);
        _boundsFor = H;
    }
    const std::size_t n = _bounds.size() > 1 ? _bounds.size() - 1 : 0;
    t.spectrumHz.resize(n);
    t.spectrumDbV.resize(n);
    for (std::size_t b = 0; b < n; ++b) {
        std::int64_t best = _bounds[b];
        float bestV = -1;
        for (std::int64_t k = _bounds[b]; k < _bounds[b + 1]; ++k)
            if (out[k] > bestV) {
                bestV = out[k];
                best = k;
            }
        t.spectrumHz[b] = static_cast<double>(best) * t.spectrumBinHz;
        t.spectrumDbV[b] = static_cast<float>(dbvOf(bestV));
    }
    _frame->spectrumLength = std::max<long long>(_frame->spectrumLength, L);
}

void SignalTap::takeMeasuredSpectrum(int channel, const double* amp, double c0)
{
    if (!_frame || channel < 0 || channel > 3 || _M < 4)
        return;
    setSpectrum(channel, amp, _M, c0);
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
    setSpectrum(channel, _amp.data(), _L, _c0);
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
    if (!_frame)
        return nullptr;
    std::shared_ptr<Pool> pool = _pool;
    return std::shared_ptr<SignalFrame>(_frame.release(), [pool](SignalFrame* f) { pool->giveBack(f); });
}

}  // namespace qmx
