#pragma once
// The simulated crate server: listens on 127.0.0.1, serves each client on its own thread,
// answers the crate and module requests from the rig, streams simulated data after Start
// (paced at the conversion rate, or as fast as the socket allows), and injects the rig's
// faults. Faults can also be changed while it runs, which is how tests drive it.
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Rig.h"

namespace qmx::sim {

struct ServerOptions {
    uint16_t port = 11111;  // 0 = any free port
    bool fast = false;      // data as fast as the socket allows instead of in real time
    uint64_t seed = 1;      // noise seed
    unsigned maxClients = 64;
};

class CrateServer {
public:
    CrateServer(Rig rig, ServerOptions options);
    ~CrateServer();
    CrateServer(const CrateServer&) = delete;
    CrateServer& operator=(const CrateServer&) = delete;

    // Binds and starts listening; false with a reason when the port cannot be had.
    bool start(std::string& error);
    // Ends every connection and joins every thread; safe to call twice.
    void stop();
    uint16_t port() const { return port_; }

    // Replace the faults of one module / one crate / the crate list; false when the rig has
    // no such module or crate.
    bool setModuleFaults(const std::string& crateSerial, int slot, const ModuleFaults& faults);
    bool setCrateFaults(const std::string& crateSerial, const CrateFaults& faults);
    void setCrateListFault(bool fail);
    // Replaces a channel's input signal.
    bool setChannelSignal(const std::string& crateSerial, int slot, int channel, const ChannelSignal& signal);

    // Client connections currently served (for leak checks).
    unsigned activeConnections() const { return active_.load(); }
    // Connections accepted since start.
    unsigned long acceptedConnections() const { return accepted_.load(); }

private:
    struct Client;
    class Session;
    friend class Session;

    void acceptLoop();
    void reapFinished(bool all);
    // Copies of rig parts under the lock: sessions never hold a reference into the rig.
    bool snapshotModule(const std::string& crateSerial, int slot, Qmx58Module& out);
    bool snapshotCrate(const std::string& crateSerial, Crate& out);
    bool listFault();
    std::vector<std::string> crateSerials();

    mutable std::mutex rigMutex_;
    Rig rig_;
    const ServerOptions options_;
    uint16_t port_ = 0;
    int listenFd_ = -1;
    int wakeRead_ = -1, wakeWrite_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<unsigned> active_{0};
    std::atomic<unsigned long> accepted_{0};
    std::thread acceptThread_;
    std::mutex clientsMutex_;
    std::list<std::unique_ptr<Client>> clients_;
    bool started_ = false;
};

}  // namespace qmx::sim
