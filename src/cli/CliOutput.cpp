#include "CliOutput.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace qmx::cli {
namespace {

int gSignalPipe[2] = {-1, -1};
volatile sig_atomic_t gCaught = 0;

void onSignal(int number)
{
    if (gCaught == 0)
        gCaught = number;
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

using Clock = std::chrono::steady_clock;
std::atomic<bool> gDeadlineSet{false};
Clock::time_point gDeadline;

// A FIFO without a reader is tried again this often while waiting for one.
constexpr int kReaderPollMs = 50;

}  // namespace

bool installSignalHandlers()
{
    if (gSignalPipe[0] >= 0)
        return true;
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a blocking call the program makes (a library's poll) returns early, and
    // every wait of its own watches the pipe anyway.
    sa.sa_flags = 0;
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        ::sigaction(s, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

int signalPipeFd() { return gSignalPipe[0]; }

void drainSignalPipe()
{
    char buf[64];
    while (gSignalPipe[0] >= 0 && ::read(gSignalPipe[0], buf, sizeof buf) > 0) {
    }
}

int caughtSignal() { return gCaught; }

void setRunDeadline(double seconds)
{
    gDeadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    gDeadlineSet = true;
}

bool deadlinePassed() { return gDeadlineSet && Clock::now() >= gDeadline; }

long long msToDeadline()
{
    if (!gDeadlineSet)
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(gDeadline - Clock::now()).count();
    return std::max<long long>(0, left + 1);  // rounded up: waking early would spin
}

Wake waitReady(int fd, short events, long long ms)
{
    for (;;) {
        if (caughtSignal() != 0)
            return Wake::Signalled;
        if (deadlinePassed())
            return Wake::TimedOut;
        long long wait = msToDeadline();
        if (ms >= 0)
            wait = wait < 0 ? ms : std::min(wait, ms);
        pollfd p[2] = {{gSignalPipe[0], POLLIN, 0}, {fd, events, 0}};
        const int n = ::poll(p, fd >= 0 ? 2 : 1, wait < 0 ? -1 : static_cast<int>(std::min<long long>(wait, INT_MAX)));
        if (n < 0 && errno != EINTR)
            return Wake::Failed;
        if (caughtSignal() != 0)
            return Wake::Signalled;
        if (deadlinePassed())
            return Wake::TimedOut;
        if (n > 0 && fd >= 0 && p[1].revents != 0)
            return Wake::Ready;
        if (n == 0 && ms >= 0)
            return Wake::Ready;  // its own time is up
        if (p[0].revents != 0)
            drainSignalPipe();  // a byte of a signal already counted
    }
}

Output::~Output()
{
    if (_own && _fd >= 0)
        ::close(_fd);
}

Output::Status Output::fail(const QString& what, int error)
{
    _error = QString("cannot %1 %2: %3").arg(what, _name, QString::fromLocal8Bit(std::strerror(error)));
    return Status::Failed;
}

Output::Status Output::open(const QString& path)
{
    _name = path;
    const QByteArray file = QFile::encodeName(path);
    for (;;) {
        // O_NONBLOCK: a FIFO without a reader fails with ENXIO at once instead of waiting in
        // open, where no signal would end the program cleanly.
        _fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
        if (_fd >= 0)
            break;
        if (errno != ENXIO)
            return fail("open", errno);
        switch (waitReady(-1, 0, kReaderPollMs)) {
        case Wake::Signalled: return Status::Interrupted;
        case Wake::TimedOut: return Status::TimedOut;
        case Wake::Failed: return fail("open", errno);
        case Wake::Ready: break;
        }
    }
    _own = true;
    struct stat st {};
    _regular = ::fstat(_fd, &st) == 0 && S_ISREG(st.st_mode);
    _start = 0;
    return Status::Ok;
}

Output::Status Output::openStandardOutput()
{
    _name = "standard output";
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) != 0)
        return fail("write to", errno);
    _regular = S_ISREG(st.st_mode);
    _socket = S_ISSOCK(st.st_mode);
    _fd = STDOUT_FILENO;
    if (_regular) {
        const off_t at = ::lseek(_fd, 0, SEEK_CUR);
        _start = at < 0 ? 0 : at;
        return Status::Ok;
    }
    if (_socket)
        return Status::Ok;  // sent with MSG_DONTWAIT
    // A pipe, FIFO or terminal opened anew: non-blocking for us alone.
    const int fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        _fd = fd;
        _own = true;
    } else {
        _smallWrites = true;
    }
    return Status::Ok;
}

void Output::cutBack(const char* bytes, std::size_t done, std::size_t unit)
{
    std::size_t keep = 0;
    if (unit > 0) {
        const std::int64_t rowsBefore = std::max<std::int64_t>(0, _written - unitOrigin);
        const std::int64_t partial = rowsBefore % static_cast<std::int64_t>(unit);
        const std::int64_t whole = (partial + static_cast<std::int64_t>(done)) / static_cast<std::int64_t>(unit) *
                                   static_cast<std::int64_t>(unit);
        keep = static_cast<std::size_t>(std::max<std::int64_t>(0, whole - partial));
    } else {
        for (std::size_t i = done; i > 0; --i)
            if (bytes[i - 1] == '\n') {
                keep = i;
                break;
            }
    }
    if (_regular && keep < done && ::ftruncate(_fd, _start + _written + static_cast<std::int64_t>(keep)) == 0)
        done = keep;
    _written += static_cast<std::int64_t>(done);
}

Output::Status Output::write(const char* bytes, std::size_t size, std::size_t unit)
{
    std::size_t done = 0;
    while (done < size) {
        std::size_t piece = size - done;
        if (_smallWrites) {
            // Blocking descriptor: POLLOUT promises room for PIPE_BUF bytes, no more.
            switch (waitReady(_fd, POLLOUT, -1)) {
            case Wake::Ready: break;
            case Wake::Signalled: _written += static_cast<std::int64_t>(done); return Status::Interrupted;
            case Wake::TimedOut: _written += static_cast<std::int64_t>(done); return Status::TimedOut;
            case Wake::Failed: break;
            }
            piece = std::min<std::size_t>(piece, PIPE_BUF);
        }
        const ssize_t n = _socket ? ::send(_fd, bytes + done, piece, MSG_DONTWAIT | MSG_NOSIGNAL)
                                  : ::write(_fd, bytes + done, piece);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int error = n == 0 ? EIO : errno;
        if (error == EINTR)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            const Wake w = waitReady(_fd, POLLOUT, -1);
            if (w == Wake::Ready)
                continue;
            _written += static_cast<std::int64_t>(done);
            if (w == Wake::Signalled)
                return Status::Interrupted;
            if (w == Wake::TimedOut)
                return Status::TimedOut;
        }
        cutBack(bytes, done, unit);
        return fail("write", error);
    }
    _written += static_cast<std::int64_t>(done);
    return Status::Ok;
}

bool Output::rewrite(std::int64_t offset, const char* bytes, std::size_t size)
{
    if (!_regular)
        return false;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(_fd, bytes + done, size - done, _start + offset + static_cast<std::int64_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fail("write", n == 0 ? EIO : errno);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace qmx::cli
