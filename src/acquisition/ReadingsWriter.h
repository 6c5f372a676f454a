#pragma once
// ReadingsWriter: writes the readings of a measurement run, frame by frame, as CSV or as JSON
// Lines. The rows are the readings the window shows (decideReadings): millivolts, kilohertz
// and degrees, each only where the frame gives a true reading of it, with the channel's
// status (ok, uncertain, no-signal, overload, off). Numbers carry the full precision of a double in their
// shortest round-trip form with "." whatever the locale.
//
// CSV: "# " comment lines describing the run, then the header row
//   time_utc,frame,channel,mode,value_mV,frequency_kHz,phase_deg,status
// and one row per channel (1..4) per frame; a value that does not apply is an empty field.
// JSON Lines: one object per frame, {"time_utc","frame","channels":[{channel, mode,
// value_mV, frequency_kHz, phase_deg, status}, ...]}, null where a value does not apply.
//
// Every row goes to the device at once. A write failure is returned (false, with
// errorString() naming its cause, e.g. "No space left on device"); a file the failure cut a
// row short in is taken back to its last whole row. Nothing throws.

#include "MainThread.h"
#include "Readings.h"

#include <QDateTime>
#include <QString>

#include <array>
#include <optional>

class QIODevice;

namespace qmx {

enum class ReadingsFormat { Csv, JsonLines };

// What the comment header of a CSV file says about the run.
struct ReadingsRunInfo {
    QString crateSerial;
    int slot = 0;
    QString moduleSerial;
    double rateHz = 0;
    int bits = 20;
    QString method;                     // "fft" or "sum"
    QString amplitudeType;              // "rms" or "peak"
    double acquisitionTime = 0;         // requested, seconds
    long long samplesPerChannel = 0;    // the frame's length M (0: not known)
    int referenceChannel = 1;           // 1..4
    QString programVersion;
};

// Shortest text that reads back as the same double, "." as separator; empty for a value
// that is not finite.
QString numberText(double value);
// A header value on one line: line breaks become blanks.
QString oneLine(QString text);
// ISO 8601 UTC with milliseconds: 2026-12-08T23:59:01.123Z.
QString utcText(const QDateTime& time);

// Writes all of `bytes` to the file descriptor (a regular file, pipe or terminal), waiting
// while a non-blocking one is full. On a failure, `error` names the cause and a regular file
// is cut back to where this write began: what it held before stays whole.
bool writeWhole(int fd, const QByteArray& bytes, QString& error);

class ReadingsWriter {
public:
    // `device` must be open for writing and outlive the writer.
    ReadingsWriter(QIODevice& device, ReadingsFormat format);

    // CSV: the comment lines and, with columnNames, the header row (a file the rows of an
    // earlier run are appended to already has it). JSON Lines: nothing.
    bool writeHeader(const ReadingsRunInfo& info, bool columnNames = true);
    // CSV: one "# text" line (a line break in text becomes a blank). JSON Lines: nothing.
    bool writeComment(const QString& text);
    // One frame (frame numbers count from 1), flushed.
    bool writeFrame(const QDateTime& timeUtc, long long frame, const RunSettings& settings, const FrameResults& results);

    QString errorString() const { return _error; }

private:
    bool put(const QByteArray& bytes);

    QIODevice& _device;
    ReadingsFormat _format;
    QString _error;
};

}  // namespace qmx
