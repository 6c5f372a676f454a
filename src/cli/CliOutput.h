#pragma once
// The command line's side of ending a run: the signals that end it (SIGINT, SIGTERM and
// SIGHUP alike), the --timeout deadline, and an output that never holds the program past
// them. Opening a FIFO nobody reads waits with both in force; a write to a pipe nobody
// empties waits for room, a signal or the deadline, whichever comes first; a failed write
// names its cause and leaves a file with whole rows only.

#include <QString>

#include <cstddef>
#include <cstdint>

namespace qmx::cli {

// ---- signals and the deadline

// Installs the handlers (idempotent): each of SIGINT, SIGTERM and SIGHUP records itself and
// writes a byte down a pipe, so a poll or an event loop wakes up. SIGPIPE is ignored: a closed
// reader is a write failure of the run, reported as such.
bool installSignalHandlers();
// The read end of that pipe, for a poll or a socket notifier; drainSignalPipe empties it.
int signalPipeFd();
void drainSignalPipe();
// The first signal caught, or 0.
int caughtSignal();

// --timeout: the whole run ends at this many seconds from now.
void setRunDeadline(double seconds);
bool deadlinePassed();
// Milliseconds left to the deadline (0 once passed), or -1 without one.
long long msToDeadline();

enum class Wake { Ready, Signalled, TimedOut, Failed };
// Waits until `fd` is ready for `events` (poll bits), a signal is caught or the deadline
// passes, at most `ms` milliseconds (-1: no limit of its own). Ready with fd < 0 after `ms`.
Wake waitReady(int fd, short events, long long ms);

// ---- the output

class Output {
public:
    enum class Status { Ok, Failed, Interrupted, TimedOut };

    Output() = default;
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Creates or truncates `path` for writing. A FIFO is opened without blocking and waited
    // for until a reader opens it, a signal comes or the deadline passes.
    Status open(const QString& path);
    // Standard output; a pipe or terminal gets a description of its own that does not block,
    // so the shell's stays as it was.
    Status openStandardOutput();

    // Writes all of `bytes`. `unit` is the size of one whole row of a binary stream (its rows
    // counted from `unitOrigin` bytes into the output), or 0 for text whose rows end in a line
    // break. On a write failure a regular file is cut back to its last whole row.
    Status write(const char* bytes, std::size_t size, std::size_t unit = 0);
    // Rewrites bytes already written (a header's sizes); regular files only.
    bool rewrite(std::int64_t offset, const char* bytes, std::size_t size);

    // Bytes written so far (after a cut, the bytes kept).
    std::int64_t written() const { return _written; }
    bool isRegularFile() const { return _regular; }
    // What the output is called in a message: the file name or "standard output".
    QString name() const { return _name; }
    // "cannot write readings.csv: No space left on device"
    QString error() const { return _error; }
    std::int64_t unitOrigin = 0;

private:
    Status fail(const QString& what, int error);
    void cutBack(const char* bytes, std::size_t done, std::size_t unit);

    int _fd = -1;
    bool _own = false;
    bool _regular = false;
    bool _socket = false;
    bool _smallWrites = false;  // a blocking pipe or terminal: writes no larger than PIPE_BUF
    std::int64_t _start = 0;    // where our bytes began in a regular file
    std::int64_t _written = 0;
    QString _name;
    QString _error;
};

}  // namespace qmx::cli
