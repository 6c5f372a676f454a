#include "WorkerThread.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <deque>
#include <vector>
#include <memory>
#include <mutex>

namespace qmx {
namespace {

// One synchronised call: the worker waits on it until the GUI thread has run it, or until
// the dispatcher releases it unrun.
struct PendingCall {
    std::function<void()> fn;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;

    void finish()
    {
        {
            std::lock_guard<std::mutex> lock(m);
            done = true;
        }
        cv.notify_all();
    }
};

// Lives on the GUI thread; runs the posted calls and deletes finished self-freeing threads.
// Workers reach it only through post() below, under one mutex that also guards the pointer
// to it: so a poster either finds it alive and queues its work (the wake-up included) before
// the destructor can run, or finds none. The destructor releases every call still waiting
// and deletes every thread still queued for deletion, so nothing hangs and nothing leaks.
class Dispatcher : public QObject {
    Q_OBJECT

public:
    ~Dispatcher() override;

    Q_INVOKABLE void drain();

    std::deque<std::shared_ptr<PendingCall>> calls;  // guarded by dispatcherMutex()
    std::vector<TThread*> deletes;                   // guarded by dispatcherMutex()
};

// The longest time one synchronised call kept the GUI thread busy (a measure for benchmarks).
std::atomic<long long>& longestCallNs()
{
    static std::atomic<long long> ns{0};
    return ns;
}

std::mutex& dispatcherMutex()
{
    static std::mutex m;
    return m;
}

Dispatcher*& dispatcherPointer()  // guarded by dispatcherMutex()
{
    static Dispatcher* d = nullptr;
    return d;
}

// Queues work for the GUI thread; false when there is no dispatcher (the application is
// gone or never made one).
bool post(const std::shared_ptr<PendingCall>& call, TThread* doomed)
{
    std::lock_guard<std::mutex> lock(dispatcherMutex());
    Dispatcher* d = dispatcherPointer();
    if (!d)
        return false;
    if (call)
        d->calls.push_back(call);
    if (doomed)
        d->deletes.push_back(doomed);
    QMetaObject::invokeMethod(d, "drain", Qt::QueuedConnection);
    return true;
}

void deleteFinished(TThread* doomed)
{
    doomed->wait();
    (void)doomed->runDone();
    delete doomed;
}

Dispatcher::~Dispatcher()
{
    std::deque<std::shared_ptr<PendingCall>> pendingCalls;
    std::vector<TThread*> pendingDeletes;
    {
        std::lock_guard<std::mutex> lock(dispatcherMutex());
        if (dispatcherPointer() == this)
            dispatcherPointer() = nullptr;
        pendingCalls.swap(calls);
        pendingDeletes.swap(deletes);
    }
    for (auto& c : pendingCalls)
        c->finish();
    for (TThread* t : pendingDeletes)
        deleteFinished(t);
}

void Dispatcher::drain()
{
    for (;;) {
        std::shared_ptr<PendingCall> call;
        TThread* doomed = nullptr;
        {
            std::lock_guard<std::mutex> lock(dispatcherMutex());
            if (!calls.empty()) {
                call = calls.front();
                calls.pop_front();
            } else if (!deletes.empty()) {
                doomed = deletes.back();
                deletes.pop_back();
            } else {
                return;
            }
        }
        if (call) {
            QElapsedTimer clock;
            clock.start();
            try {
                call->fn();
            } catch (...) {
                call->error = std::current_exception();
            }
            const long long ns = clock.nsecsElapsed();
            long long longest = longestCallNs().load();
            while (ns > longest && !longestCallNs().compare_exchange_weak(longest, ns)) {
            }
            call->finish();
        } else {
            deleteFinished(doomed);
        }
    }
}

std::atomic<int>& liveThreads()
{
    static std::atomic<int> n{0};
    return n;
}

}  // namespace

bool IsGuiThread()
{
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void TThread::installDispatcher()
{
    if (!IsGuiThread())
        return;
    std::lock_guard<std::mutex> lock(dispatcherMutex());
    if (dispatcherPointer())
        return;
    auto* d = new Dispatcher;
    // Parented to the application: destroyed (releasing pending calls) when it goes.
    d->setParent(QCoreApplication::instance());
    dispatcherPointer() = d;
}

bool TThread::dispatcherInstalled()
{
    std::lock_guard<std::mutex> lock(dispatcherMutex());
    return dispatcherPointer() != nullptr;
}

int TThread::liveCount() { return liveThreads().load(); }

long long TThread::takeLongestSynchronizedCallNs() { return longestCallNs().exchange(0); }

TThread::TThread()
{
    liveThreads().fetch_add(1);
    installDispatcher();
}

TThread::~TThread()
{
    if (isRunning()) {
        Terminate();
        wait();
    }
    (void)runDone();
    liveThreads().fetch_sub(1);
}

void TThread::Synchronize(const std::function<void()>& fn)
{
    if (IsGuiThread()) {
        fn();
        return;
    }
    auto call = std::make_shared<PendingCall>();
    call->fn = fn;
    if (!post(call, nullptr))
        return;
    std::unique_lock<std::mutex> lock(call->m);
    call->cv.wait(lock, [&] { return call->done; });
    if (call->error)
        std::rethrow_exception(call->error);
}

void TThread::run()
{
    try {
        Execute();
    } catch (...) {
        // Execute() reports its own failures; nothing may escape the thread.
    }
    if (OnTerminate) {
        try {
            Synchronize(OnTerminate);
        } catch (...) {
        }
    }
    // An owner may delete the object once it sees runDone (joining the thread first), and the
    // dispatcher once the deletion is queued: no member is read after either.
    const bool freeSelf = _freeOnTerminate;
    _runDone.store(true, std::memory_order_release);
    if (freeSelf)
        post(nullptr, this);
}

void TThread::TerminateAndWait()
{
    Terminate();
    if (IsGuiThread())
        WaitWhileServing([this] { return runDone(); });
    wait();
    (void)runDone();
}

void SleepAndDispatch(int ms)
{
    QThread::msleep(static_cast<unsigned long>(ms));
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WaitWhileServing(const std::function<bool()>& done)
{
    while (!done())
        SleepAndDispatch(50);
}

}  // namespace qmx

#include "WorkerThread.moc"
