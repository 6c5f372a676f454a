#pragma once
// The signal view's exports of a frame, as bytes or written to a device: the envelope CSV, the
// raw samples as CSV and as a 32-bit float WAV file, and the header every export carries (the
// crate and module, the frame's settings, the time).
//
// Envelope CSV: "# key: value" lines (signalExportHeader), then the header row
//   kind,channel,x,y_min,y_max
// and, for each shown channel (checked and present in the frame) in order 1..4, rows of
//   waveform,<channel>,<time of the bucket's first sample, s>,<minimum, V>,<maximum, V>
//   spectrum,<channel>,<frequency, Hz>,<level, dBV>,
//   peak,<channel>,<frequency, Hz>,<level, dBV>,        (the measured peak, when there is one)
// one waveform row per envelope bucket and one spectrum row per point. Numbers are the
// shortest text that reads back as the same double, with '.'; a value that is not a number,
// or a time without a sample rate, is an empty field.
//
// Samples CSV: the same "# " lines, then "t_s,ch<N>_V,..." and one row per sample: its time
// (i / Fs, the shortest double text) and each shown channel's volts as the shortest text that
// reads back as the same float.
//
// WAV: RIFF/WAVE with a format chunk of tag 3 (IEEE float), 32 bits, one channel per shown
// input in order 1..4, the sample rate rounded to whole hertz (the format has no other); a fact
// chunk; a LIST/INFO chunk whose ICMT holds the header lines (the exact rate among them) and
// whose ICRD the UTC time; then the samples interleaved, little-endian, bit for bit the frame's.

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>

class QIODevice;

namespace qmx {

struct SignalFrame;

struct SignalExportInfo {
    QString crateSerial;   // empty: not known
    QString moduleSerial;
    QDateTime timeUtc;     // when the export was made
};

// The "key: value" lines every export starts with (without "# ").
QStringList signalExportHeader(const SignalFrame& frame, const std::array<bool, 4>& shown, const SignalExportInfo& info);
QByteArray signalCsvText(const SignalFrame& frame, const std::array<bool, 4>& shown, const SignalExportInfo& info = {});
// Whether the frame has samples to export for a channel (present, shown, all M of them).
bool signalHasSamples(const SignalFrame& frame, int channel);
// Write the samples; false on a write error (the device's errorString() says why).
bool writeSignalSamplesCsv(QIODevice& out, const SignalFrame& frame, const std::array<bool, 4>& shown,
                           const SignalExportInfo& info);
// error: why, when it is not the device's (a frame too long for the format).
bool writeSignalWav(QIODevice& out, const SignalFrame& frame, const std::array<bool, 4>& shown,
                    const SignalExportInfo& info, QString* error = nullptr);
// Shortest text that reads back as the same float.
QByteArray shortestFloatText(float v);

}  // namespace qmx
