#pragma once
// The simulated crate server running inside a test, on a free loopback port that the crate
// libraries are pointed at through QMX_SERVER_PORT; stopping it points them back at a dead
// port, so nothing ever reaches a server on the default port.

#include "CrateServer.h"
#include "DeadPort.h"
#include "Rig.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace qmxtest {

class SimulatedServer {
public:
    ~SimulatedServer() { stop(); }

    // Starts the server on the rig text (fast mode: data as fast as the socket allows).
    ::testing::AssertionResult start(const std::string& rigText, bool fast = true)
    {
        stop();
        qmx::sim::Rig rig;
        std::string error;
        if (!qmx::sim::parseRig(rigText, rig, error))
            return ::testing::AssertionFailure() << "rig: " << error;
        qmx::sim::ServerOptions o;
        o.port = 0;
        o.fast = fast;
        _server = std::make_unique<qmx::sim::CrateServer>(std::move(rig), o);
        if (!_server->start(error))
            return ::testing::AssertionFailure() << "server: " << error;
        ::setenv("QMX_SERVER_PORT", std::to_string(_server->port()).c_str(), 1);
        return ::testing::AssertionSuccess();
    }

    void stop()
    {
        if (_server) {
            _server->stop();
            _server.reset();
        }
        pointLibrariesAtDeadPort();
    }

    qmx::sim::CrateServer* operator->() const { return _server.get(); }
    explicit operator bool() const { return _server != nullptr; }

private:
    std::unique_ptr<qmx::sim::CrateServer> _server;
};

}  // namespace qmxtest
