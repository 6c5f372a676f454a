#include "Net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qmx::net {

static int remainingMs(Deadline deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    // Round up so a wait never ends a fraction of a millisecond before its deadline.
    return static_cast<int>(std::min<long long>(left.count() + 1, 60000));
}

void setNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

void setNoDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Waits for events on fd; Woken when the wake descriptor becomes readable.
static Io waitFor(int fd, short events, Deadline deadline, int wakeFd) {
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        const int n = poll(p, wakeFd >= 0 ? 2 : 1, remainingMs(deadline));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Io::Error;
        }
        if (wakeFd >= 0 && (p[1].revents & POLLIN)) return Io::Woken;
        if (n == 0) {
            if (Clock::now() >= deadline) return Io::Timeout;
            continue;
        }
        if (p[0].revents & (events | POLLHUP | POLLERR)) return Io::Ok;
        if (p[0].revents & POLLNVAL) return Io::Error;
    }
}

int connectTo(uint32_t addr, uint16_t port, uint32_t timeoutMs) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (errno != EINPROGRESS) {
            closeFd(fd);
            return -1;
        }
        if (waitFor(fd, POLLOUT, deadlineIn(timeoutMs), -1) != Io::Ok) {
            closeFd(fd);
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            closeFd(fd);
            return -1;
        }
    }
    setNoDelay(fd);
    return fd;
}

Io sendAll(int fd, const void* data, std::size_t size, Deadline deadline, int wakeFd) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, p, size, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const Io w = waitFor(fd, POLLOUT, deadline, wakeFd);
            if (w != Io::Ok) return w;
            continue;
        }
        return (n < 0 && (errno == EPIPE || errno == ECONNRESET)) ? Io::Closed : Io::Error;
    }
    return Io::Ok;
}

Io recvSome(int fd, void* data, std::size_t size, std::size_t& got, Deadline deadline, int wakeFd) {
    got = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n > 0) {
            got = static_cast<std::size_t>(n);
            return Io::Ok;
        }
        if (n == 0) return Io::Closed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            const Io w = waitFor(fd, POLLIN, deadline, wakeFd);
            if (w != Io::Ok) return w;
            continue;
        }
        return errno == ECONNRESET ? Io::Closed : Io::Error;
    }
}

Io recvAll(int fd, void* data, std::size_t size, Deadline deadline, int wakeFd) {
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        std::size_t got = 0;
        const Io r = recvSome(fd, p, size, got, deadline, wakeFd);
        if (r != Io::Ok) return r;
        p += got;
        size -= got;
    }
    return Io::Ok;
}

Io waitReadable(int fd, Deadline deadline, int wakeFd) { return waitFor(fd, POLLIN, deadline, wakeFd); }

uint16_t serverPort(uint16_t fallback) {
    const char* text = std::getenv("QMX_SERVER_PORT");
    if (!text || !*text) return fallback;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v > 65535) return fallback;
    return static_cast<uint16_t>(v);
}

}  // namespace qmx::net
