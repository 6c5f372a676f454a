#pragma once
// TMainThread: the acquisition worker of one measurement run. It reports that it runs, then
// acquires and measures frame after frame until told to stop, touching the window only
// through synchronised calls. The window owns it: it terminates it, waits for it and deletes it.

#include "WorkerThread.h"

#include <atomic>
#include <cstdint>

namespace qmx {

// What the acquisition thread needs from the window.
class MeasurementHost {
public:
    virtual ~MeasurementHost() = default;
    virtual std::atomic<std::uint8_t>& measurementRunningFlag() = 0;
    virtual std::atomic<std::uint8_t>& measurementIdleFlag() = 0;
    // True when the multimeter page is the active page (checked on the window thread).
    virtual bool multimeterPageActive() = 0;
};

class TMainThread : public TThread {
public:
    TMainThread(MeasurementHost& host, std::uint16_t runningPage);

    std::uint16_t runningPage() const { return _runningPage; }

protected:
    void Execute() override;

private:
    MeasurementHost& _host;
    std::uint16_t _runningPage;
};

}  // namespace qmx
