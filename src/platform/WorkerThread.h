#pragma once
// TThread: a worker thread with the hand-shakes the window relies on.
//
//  - Synchronize(fn): runs fn on the window (GUI) thread and blocks the worker until it has
//    run; an exception thrown by fn is re-thrown in the worker. Called on the GUI thread it
//    runs fn directly. If the GUI side is being torn down, pending calls are released without
//    running, so a worker never hangs on a window that is gone.
//  - Terminate() / Terminated(): the stop request, polled by Execute().
//  - OnTerminate: runs on the GUI thread (synchronised) after Execute() returns.
//  - FreeOnTerminate: the object deletes itself on the GUI thread once it has finished.
//
// WaitWhileServing() is how the GUI thread waits: a 50 ms sleep, then pending events are
// dispatched (which serves the workers' synchronised calls), until the condition holds.

#include <QThread>

#include <atomic>
#include <functional>

namespace qmx {

class TThread : public QThread {
public:
    TThread();
    ~TThread() override;

    void Synchronize(const std::function<void()>& fn);
    void Terminate() { _terminated.store(true); requestInterruption(); }
    bool Terminated() const { return _terminated.load(); }
    // The stop request itself, for code that polls it without knowing the thread.
    const std::atomic<bool>* terminatedFlag() const { return &_terminated; }

    std::function<void()> OnTerminate;
    void setFreeOnTerminate(bool free) { _freeOnTerminate = free; }
    bool freeOnTerminate() const { return _freeOnTerminate; }

    // True once run() is past everything it touches: the object may then be deleted.
    bool runDone() const { return _runDone.load(std::memory_order_acquire); }

    // Asks the thread to stop and waits for it to end while still serving synchronised calls.
    void TerminateAndWait();

    // Installs the GUI-thread side of Synchronize. Call once on the GUI thread (the window's
    // construction does it); later calls are harmless.
    static void installDispatcher();
    // True while the GUI-thread side is installed (synchronised calls are served).
    static bool dispatcherInstalled();
    // Thread objects that exist now (constructed and not yet destroyed): no worker object may
    // outlive the window that started it.
    static int liveCount();
    // The longest time one synchronised call ran on the GUI thread since the last call of this
    // function (which restarts the measure), in nanoseconds.
    static long long takeLongestSynchronizedCallNs();

protected:
    virtual void Execute() = 0;

private:
    void run() final;

    std::atomic<bool> _terminated{false};
    // Set (release) as the very last thing run() does: whoever sees it (acquire) may delete
    // the object, with every access run() made ordered before.
    std::atomic<bool> _runDone{false};
    bool _freeOnTerminate = false;
};

// Sleeps `ms` and then dispatches pending events of the calling (GUI) thread.
void SleepAndDispatch(int ms = 50);

// Repeats SleepAndDispatch(50) until done() is true.
void WaitWhileServing(const std::function<bool()>& done);

// True on the GUI thread.
bool IsGuiThread();

}  // namespace qmx
