// discovery_bench: one full discovery (find devices, mode 3) from the request to Finish,
// against the default simulated rig in fast mode on a free loopback port, several times;
// prints the median and the fixed pauses the sequence contains.

#include "CrateScan.h"
#include "CrateServer.h"
#include "MainForm.h"
#include "TestMainForm.h"
#include "RecordingDialogSeam.h"
#include "Rig.h"
#include "WindowBench.h"
#include "WorkerThread.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

// A crate server that accepts connections and never answers.
class MuteServer {
public:
    bool start()
    {
        _fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (_fd < 0 || bind(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(_fd, 64) != 0 ||
            getsockname(_fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return false;
        port = ntohs(a.sin_port);
        _thread = std::thread([this] {
            for (;;) {
                const int c = accept(_fd, nullptr, nullptr);
                if (c < 0)
                    return;
                _clients.push_back(c);
            }
        });
        return true;
    }
    ~MuteServer()
    {
        if (_fd >= 0) {
            shutdown(_fd, SHUT_RDWR);
            close(_fd);
        }
        if (_thread.joinable())
            _thread.join();
        for (int c : _clients)
            close(c);
    }
    std::uint16_t port = 0;

private:
    int _fd = -1;
    std::thread _thread;
    std::vector<int> _clients;
};

struct Figures {
    double medianMs = 0, minMs = 0, maxMs = 0, longestSyncMs = 0;
};

// Runs `runs` discoveries (find devices, mode 3) and measures them.
Figures discover(qmxtest::TestMainForm& form, int runs, bool mustSucceed, const qmxtest::RecordingDialogSeam& dialogs)
{
    std::vector<double> ms;
    double longest = 0;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer t;
        t.start();
        qmx::TThread::takeLongestSynchronizedCallNs();
        form.requestDiscovery(3, run == 0);
        // Wait for the request to be taken, then for the run to finish.
        while (form.DiscoveryMayBeRequested == 0 || form.DiscoveryRunning == 1)
            qmx::SleepAndDispatch(5);
        ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        longest = std::max(longest, static_cast<double>(qmx::TThread::takeLongestSynchronizedCallNs()) / 1e6);
        if (mustSucceed && form.Discovery.moduleState != 2) {
            std::fprintf(stderr, "discovery failed: %s\n",
                         dialogs.shown.empty() ? "" : dialogs.shown.back().text.toStdString().c_str());
            std::exit(1);
        }
    }
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms.front(), ms.back(), longest};
}

// START pressed as the operator presses it, a run of a few frames (or its failure message),
// and STOP: the longest synchronised call on the window thread, and the longest the window
// thread went without serving its events (a 5 ms timer's largest gap; the waits of this loop
// are part of it).
struct RunFigures {
    double longestSyncMs = 0, longestGapMs = 0;
    long frames = 0;
    QString message;
};

RunFigures startRunStop(qmxtest::TestMainForm& form, const qmxtest::RecordingDialogSeam& dialogs)
{
    RunFigures f;
    QElapsedTimer gap;
    gap.start();
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { f.longestGapMs = std::max(f.longestGapMs, gap.restart() / 1.0); });
    tick.start(5);
    const std::size_t messagesBefore = dialogs.shown.size();
    qmx::TThread::takeLongestSynchronizedCallNs();
    gap.restart();
    form.StartMultimeterLMDSpeedButton->click();
    QElapsedTimer limit;
    limit.start();
    while (limit.elapsed() < 15000 && dialogs.shown.size() == messagesBefore &&
           !(form.acquisitionThread() && form.acquisitionThread()->FramesShown.load() >= 3))
        qmx::SleepAndDispatch(5);
    if (form.acquisitionThread())
        f.frames = form.acquisitionThread()->FramesShown.load();
    if (form.StartMultimeterLMDSpeedButton->isChecked())
        form.StartMultimeterLMDSpeedButton->click();  // STOP
    while (form.acquisitionThread())
        qmx::SleepAndDispatch(5);
    tick.stop();
    f.longestGapMs = std::max(f.longestGapMs, gap.elapsed() / 1.0);
    f.longestSyncMs = static_cast<double>(qmx::TThread::takeLongestSynchronizedCallNs()) / 1e6;
    if (dialogs.shown.size() > messagesBefore)
        f.message = dialogs.shown.back().text;
    return f;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const auto server = qmxbench::startFastServer();
    if (!server)
        return 1;
    qmxbench::BenchWindow<> window;
    qmxtest::TestMainForm& form = *window.form;
    qmxtest::RecordingDialogSeam& dialogs = window.dialogs;

    const Figures normal = discover(form, 5, true, dialogs);
    // Fixed pauses of a mode-3 run: 50 ms at the start, 100 ms after Prepare, after Restore
    // position, after the mode's steps, after Apply settings, and before Finish.
    const double pausesMs = 50 + 5 * 100;
    std::printf("discovery_ms_median=%.1f min=%.1f max=%.1f fixed_pauses_ms=%.0f work_ms=%.1f\n", normal.medianMs,
                normal.minMs, normal.maxMs, pausesMs, normal.medianMs - pausesMs);
    std::printf("longest window-thread routine during a discovery: %.1f ms\n", normal.longestSyncMs);

    // START, a run and STOP against the module that answers, then against the same module once
    // it stopped answering (it accepts requests and never replies).
    const RunFigures answering = startRunStop(form, dialogs);
    std::printf("START/run/STOP, module answers: %ld frames, longest synchronised call %.1f ms, longest event gap %.1f ms\n",
                answering.frames, answering.longestSyncMs, answering.longestGapMs);
    const std::uint16_t crate = form.Discovery.selectedCrateIndex;
    const std::string crateSerial = qmx::serialText(form.Discovery.crateSerials[crate]).toStdString();
    const int slot = form.Discovery.moduleSlots[crate][form.Discovery.selectedModuleIndex[crate]];
    qmx::sim::ModuleFaults muteModule;
    muteModule.mute = true;
    if (!server->setModuleFaults(crateSerial, slot, muteModule)) {
        std::fprintf(stderr, "cannot mute module %s/%d\n", crateSerial.c_str(), slot);
        return 1;
    }
    const RunFigures muted = startRunStop(form, dialogs);
    std::printf("START/run/STOP, mute module: \"%s\", longest synchronised call %.1f ms, longest event gap %.1f ms\n",
                muted.message.toStdString().c_str(), muted.longestSyncMs, muted.longestGapMs);
    server->setModuleFaults(crateSerial, slot, qmx::sim::ModuleFaults{});
    if (QMX58_IsOpened(&form.ModuleHandle) == 0)
        QMX58_Close(&form.ModuleHandle);
    server->stop();

    // A crate server that accepts and never answers: the discovery fails after the libraries'
    // time-outs; the window thread must not wait for them.
    MuteServer mute;
    if (!mute.start())
        return 1;
    setenv("QMX_SERVER_PORT", std::to_string(mute.port).c_str(), 1);
    const Figures silent = discover(form, 1, false, dialogs);
    std::printf("mute server: discovery %.0f ms, longest window-thread routine %.1f ms\n", silent.medianMs,
                silent.longestSyncMs);
    return 0;
}
