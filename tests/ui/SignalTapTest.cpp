// The tap's side of the signal view: the pyramids give the exact extremes of any range (against
// brute force, NaNs included), frames return to the tap's pool and are reused, the spectrum
// averaging lowers the noise floor's spread by about sqrt(N), and an overloaded channel keeps
// its spectrum.

#include "RecordingDialogSeam.h"
#include "SignalFrame.h"
#include "SignalTap.h"
#include "SignalTestFrames.h"
#include "SignalView.h"

#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <mutex>
#include <random>
#include <thread>

namespace {

using namespace qmx;
using namespace qmxtest;

TEST(SignalPyramid, RangesAgreeWithBruteForce)
{
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0, 1);
    for (std::int64_t n : {1LL, 7LL, 8LL, 9LL, 64LL, 65LL, 1000LL, 4097LL, 70001LL}) {
        std::vector<float> x(static_cast<std::size_t>(n));
        for (float& v : x)
            v = noise(rng);
        if (n > 100) {
            for (std::size_t i = 16; i < 80; ++i)
                x[i] = std::numeric_limits<float>::quiet_NaN();  // whole blocks of them
            x[static_cast<std::size_t>(n) - 1] = 50;               // in the short last block
        }
        MinMaxPyramid p, maxima;
        buildPyramid(x.data(), n, p);
        buildPyramid(x.data(), n, maxima, false);
        ASSERT_TRUE(pyramidMatches(p, n));
        ASSERT_TRUE(pyramidMatches(maxima, n, false));
        if (n > 8) {
            EXPECT_FALSE(pyramidMatches(p, n * 9)) << "a pyramid of other values does not fit";
        }
        std::uniform_int_distribution<std::int64_t> at(0, n);
        for (int trial = 0; trial < 300; ++trial) {
            std::int64_t a = at(rng), b = at(rng);
            if (a > b)
                std::swap(a, b);
            float lo = std::numeric_limits<float>::infinity(), hi = -lo;
            for (std::int64_t i = a; i < b; ++i) {
                lo = x[static_cast<std::size_t>(i)] < lo ? x[static_cast<std::size_t>(i)] : lo;
                hi = x[static_cast<std::size_t>(i)] > hi ? x[static_cast<std::size_t>(i)] : hi;
            }
            float plo, phi;
            rangeMinMax(x.data(), n, p, a, b, plo, phi);
            ASSERT_EQ(plo, lo) << n << " [" << a << ", " << b << ")";
            ASSERT_EQ(phi, hi) << n << " [" << a << ", " << b << ")";
            ASSERT_EQ(rangeMax(x.data(), n, maxima, a, b), hi);
        }
    }
}

// A frame let go returns to the pool; the next frame reuses its arrays. A frame outliving its
// tap is still freed (by its last holder).
TEST(SignalTapPool, FramesAreReused)
{
    const long long m = 4096;
    std::vector<double> x(m + 16, 0.5);
    SignalTap tap(m, kFs, false, nullptr);
    const auto make = [&] {
        tap.beginFrame(1, "sum", "rms");
        tap.takeWaveform(0, x.data(), true, false, 10, false);
        return tap.takeFrame();
    };
    std::shared_ptr<SignalFrame> a = make();
    const float* samples = a->channels[0].samples.data();
    std::shared_ptr<SignalFrame> b = make();
    EXPECT_NE(b->channels[0].samples.data(), samples) << "a frame still held is not reused";
    a.reset();
    std::shared_ptr<SignalFrame> c = make();
    EXPECT_EQ(c->channels[0].samples.data(), samples) << "the released frame's arrays are reused";
    EXPECT_FALSE(c->channels[1].present) << "a reused frame starts empty";
    EXPECT_EQ(c->channels[0].samples.size(), static_cast<std::size_t>(m));
    std::shared_ptr<SignalFrame> outliving;
    {
        SignalTap shortLived(m, kFs, false, nullptr);
        shortLived.beginFrame(1, "sum", "rms");
        outliving = shortLived.takeFrame();
    }
    outliving.reset();  // no pool to go back to: freed here (the sanitizers check)

    // Across threads as in a run: the tap fills frames on one thread, another reads and lets
    // them go; a reused frame never holds the previous reader's data half overwritten
    // (ThreadSanitizer watches the hand-back).
    std::mutex mutex;
    std::deque<std::shared_ptr<SignalFrame>> queue;
    std::thread producer([&] {
        for (int n = 1; n <= 200; ++n) {
            std::fill(x.begin(), x.end(), double(n));
            tap.beginFrame(n, "sum", "rms");
            tap.takeWaveform(0, x.data(), true, false, 10, false);
            std::shared_ptr<SignalFrame> f = tap.takeFrame();
            const std::lock_guard<std::mutex> lock(mutex);
            queue.push_back(std::move(f));
        }
    });
    int seen = 0;
    while (seen < 200) {
        std::shared_ptr<SignalFrame> f;
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (!queue.empty()) {
                f = std::move(queue.front());
                queue.pop_front();
            }
        }
        if (!f) {
            std::this_thread::yield();
            continue;
        }
        ++seen;
        const auto& s = f->channels[0].samples;
        ASSERT_EQ(s.front(), float(f->frame));
        ASSERT_EQ(s.back(), float(f->frame));
    }
    producer.join();
}

double relativeSpread(const std::vector<float>& spectrum)
{
    // the spread of the power of the bins away from the ends, relative to its mean
    double sum = 0, sum2 = 0;
    std::size_t n = 0;
    for (std::size_t k = 20; k + 20 < spectrum.size(); ++k) {
        const double p = double(spectrum[k]) * spectrum[k];
        sum += p;
        sum2 += p * p;
        ++n;
    }
    const double mean = sum / double(n);
    return std::sqrt(sum2 / double(n) - mean * mean) / mean;
}

// RMS averaging over N = 16 frames of white noise, asked for in the view: the floor's spread
// falls by about 4 (a single frame's bins spread as much as their mean); the view's reset
// button starts again; peak hold never falls.
TEST(SignalTapAveraging, RmsAverageLowersTheSpreadBySqrtN)
{
    qmxtest::RecordingDialogSeam dialogs;
    SignalView view(dialogs, nullptr);
    view.findChild<QComboBox*>("SignalAveragingComboBox")->setCurrentIndex(1);
    view.findChild<QSpinBox*>("SignalAveragingCountSpinBox")->setValue(16);
    const long long m = 16384;
    SignalTap tap(m, kFs, false, nullptr);
    std::mt19937 rng(11);
    std::normal_distribution<double> noise(0, 0.01);
    std::vector<double> x(m + 16);
    std::vector<double> spreads;
    std::shared_ptr<SignalFrame> f;
    for (int frame = 0; frame < 16; ++frame) {
        for (long long i = 0; i < m; ++i)
            x[static_cast<std::size_t>(i)] = noise(rng);
        tap.beginFrame(frame + 1, "sum", "rms");
        tap.takeWaveform(0, x.data(), true, false, 10, false);
        tap.computeViewSpectrum(0, x.data());
        view.showFrame(tap.takeFrame());
        f = std::const_pointer_cast<SignalFrame>(view.shownFrame());
        spreads.push_back(relativeSpread(f->channels[0].spectrum));
        EXPECT_EQ(f->channels[0].averagedFrames, frame + 1);
    }
    EXPECT_NEAR(spreads.front(), 1.0, 0.1) << "one frame: exponential power per bin";
    const double ratio = spreads.front() / spreads.back();
    EXPECT_GT(ratio, 4 * 0.85) << ratio;
    EXPECT_LT(ratio, 4 * 1.15) << ratio;
    // the mean level stays the noise's: 0.01 V RMS spread over the bins
    EXPECT_EQ(f->channels[0].averaging, SpectrumAveraging::Rms);

    view.findChild<QPushButton*>("SignalAveragingResetButton")->click();
    tap.beginFrame(17, "sum", "rms");
    tap.takeWaveform(0, x.data(), true, false, 10, false);
    tap.computeViewSpectrum(0, x.data());
    EXPECT_EQ(tap.takeFrame()->channels[0].averagedFrames, 1) << "reset";

    view.findChild<QComboBox*>("SignalAveragingComboBox")->setCurrentIndex(2);
    std::vector<float> previous;
    for (int frame = 0; frame < 4; ++frame) {
        for (long long i = 0; i < m; ++i)
            x[static_cast<std::size_t>(i)] = noise(rng);
        tap.beginFrame(20 + frame, "sum", "rms");
        tap.takeWaveform(0, x.data(), true, false, 10, false);
        tap.computeViewSpectrum(0, x.data());
        f = tap.takeFrame();
        const std::vector<float>& s = f->channels[0].spectrum;
        for (std::size_t k = 0; k < previous.size(); ++k)
            ASSERT_GE(s[k], previous[k]) << k;
        previous = s;
    }
    view.findChild<QComboBox*>("SignalAveragingComboBox")->setCurrentIndex(0);
}

// An overloaded channel keeps its samples and gets a spectrum of its own, marked as overloaded.
TEST(SignalTapOverload, OverloadedChannelHasItsSpectrum)
{
    const long long m = 8192;
    SignalTap tap(m, kFs, true, nullptr);
    std::vector<double> x(m + 16);
    for (long long i = 0; i < m; ++i)
        x[static_cast<std::size_t>(i)] = std::clamp(12 * std::sin(2 * M_PI * 1000 * double(i) / kFs), -10.0, 10.0);
    tap.beginFrame(1, "fft", "rms");
    tap.takeWaveform(2, x.data(), true, false, 10, true);
    tap.computeViewSpectrum(2, x.data());
    const std::shared_ptr<SignalFrame> f = tap.takeFrame();
    const ChannelTrace& t = f->channels[2];
    EXPECT_TRUE(t.overloaded);
    ASSERT_EQ(t.spectrum.size(), static_cast<std::size_t>(m / 2));
    const auto peak = std::max_element(t.spectrum.begin(), t.spectrum.end()) - t.spectrum.begin();
    EXPECT_NEAR(double(peak) * t.spectrumBinHz, 1000, t.spectrumBinHz);
    EXPECT_EQ(t.samples[0], 0.0f);
}

}  // namespace
