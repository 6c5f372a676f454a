#pragma once
// Frames for the signal view's tests, made by the acquisition thread's own tap from synthetic
// samples, and the helpers that keep a frame's pyramids in step after a test edits it.

#include "SignalFrame.h"
#include "SignalTap.h"

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

namespace qmxtest {

inline constexpr double kFs = 117187.5;

// A frame through a tap: samples(c, i) gives channel c's sample i (volts); absent channels
// where present(c) is false. The spectrum is the tap's own (the measurement's window).
inline std::shared_ptr<qmx::SignalFrame> tapFrame(long long m, const std::function<double(int, long long)>& sample,
                                                  const std::function<bool(int)>& present = {},
                                                  qmx::SignalTap* tap = nullptr)
{
    std::unique_ptr<qmx::SignalTap> own;
    if (!tap) {
        own = std::make_unique<qmx::SignalTap>(m, kFs, false, nullptr);
        tap = own.get();
    }
    tap->beginFrame(12, "fft", "rms");
    std::vector<double> x(static_cast<std::size_t>(m) + 16);
    for (int c = 0; c < 4; ++c) {
        if (present && !present(c))
            continue;
        for (long long i = 0; i < m; ++i)
            x[static_cast<std::size_t>(i)] = sample(c, i);
        const double range = 10.0 / static_cast<double>(1u << c);
        tap->takeWaveform(c, x.data(), true, false, range, false);
        tap->computeViewSpectrum(c, x.data());
    }
    std::shared_ptr<qmx::SignalFrame> f = tap->takeFrame();
    // a copy of our own: tests edit it, and the tap may end before it
    return std::make_shared<qmx::SignalFrame>(*f);
}

// A frame of sines: channel c at (c+1) kHz with half its range as amplitude, ranges 10, 5, 2.5,
// 1.25 V, its peak marked and its readings' texts set.
inline std::shared_ptr<qmx::SignalFrame> sineFrame(long long m = 131072, double phase = 0)
{
    auto f = tapFrame(m, [phase](int c, long long i) {
        const double amp = 10.0 / static_cast<double>(1u << c) / 2, hz = 1000.0 * (c + 1);
        return amp * std::sin(2 * M_PI * hz * static_cast<double>(i) / kFs + phase);
    });
    f->spectrumLength = m;
    for (std::size_t c = 0; c < 4; ++c) {
        qmx::ChannelTrace& t = f->channels[c];
        const double amp = t.rangeVolts / 2, hz = 1000.0 * static_cast<double>(c + 1);
        t.hasPeak = true;
        t.peakHz = hz;
        t.peakDbV = qmx::dbvOf(amp / std::sqrt(2.0));
        t.valueText = QString::number(amp / std::sqrt(2.0) * 1000, 'f', 2);
        t.frequencyText = QString::number(hz / 1000, 'f', 5);
        t.phaseText = "0.000";
    }
    return f;
}

// Rebuilds a channel's pyramids after its samples or spectrum were edited.
inline void refresh(qmx::ChannelTrace& t)
{
    qmx::buildPyramid(t.samples.data(), static_cast<std::int64_t>(t.samples.size()), t.pyramid);
    qmx::buildPyramid(t.spectrum.data(), static_cast<std::int64_t>(t.spectrum.size()), t.spectrumPyramid, false);
}

}  // namespace qmxtest
