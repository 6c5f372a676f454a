#pragma once
// Small helpers the window benchmarks share.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace qmxbench {

// Serves the event loop in 2 ms steps until done() holds or `ms` have passed; false on time-out.
inline bool waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QThread::msleep(2);
        QCoreApplication::processEvents();
    }
    return true;
}

}  // namespace qmxbench
