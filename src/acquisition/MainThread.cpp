#include "MainThread.h"

namespace qmx {

TMainThread::TMainThread(MeasurementHost& host, std::uint16_t runningPage) : _host(host), _runningPage(runningPage) {}

void TMainThread::Execute()
{
    _host.measurementRunningFlag().store(1);
    bool onMultimeter = false;
    Synchronize([&] { onMultimeter = _host.multimeterPageActive(); });
    if (onMultimeter)
        _host.measurementIdleFlag().store(0);
    // Idle until told to stop; the measurement loop runs here.
    while (!Terminated())
        QThread::msleep(50);
}

}  // namespace qmx
