#pragma once
// RecordingSink: the recording of a run's readings to a CSV file, written by the acquisition
// thread after each frame's display, so that the window thread never waits on the file.
//
// The window owns the recording and hands the sink to the thread inside the display's
// synchronised call; header and comment lines are queued then (the thread is blocked), and
// written in front of the next frame's rows. end() may be called from any thread at any time:
// nothing more is written after it, and the last owner to let the sink go writes the
// "# end" line and closes the file.

#include "ReadingsWriter.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>

namespace qmx {

class RecordingSink {
public:
    // `file` open for appending; columnNames: the file is new and gets the header row.
    RecordingSink(std::unique_ptr<QFile> file, bool columnNames);
    ~RecordingSink();

    RecordingSink(const RecordingSink&) = delete;
    RecordingSink& operator=(const RecordingSink&) = delete;

    QString path() const { return _path; }

    // Window thread, while no other thread uses the sink (inside a synchronised call).
    void queueHeader(const ReadingsRunInfo& info);
    void queueComment(const QString& line);  // written as "# line"
    // The channels whose panels show readings now; the others are written as off.
    void queueShownChannels(const std::array<bool, 4>& shown) { _shown = shown; }

    // The thread that writes: the queued lines, then the frame's rows. False once a write
    // failed (errorString() says why) or after end().
    bool writeFrame(const QDateTime& timeUtc, long long frame, const RunSettings& settings, const FrameResults& results);

    // Any thread: the recording ends; `reason` goes into its last line.
    void end(const QString& reason);
    bool ended() const { return _ended.load(); }
    bool failed() const { return _failed.load(); }
    QString errorString() const;

private:
    std::unique_ptr<QFile> _file;
    QString _path;
    ReadingsWriter _writer;
    bool _columnNames;
    std::optional<ReadingsRunInfo> _header;
    QStringList _comments;
    std::array<bool, 4> _shown{{true, true, true, true}};
    std::atomic<bool> _ended{false};
    std::atomic<bool> _failed{false};
    mutable std::mutex _mutex;  // guards _reason and _error
    QString _reason;
    QString _error;
};

}  // namespace qmx
