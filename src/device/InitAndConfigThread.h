#pragma once
// TInitAndConfigThread: the short-lived discovery worker. It reports that it runs as its first
// act, then finds crates and modules, opens the selected module and applies the saved
// settings, touching the window only through synchronised calls. It frees itself when done.

#include "WorkerThread.h"

#include <atomic>
#include <cstdint>
#include <functional>

namespace qmx {

// What the discovery thread needs from the window.
class DiscoveryHost {
public:
    virtual ~DiscoveryHost() = default;
    // The window's "discovery running" byte: the thread sets it to 1 as its first act.
    virtual std::atomic<std::uint8_t>& discoveryRunningFlag() = 0;
    // Called on the thread right after it reported that it runs (a hook for tests).
    virtual void discoveryStarted() {}
};

class TInitAndConfigThread : public TThread {
public:
    TInitAndConfigThread(DiscoveryHost& host, bool fromSettings, std::int16_t mode);

    bool fromSettings() const { return _fromSettings; }
    std::int16_t mode() const { return _mode; }

protected:
    void Execute() override;

private:
    DiscoveryHost& _host;
    bool _fromSettings;
    std::int16_t _mode;
};

}  // namespace qmx
