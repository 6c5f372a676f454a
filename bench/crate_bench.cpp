// Crate server -> QMX58_Recv -> QMX58_ProcessData throughput, 24-bit data, 4 channels at
// 117187.5 Hz, against a qmx-crate-server child process on a free port.
//
//   crate_bench [--server PATH] [--seconds S] [--fast-only | --paced-only]
//
// Fast mode (server --fast): words as fast as the socket allows; prints
//   MSps=<values per second / 1e6> realtime_ratio=<MSps / 0.46875>
// where 0.46875 MS/s is 4 channels at 117187.5 Hz (target: realtime_ratio >= 50).
// Paced mode: the server delivers in real time, the receiver asks for 100 ms pieces as the
// program does; prints the CPU share of server and library together (target: under 5 % of
// one core).
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "qmx58api.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kRealtimeMSps = 4 * 117187.5 / 1e6;  // 0.46875

struct Child {
    pid_t pid = -1;
    unsigned port = 0;
};

std::string defaultServerPath() {
    if (const char* env = std::getenv("QMX_CRATE_SERVER")) return env;
    char exe[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = n > 0 ? std::string(exe, static_cast<std::size_t>(n)) : std::string(".");
    dir = dir.substr(0, dir.find_last_of('/'));
    return dir + "/../crate/server/qmx-crate-server";
}

bool startServer(const std::string& path, bool fast, Child& child) {
    int out[2];
    if (pipe(out) != 0) return false;
    child.pid = fork();
    if (child.pid < 0) return false;
    if (child.pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        if (fast)
            execl(path.c_str(), path.c_str(), "--port", "0", "--seed", "1", "--fast", static_cast<char*>(nullptr));
        else
            execl(path.c_str(), path.c_str(), "--port", "0", "--seed", "1", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[256] = {};
    const bool ok = f && fgets(line, sizeof line, f) &&
                    std::sscanf(line, "qmx-crate-server listening on 127.0.0.1:%u", &child.port) == 1;
    if (f) fclose(f);
    return ok;
}

void stopServer(Child& child) {
    if (child.pid <= 0) return;
    kill(child.pid, SIGTERM);
    int status = 0;
    waitpid(child.pid, &status, 0);
    child.pid = -1;
}

double processCpuSeconds(pid_t pid) {  // user + system time of another process
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (!f) return 0;
    char buf[2048] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    buf[n] = 0;
    const char* p = std::strrchr(buf, ')');  // fields after the command name
    if (!p) return 0;
    unsigned long utime = 0, stime = 0;
    // state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime);
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double selfCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

bool openModule(Qmx58Handle& h) {
    QMX58_Init(&h);
    if (QMX58_Open(&h, 0x7F000001, 11111, "SIM-A8-0001", 2) != QMX58_OK || QMX58_GetConfig(&h) != QMX58_OK) {
        std::fprintf(stderr, "crate_bench: cannot open the module of the built-in rig\n");
        return false;
    }
    h.rateCode = 0;  // 117187.5 Hz
    h.dataFormat = 1;
    for (auto& c : h.channels) {
        c.enabled = 1;
        c.inputRangeIndex = 1;
        c.acCoupling = 0;
        c.icpSensorMode = 0;
    }
    return QMX58_SetADC(&h) == QMX58_OK && QMX58_Start(&h) == QMX58_OK;
}

// Receives and converts for `seconds`; returns values converted, or -1.
long long run(Qmx58Handle& h, uint32_t chunkWords, double seconds) {
    std::vector<uint32_t> words(chunkWords);
    std::vector<double> values(chunkWords / 2);
    std::vector<int32_t> status(chunkWords / 2);
    long long total = 0;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        const int32_t n = QMX58_Recv(&h, words.data(), nullptr, chunkWords, 5000);
        if (n != static_cast<int32_t>(chunkWords)) {
            std::fprintf(stderr, "crate_bench: QMX58_Recv gave %d of %u words\n", n, chunkWords);
            return -1;
        }
        int32_t count = n;
        if (QMX58_ProcessData(&h, words.data(), values.data(), &count, 0x0B, status.data()) != QMX58_OK) {
            std::fprintf(stderr, "crate_bench: QMX58_ProcessData failed\n");
            return -1;
        }
        total += count;
    }
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    std::string server = defaultServerPath();
    double seconds = 3.0;
    bool fast = true, paced = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--server" && i + 1 < argc) server = argv[++i];
        else if (a == "--seconds" && i + 1 < argc) seconds = std::atof(argv[++i]);
        else if (a == "--fast-only") paced = false;
        else if (a == "--paced-only") fast = false;
        else {
            std::fprintf(stderr, "usage: crate_bench [--server PATH] [--seconds S] [--fast-only | --paced-only]\n");
            return 2;
        }
    }
    if (!(seconds > 0)) seconds = 3.0;
    std::signal(SIGPIPE, SIG_IGN);
    int rc = 0;
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (fast) {
        Child child;
        if (!startServer(server, true, child)) {
            std::fprintf(stderr, "crate_bench: cannot start %s\n", server.c_str());
            stopServer(child);
            return 1;
        }
        setenv("QMX_SERVER_PORT", std::to_string(child.port).c_str(), 1);
        Qmx58Handle h{};
        if (openModule(h)) {
            run(h, 1u << 16, 0.3);  // warm-up
            const auto t0 = Clock::now();
            const long long values = run(h, 1u << 16, seconds);
            const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
            if (values > 0) {
                const double msps = static_cast<double>(values) / wall / 1e6;
                std::printf("fast:  MSps=%.2f realtime_ratio=%.1f (target >= 50; %.1f s, 24-bit, 4 channels)\n", msps,
                            msps / kRealtimeMSps, wall);
            } else {
                rc = 1;
            }
            QMX58_Stop(&h);
        } else {
            rc = 1;
        }
        QMX58_Close(&h);
        stopServer(child);
    }

    if (paced) {
        Child child;
        if (!startServer(server, false, child)) {
            std::fprintf(stderr, "crate_bench: cannot start %s\n", server.c_str());
            stopServer(child);
            return 1;
        }
        setenv("QMX_SERVER_PORT", std::to_string(child.port).c_str(), 1);
        Qmx58Handle h{};
        if (openModule(h)) {
            // About 100 ms of data per receive, as the acquisition thread asks, rounded down
            // to whole conversions (4 channels, two words each) so that every piece converts
            // on its own.
            const auto chunk = static_cast<uint32_t>(117187.5 * 0.1) * 4 * 2;
            run(h, chunk, 0.3);
            const double server0 = processCpuSeconds(child.pid), self0 = selfCpuSeconds();
            const auto t0 = Clock::now();
            const double pacedSeconds = std::max(seconds, 3.0);
            const long long values = run(h, chunk, pacedSeconds);
            const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
            const double serverCpu = processCpuSeconds(child.pid) - server0;
            const double selfCpu = selfCpuSeconds() - self0;
            if (values > 0) {
                const double share = (serverCpu + selfCpu) / wall * 100;
                std::printf("paced: MSps=%.4f (real time %.5f) cpu_percent=%.2f (server %.2f, library %.2f; target < 5)\n",
                            static_cast<double>(values) / wall / 1e6, kRealtimeMSps, share, serverCpu / wall * 100,
                            selfCpu / wall * 100);
            } else {
                rc = 1;
            }
            QMX58_Stop(&h);
        } else {
            rc = 1;
        }
        QMX58_Close(&h);
        stopServer(child);
    }
    return rc;
}
