#include "WorkerThread.h"

#include <QCoreApplication>
#include <QPointer>

#include <condition_variable>
#include <exception>
#include <list>
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

// Lives on the GUI thread; runs the posted calls, and releases whatever is still pending when
// it is destroyed (application shutdown).
class Dispatcher : public QObject {
public:
    ~Dispatcher() override
    {
        std::lock_guard<std::mutex> lock(_m);
        for (auto& c : _pending)
            c->finish();
        _pending.clear();
    }

    bool post(const std::shared_ptr<PendingCall>& call)
    {
        {
            std::lock_guard<std::mutex> lock(_m);
            _pending.push_back(call);
        }
        QPointer<Dispatcher> self(this);
        return QMetaObject::invokeMethod(
            this, [this, call] { runOne(call); }, Qt::QueuedConnection);
    }

private:
    void runOne(const std::shared_ptr<PendingCall>& call)
    {
        {
            std::lock_guard<std::mutex> lock(_m);
            _pending.remove(call);
        }
        try {
            call->fn();
        } catch (...) {
            call->error = std::current_exception();
        }
        call->finish();
    }

    std::mutex _m;
    std::list<std::shared_ptr<PendingCall>> _pending;
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
    if (!d->post(call))
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
    if (_freeOnTerminate) {
        if (Dispatcher* d = dispatcher().data()) {
            TThread* self = this;
            QMetaObject::invokeMethod(
                d, [self] {
                    self->wait();
                    (void)self->runDone();
                    delete self;
                },
                Qt::QueuedConnection);
        }
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
