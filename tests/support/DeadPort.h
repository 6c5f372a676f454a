#pragma once
// A loopback TCP port with nothing listening on it, for QMX_SERVER_PORT in tests that must not
// reach any crate server.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace qmxtest {

inline int deadPort()
{
    static const int port = [] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = 0;
        socklen_t len = sizeof a;
        int p = 1;  // port 1 when no free port can be had: privileged, nothing of ours listens
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            p = ntohs(a.sin_port);
        if (fd >= 0)
            ::close(fd);
        return p;
    }();
    return port;
}

inline void pointLibrariesAtDeadPort() { ::setenv("QMX_SERVER_PORT", std::to_string(deadPort()).c_str(), 1); }

}  // namespace qmxtest
