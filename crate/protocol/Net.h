#pragma once
// Non-blocking TCP helpers with deadlines, for the crate libraries and the crate server.
// Every wait goes through poll() with a bounded time-out; a wake descriptor (the server's
// shutdown pipe) can end any wait early.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qmx::net {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

inline Deadline deadlineIn(uint32_t ms) { return Clock::now() + std::chrono::milliseconds(ms); }

enum class Io { Ok, Timeout, Closed, Error, Woken };

// Connects to addr:port (addr as a host-order IPv4 number) within timeoutMs; returns the
// non-blocking socket or -1.
int connectTo(uint32_t addr, uint16_t port, uint32_t timeoutMs);
void setNonBlocking(int fd);
void setNoDelay(int fd);
void closeFd(int& fd);

// Sends all bytes before the deadline.
Io sendAll(int fd, const void* data, std::size_t size, Deadline deadline, int wakeFd = -1);
// Receives between 1 and size bytes (got), waiting until the deadline for the first.
Io recvSome(int fd, void* data, std::size_t size, std::size_t& got, Deadline deadline,
            int wakeFd = -1);
// Receives exactly size bytes before the deadline.
Io recvAll(int fd, void* data, std::size_t size, Deadline deadline, int wakeFd = -1);
// Waits until fd is readable (true) or the deadline passes / the wake descriptor fires.
Io waitReadable(int fd, Deadline deadline, int wakeFd = -1);

// The server port: QMX_SERVER_PORT when it holds a valid port number, else fallback.
uint16_t serverPort(uint16_t fallback);

}  // namespace qmx::net
