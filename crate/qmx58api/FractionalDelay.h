#pragma once
// Removal of the ICP inputs' lag: a channel in ICP mode delays its signal by
// lag / 360 / f seconds (the module's phase table: the lag in degrees at frequency f), and
// QMX58_ProcessData with flag 0x10 advances the channel's values by that delay again.
//
// The shift is a fractional-delay FIR: a Kaiser-windowed sinc of kTaps taps around the
// delayed position (normalised to unit gain at DC), applied to the integer and fractional
// parts of the delay at once. For every tone up to 0.45 times the conversion rate and every
// fractional position it reproduces the advanced tone within 2.1e-6 in amplitude and
// 1.0e-6 rad (6e-5 degrees) in phase; the delay is the same at every rate in seconds, so
// this holds at all sixteen rates alike. Above 0.45 times the rate the response rolls off
// towards half the rate, where no filter of finite length can delay a tone exactly.
//
// The values the filter needs beyond the series' ends come, before the first value, from
// the raw values that ended the previous call of the same acquisition (see DelayHistory)
// and, where there are none, by linear prediction: an autoregressive model of order 96
// fitted (Burg's method) to the nearest 1024 values continues the series by the few dozen
// values the filter reaches. Tones are continued to a few parts in a million, so even the
// outermost values of a frame stay close; other signals get a stable continuation held
// within twice their peak.
#include <cstddef>
#include <vector>

#include "Wire.h"

namespace qmx::icp {

// Half the filter length: the filter uses kHalfTaps values on each side of the position.
// The error at the band edge falls by about a factor of 3.5 per 8 taps more; 80 taps hold
// it some fifty times below 0.01 % and 0.01 degree at 0.45 times the rate.
constexpr int kHalfTaps = 40;
constexpr int kTaps = 2 * kHalfTaps;
// Largest lag (or lead) in conversions that is removed; a phase table that asks for more
// is refused as implausible. 16 conversions are 49 degrees at 1 kHz at the fastest rate.
constexpr double kMaxDelay = 16.0;
// Raw values a channel carries from one call to the next: what the filter reaches back
// (at most kHalfTaps + kMaxDelay - 1, that is 55), and enough that the prediction beyond
// the end of even a short call is fitted to real values.
constexpr std::size_t kHistory = 1024;
static_assert(kHistory >= kHalfTaps + kMaxDelay, "the history covers the filter's reach");
static_assert(kHalfTaps >= kMaxDelay, "a block's outputs never overwrite values a later block still reads");

// The delay of channel ch (0..3) in conversions at rateHz from a phase table (frequency,
// then the lags of channels 0..3 in degrees). A zero lag needs no correction whatever the
// frequency. False when the table cannot give a sane delay: a lag that is not finite, a
// frequency that is not finite or not positive, or a delay beyond +-kMaxDelay.
bool channelDelay(const wire::IcpPhaseTable& table, unsigned ch, double rateHz, double& delay);

// The raw values (before correction) that ended the previous call of one channel, oldest
// first; at most kHistory of them. Empty at the start of an acquisition.
using DelayHistory = std::vector<double>;

// One channel's series within a block of interleaved values.
struct DelaySeries {
    double* values;        // the channel's first value
    std::size_t count;     // the channel's values
    std::size_t stride;    // distance between two of them
    double delay;          // conversions to advance by, |delay| <= kMaxDelay
    DelayHistory* history; // in: what preceded values[0]; out: the raw values that end this call
};

// Advances each series by its delay in place (value i becomes the signal at i + delay) while
// the caller fills the values in: after each piece the caller reports how many conversions
// are in place, and whatever has all its inputs is filtered then, while that part of the
// block is still in cache. The series are filtered together block by block, so interleaved
// channels pass through the cache once.
class DelayRemover {
public:
    DelayRemover(const DelaySeries* series, std::size_t n);
    ~DelayRemover();
    DelayRemover(const DelayRemover&) = delete;
    DelayRemover& operator=(const DelayRemover&) = delete;

    // The first `conversions` values of every series are in place; with `last`, all of them
    // (call it exactly once, at the end). Until then no value is changed that is still read.
    void filled(std::size_t conversions, bool last);

private:
    struct Line;
    std::vector<Line> lines_;
};

}  // namespace qmx::icp
