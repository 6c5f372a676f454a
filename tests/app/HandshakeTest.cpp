// The hand-shakes between the window and its worker threads, run for real: the first
// discovery after the first show, refused second requests, Escape, start and stop of the
// acquisition thread, and closing or destroying the window while a discovery runs.

#include "FormFixture.h"
#include "TestMainForm.h"

#include <QTest>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace qmx;

// Holds every discovery thread at its first step until released.
class Gate {
public:
    void arm(qmxtest::TestMainForm& form)
    {
        form.discoveryProbe = [this] {
            ++entered;
            std::unique_lock<std::mutex> lock(m);
            cv.wait(lock, [this] { return open; });
        };
    }
    void release()
    {
        {
            std::lock_guard<std::mutex> lock(m);
            open = true;
        }
        cv.notify_all();
    }
    std::atomic<int> entered{0};

private:
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
};

class Handshakes : public qmxtest::FormFixture {
protected:
    void TearDown() override
    {
        gate.release();
        FormFixture::TearDown();
    }
    bool discoveryIdle() const { return form->DiscoveryRunning == 0 && form->DiscoveryMayBeRequested == 1; }
    Gate gate;
};

TEST_F(Handshakes, FirstShowPlacesTheWindowAndRequestsDiscovery)
{
    std::atomic<int> runs{0};
    form->discoveryProbe = [&] { ++runs; };
    form->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return runs.load() == 1; }, 5000));
    EXPECT_EQ(form->ShowStage, 3);
    ASSERT_TRUE(QTest::qWaitFor([&] { return discoveryIdle(); }, 5000));
    form->resize(form->size());
    QTest::qWait(100);
    EXPECT_EQ(runs.load(), 1) << "later resizes start nothing";
}

TEST_F(Handshakes, SecondRequestWhileDiscoveryRunsIsIgnored)
{
    gate.arm(*form);
    form->requestDiscovery(3, false);
    form->requestDiscovery(3, false);  // still pending: refused
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->DiscoveryRunning == 1; }, 5000));
    EXPECT_EQ(form->DiscoveryMayBeRequested, 1);
    form->requestDiscovery(3, false);  // running: refused
    form->requestDiscovery(2, false);
    QTest::qWait(150);
    EXPECT_EQ(gate.entered.load(), 1);

    // Escape while a discovery runs only clears the guard.
    form->UpdateGuard = 1;
    EXPECT_TRUE(form->ApplicationShortCut(Qt::Key_Escape));
    EXPECT_EQ(form->UpdateGuard.load(), 0);
    EXPECT_EQ(form->DiscoveryRunning, 1);

    gate.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return discoveryIdle(); }, 5000));
    std::atomic<int> later{0};
    form->discoveryProbe = [&] { ++later; };
    form->requestDiscovery(1, false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return later.load() == 1; }, 5000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return discoveryIdle(); }, 5000));
}

// A discovery thread that ends within one poll of the window's wait must not leave the
// window waiting forever for a "running" flag that has come and gone.
TEST_F(Handshakes, InstantDiscoveryDoesNotHangTheWindow)
{
    for (int i = 0; i < 20; ++i) {
        form->requestDiscovery(3, false);
        ASSERT_TRUE(QTest::qWaitFor([&] { return discoveryIdle(); }, 5000)) << "round " << i;
    }
}

// Without a module the run ends at once with its message; the thread then idles until the
// window stops it. Escape stops only a measurement in progress.
TEST_F(Handshakes, AcquisitionThreadStartsAndStops)
{
    EXPECT_EQ(form->acquisitionThread(), nullptr);
    form->StopThread();  // nothing to stop
    form->StartThread();
    ASSERT_NE(form->acquisitionThread(), nullptr);
    EXPECT_EQ(form->MeasurementRunning, 1);
    EXPECT_EQ(form->MeasurementMayBeStarted, 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->MeasurementIdle == 1 && dialogs.count() == 1; }, 10000));
    EXPECT_EQ(dialogs.shown[0].text, "Необходимо выбрать не менне одного активного канала!");
    EXPECT_EQ(dialogs.shown[0].caption, "Сообщение TMainThread::Execute()!!!");
    form->StartThread();  // still there: nothing
    EXPECT_EQ(form->MeasurementRunning, 1);

    EXPECT_FALSE(form->ApplicationShortCut(Qt::Key_Escape));
    EXPECT_NE(form->acquisitionThread(), nullptr) << "an idle run is not stopped by Escape";
    form->StopThread();
    EXPECT_EQ(form->acquisitionThread(), nullptr);
    EXPECT_EQ(form->MeasurementRunning, 0);
    EXPECT_EQ(dialogs.count(), 1u);
}

TEST_F(Handshakes, StartOnAPageOutsideThePageTable)
{
    form->UpdateGuard = 1;
    form->MainLMDPageControl->setCurrentIndex(1);
    form->UpdateGuard = 0;
    form->StartThread();
    EXPECT_EQ(form->acquisitionThread(), nullptr);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Неизвестный номер страницы приложения!");
    EXPECT_EQ(dialogs.shown[0].caption, "Ошибка StartThread()!!!");
    EXPECT_EQ(dialogs.shown[0].icon, MsgIcon::Information);
}

// Closing while a discovery runs is held back until it has finished; the window stays
// responsive meanwhile and then closes by itself.
TEST_F(Handshakes, CloseDuringDiscoveryWaitsForIt)
{
    gate.arm(*form);
    form->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->DiscoveryRunning == 1; }, 5000));
    form->close();
    QTest::qWait(100);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->closePending());
    gate.release();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->isVisible(); }, 5000));
    EXPECT_TRUE(discoveryIdle());
}

// Destroying the window while a discovery thread still runs waits for the thread, which
// calls back into the window when it ends.
TEST_F(Handshakes, DestroyDuringDiscoveryWaitsForIt)
{
    gate.arm(*form);
    form->requestDiscovery(3, false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->DiscoveryRunning == 1; }, 5000));
    std::thread releaser([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        gate.release();
    });
    form.reset();
    releaser.join();
    QTest::qWait(100);  // the thread object deletes itself on the event loop
}

TEST_F(Handshakes, ExitMenuItemClosesTheWindow)
{
    form->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return discoveryIdle() && form->ShowStage == 3; }, 5000));
    form->UpdateGuard = 1;
    form->ApplicationExit->trigger();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !form->isVisible(); }, 5000));
    EXPECT_EQ(form->UpdateGuard.load(), 0);
}

}  // namespace
