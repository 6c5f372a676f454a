#pragma once
// What a frame's measurement means for each channel: the value, frequency and phase that may
// be shown or written, the channel's status, and why a reading is missing or doubtful. The
// window's panels, the recording and the command line's rows all take their readings from
// decideReadings(), so a rule made here holds for every face of the program.

#include "MainThread.h"

#include <QString>

#include <array>
#include <optional>

namespace qmx {

enum class ChannelStatus {
    Ok,         // a true reading of the channel's settings
    Overload,   // the input reached the converter's limits: no reading
    Off,        // not acquired in this run
    NoSignal,   // AC with "fft": no tone stands above the noise; the value is what the bins hold
    Uncertain,  // a tone was measured, but outside the method's accurate domain (see `why`)
};

const char* statusText(ChannelStatus status);

// The highest tone the ICP lag removal corrects accurately, as a share of the rate.
inline constexpr double kIcpAccurateBand = 0.45;

struct ChannelReading {
    int channel = 1;        // 1..4
    const char* mode = "";  // "dc", "ac", or "" for a channel that is off
    ChannelStatus status = ChannelStatus::Off;
    std::optional<double> valueMilliVolts, frequencyKiloHertz, phaseDegrees;
    // Why the reading is uncertain or has no signal, or why an AC channel has no phase; one
    // line per cause, empty when there is nothing to say.
    QString why;
};

// The four channels' readings of one frame: `settings` as the run took them (channel modes,
// method, reference channel), `results` the frame's measurement.
//  - A phase difference is given only when the channel and the reference both carry a tone
//    (not overloaded, AC, found above the noise) and their frequencies agree within one bin
//    (Fs/M); a phase against an uncertain reference is uncertain too.
//  - An ICP input whose tone lies above kIcpAccurateBand of the rate is uncertain.
std::array<ChannelReading, 4> decideReadings(const RunSettings& settings, const FrameResults& results);

}  // namespace qmx
