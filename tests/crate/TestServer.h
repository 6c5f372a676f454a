#pragma once
// An in-process simulated crate server on a free port for the library tests. The libraries
// find it through QMX_SERVER_PORT, never through port 11111.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <memory>
#include <string>
#include <thread>

#include "CrateServer.h"
#include "Rig.h"

namespace qmxtest {

class ServerTest : public ::testing::Test {
protected:
    void startServer(const std::string& rigText, bool fast = true) {
        qmx::sim::Rig rig;
        std::string error;
        ASSERT_TRUE(qmx::sim::parseRig(rigText, rig, error)) << error;
        startServer(std::move(rig), fast);
    }
    void startServer(qmx::sim::Rig rig, bool fast = true) {
        qmx::sim::ServerOptions options;
        options.port = 0;
        options.fast = fast;
        server_ = std::make_unique<qmx::sim::CrateServer>(std::move(rig), options);
        std::string error;
        ASSERT_TRUE(server_->start(error)) << error;
        ASSERT_NE(server_->port(), 0);
        setenv("QMX_SERVER_PORT", std::to_string(server_->port()).c_str(), 1);
    }
    void TearDown() override {
        if (server_) server_->stop();
        unsetenv("QMX_SERVER_PORT");
    }

    // Waits (bounded) until the server serves no connection: every client socket was closed.
    bool serverIdle(int ms = 3000) {
        for (int i = 0; i < ms / 10; ++i) {
            if (server_->activeConnections() == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return server_->activeConnections() == 0;
    }

    std::unique_ptr<qmx::sim::CrateServer> server_;
};

// Open file descriptors of this process.
inline int openFdCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

inline double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace qmxtest
