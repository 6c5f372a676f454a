#include "WorkerThread.h"

#include <QCoreApplication>
#include <QPointer>

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
// Work crosses threads only through its own queues under its own mutex; the wake-up is a
// queued call of drain() by name, which carries nothing of ours.
class Dispatcher : public QObject {
    Q_OBJECT

public:
    ~Dispatcher() override
    {
        std::lock_guard<std::mutex> lock(_m);
        for (auto& c : _calls)
            c->finish();
        _calls.clear();
    }

    // The wake-up is posted under the queue's mutex, which drain() takes on the window
    // thread: so every use of this object by a poster is ordered before its destruction.
    void postCall(const std::shared_ptr<PendingCall>& call)
    {
        std::lock_guard<std::mutex> lock(_m);
        _calls.push_back(call);
        wake();
    }

    void postDelete(TThread* thread)
    {
        std::lock_guard<std::mutex> lock(_m);
        _deletes.push_back(thread);
        wake();
    }

    Q_INVOKABLE void drain()
    {
        for (;;) {
            std::shared_ptr<PendingCall> call;
            TThread* doomed = nullptr;
            {
                std::lock_guard<std::mutex> lock(_m);
                if (!_calls.empty()) {
                    call = _calls.front();
                    _calls.pop_front();
                } else if (!_deletes.empty()) {
                    doomed = _deletes.back();
                    _deletes.pop_back();
                } else {
                    return;
                }
            }
            if (call) {
                try {
                    call->fn();
                } catch (...) {
                    call->error = std::current_exception();
                }
                call->finish();
            } else {
                doomed->wait();
                (void)doomed->runDone();
                delete doomed;
            }
        }
    }

private:
    void wake() { QMetaObject::invokeMethod(this, "drain", Qt::QueuedConnection); }

    std::mutex _m;
    std::deque<std::shared_ptr<PendingCall>> _calls;
    std::vector<TThread*> _deletes;
};

QPointer<Dispatcher>& dispatcher()
{
    static QPointer<Dispatcher> d;
    return d;
}

}  // namespace

bool IsGuiThread()
{
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void TThread::installDispatcher()
{
    if (dispatcher() || !IsGuiThread())
        return;
    auto* d = new Dispatcher;
    // Parented to the application: destroyed (releasing pending calls) when it goes.
    d->setParent(QCoreApplication::instance());
    dispatcher() = d;
}

TThread::TThread() { installDispatcher(); }

TThread::~TThread()
{
    if (isRunning()) {
        Terminate();
        wait();
    }
    (void)runDone();
}

void TThread::Synchronize(const std::function<void()>& fn)
{
    if (IsGuiThread()) {
        fn();
        return;
    }
    Dispatcher* d = dispatcher().data();
    if (!d)
        return;
    auto call = std::make_shared<PendingCall>();
    call->fn = fn;
    d->postCall(call);
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
    if (_freeOnTerminate) {
        if (Dispatcher* d = dispatcher().data())
            d->postDelete(this);
    }
    _runDone.store(true, std::memory_order_release);
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
