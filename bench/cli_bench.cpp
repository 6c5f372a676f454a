// cli_bench: qmx58-probe as a test-stand tool, the program run as a child process against the
// simulated crate server in this process on a free loopback port (the built-in rig, crate
// SIM-A8-0001, slot 2, four channels at 117187.5 Hz unless said otherwise).
//   record  sustained rate to /dev/null against the fast server (samples per second per
//           channel and over all channels) in each format; CPU share of the program (user +
//           system time over wall time) recording in real time against the paced server.
//   measure frames per second against the fast server (4 x 2^17 samples, "fft"); the dead
//           time between frames against the paced server: the period of the frames (from the
//           times the readings carry, first frame to last) less their signal time.
// The program's start-up (scan, open, configuration) is taken out of the record figures by
// running each case also with the shortest length and subtracting.

#include "CrateServer.h"
#include "Rig.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Run {
    int code = -1;
    double wall = 0, cpu = 0;  // seconds
};

// Runs the program with its output to /dev/null; wall and CPU time of the child.
Run probe(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    std::string program = QMX_PROBE_PROGRAM;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    Run r;
    const auto t0 = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return r;
    }
    int status = 0;
    rusage use{};
    wait4(pid, &status, 0, &use);
    r.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.cpu = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
            static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) * 1e-6;
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    posix_spawn_file_actions_destroy(&actions);
    return r;
}

// The mean period of the frames in a readings CSV, from its time_utc column (ms resolution):
// the first frame's time to the last one's, over the frames between.
double framePeriod(const std::string& path, int& frames)
{
    std::FILE* f = std::fopen(path.c_str(), "r");
    frames = 0;
    if (!f)
        return 0;
    char line[512];
    double first = 0, last = 0;
    long long lastFrame = 0;
    while (std::fgets(line, sizeof line, f)) {
        int y, mo, d, h, mi;
        double sec;
        long long frame;
        if (std::sscanf(line, "%d-%d-%dT%d:%d:%lfZ,%lld,", &y, &mo, &d, &h, &mi, &sec, &frame) != 7 || frame == lastFrame)
            continue;
        lastFrame = frame;
        const double t = ((d * 24.0 + h) * 60 + mi) * 60 + sec;  // within one month
        if (frames++ == 0)
            first = t;
        last = t;
    }
    std::fclose(f);
    return frames > 1 ? (last - first) / (frames - 1) : 0;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Server {
public:
    explicit Server(bool fast)
    {
        qmx::sim::ServerOptions o;
        o.port = 0;
        o.fast = fast;
        _server = std::make_unique<qmx::sim::CrateServer>(qmx::sim::defaultRig(), o);
        std::string error;
        if (!_server->start(error)) {
            std::fprintf(stderr, "cli_bench: server: %s\n", error.c_str());
            std::exit(1);
        }
        ::setenv("QMX_SERVER_PORT", std::to_string(_server->port()).c_str(), 1);
    }

private:
    std::unique_ptr<qmx::sim::CrateServer> _server;
};

const std::vector<std::string> kModule = {"--settings", "/nonexistent/cli_bench.ini", "--crate", "SIM-A8-0001",
                                          "--slot", "2", "--rate", "117187.5", "--channels", "1,2,3,4"};

}  // namespace

int main()
{
    constexpr double kFs = 117187.5;
    char pattern[] = "/tmp/cli_bench_XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0)
        return 1;
    ::close(fd);
    const std::string readings = pattern;
    {
        Server fast(true);
        const long long samples = 4000000;
        for (const char* format : {"f32", "wav", "csv"}) {
            const long long n = std::string(format) == "csv" ? samples / 8 : samples;
            const auto base = std::vector<std::string>{"record"} + kModule + std::vector<std::string>{"--format", format,
                                                                                                        "--output", "/dev/null"};
            const Run shortest = probe(base + std::vector<std::string>{"--samples", "1"});
            const Run run = probe(base + std::vector<std::string>{"--samples", std::to_string(n)});
            const double t = run.wall - shortest.wall;
            std::printf("record %-3s fast: %lld samples/channel in %.3f s (start-up %.3f s): %.3g samples/s per channel, "
                        "%.3g samples/s in all, %.1f x real time, exit %d\n",
                        format, n, t, shortest.wall, static_cast<double>(n) / t, 4.0 * static_cast<double>(n) / t,
                        static_cast<double>(n) / t / kFs, run.code);
        }
        const auto measure = std::vector<std::string>{"measure"} + kModule +
                             std::vector<std::string>{"--method", "fft", "--time", "1", "--output", readings};
        const Run many = probe(measure + std::vector<std::string>{"--frames", "41"});
        int frames = 0;
        const double perFrame = framePeriod(readings, frames);
        std::printf("measure fast, 4 x 2^17 fft: %.2f frames/s (%.1f ms per frame over %d frames; %.2f frames/s with "
                    "start-up and end), exit %d\n",
                    1.0 / perFrame, perFrame * 1e3, frames, 41 / many.wall, many.code);
    }
    {
        Server paced(false);
        const double seconds = 5;
        const auto base = std::vector<std::string>{"record"} + kModule +
                          std::vector<std::string>{"--format", "f32", "--output", "/dev/null"};
        const Run shortest = probe(base + std::vector<std::string>{"--samples", "1"});
        const Run run = probe(base + std::vector<std::string>{"--duration", std::to_string(seconds)});
        const double wall = run.wall - shortest.wall, cpu = run.cpu - shortest.cpu;
        std::printf("record f32 paced, 4 channels at 117187.5 Hz for %.0f s: CPU %.3f s of %.3f s wall = %.1f %% of one "
                    "core (with start-up: %.1f %%), exit %d\n",
                    seconds, cpu, wall, 100 * cpu / wall, 100 * run.cpu / run.wall, run.code);

        // Frames of 2^14 (0.14 s) and of 2^17 (1.12 s) samples per channel.
        for (const char* time : {"0.1", "1"}) {
            const double M = std::string(time) == "1" ? 131072 : 16384;
            const int frames = std::string(time) == "1" ? 8 : 30;
            const auto measure = std::vector<std::string>{"measure"} + kModule +
                                 std::vector<std::string>{"--method", "fft", "--time", time, "--output", readings};
            const Run many = probe(measure + std::vector<std::string>{"--frames", std::to_string(frames)});
            int seen = 0;
            const double perFrame = framePeriod(readings, seen);
            std::printf("measure paced, 4 x %.0f fft: %.1f ms per frame for %.1f ms of signal over %d frames: dead time "
                        "%.1f ms per frame, %.2f frames/s, exit %d\n",
                        M, perFrame * 1e3, M / kFs * 1e3, seen, (perFrame - M / kFs) * 1e3, 1.0 / perFrame, many.code);
        }
    }
    ::unlink(readings.c_str());
    return 0;
}
