// qmx-crate-server: the simulated crate server.
//   qmx-crate-server [--port N] [--rig FILE] [--fast] [--seed N] [--print-rig]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "CrateServer.h"

namespace {

volatile std::sig_atomic_t gSignal = 0;
int gSignalPipe[2] = {-1, -1};

void onSignal(int sig) {
    gSignal = sig;
    const char byte = 1;
    [[maybe_unused]] ssize_t r = ::write(gSignalPipe[1], &byte, 1);
}

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: qmx-crate-server [--port N] [--rig FILE] [--fast] [--seed N] [--print-rig]\n"
                 "  --port N     TCP port on 127.0.0.1 (default 11111; 0 = any free port)\n"
                 "  --rig FILE   crates, modules, signals and faults (default: the built-in rig)\n"
                 "  --fast       send data as fast as the socket allows instead of in real time\n"
                 "  --seed N     noise seed (default 1)\n"
                 "  --print-rig  print the built-in rig file and exit\n");
}

bool parseUnsigned(const char* text, unsigned long long max, unsigned long long& v) {
    if (!text || !*text) return false;
    char* end = nullptr;
    v = std::strtoull(text, &end, 10);
    return *end == '\0' && v <= max && text[0] != '-';
}

}  // namespace

int main(int argc, char** argv) {
    qmx::sim::ServerOptions options;
    std::string rigPath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        unsigned long long v = 0;
        if (a == "--port" && parseUnsigned(next, 65535, v)) {
            options.port = static_cast<uint16_t>(v);
            ++i;
        } else if (a == "--seed" && parseUnsigned(next, ~0ULL, v)) {
            options.seed = v;
            ++i;
        } else if (a == "--rig" && next) {
            rigPath = next;
            ++i;
        } else if (a == "--fast") {
            options.fast = true;
        } else if (a == "--print-rig") {
            std::fputs(qmx::sim::defaultRigText(), stdout);
            return 0;
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "qmx-crate-server: bad argument '%s'\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }

    qmx::sim::Rig rig;
    if (rigPath.empty()) {
        rig = qmx::sim::defaultRig();
    } else {
        std::string error;
        if (!qmx::sim::loadRigFile(rigPath, rig, error)) {
            std::fprintf(stderr, "qmx-crate-server: %s: %s\n", rigPath.c_str(), error.c_str());
            return 2;
        }
    }

    if (pipe(gSignalPipe) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    qmx::sim::CrateServer server(std::move(rig), options);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "qmx-crate-server: %s\n", error.c_str());
        return 1;
    }
    std::printf("qmx-crate-server listening on 127.0.0.1:%u (%s, %s)\n", server.port(),
                options.fast ? "fast" : "paced", rigPath.empty() ? "built-in rig" : rigPath.c_str());
    std::fflush(stdout);

    char byte;
    while (::read(gSignalPipe[0], &byte, 1) < 0 && gSignal == 0) {
    }
    server.stop();
    std::printf("qmx-crate-server stopped (signal %d)\n", static_cast<int>(gSignal));
    return 0;
}
