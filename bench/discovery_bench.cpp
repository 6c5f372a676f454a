// discovery_bench: one full discovery (find devices, mode 3) from the request to Finish,
// against the default simulated rig in fast mode on a free loopback port, several times;
// prints the median and the fixed pauses the sequence contains.

#include "CrateServer.h"
#include "MainForm.h"
#include "Rig.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

class SilentDialogs : public qmx::DialogSeam {
public:
    void messageBox(QWidget*, const QString& text, const QString&, qmx::MsgIcon) override { ++count; last = text; }
    int sizedMessageDialog(QWidget*, const QString&, qmx::DialogKind, const QStringList&, const QString& text) override
    {
        ++count;
        last = text;
        return 0;
    }
    bool question(QWidget*, const QString& text, const QString&) override
    {
        ++count;
        last = text;
        return false;
    }
    QString fileDialog(QWidget*, const qmx::FileDialogRequest&) override { return {}; }
    int count = 0;
    QString last;
};

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qmx::sim::ServerOptions so;
    so.port = 0;
    so.fast = true;
    qmx::sim::CrateServer server(qmx::sim::defaultRig(), so);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "cannot start the simulated server: %s\n", error.c_str());
        return 1;
    }
    setenv("QMX_SERVER_PORT", std::to_string(server.port()).c_str(), 1);

    QTemporaryDir folder;
    SilentDialogs dialogs;
    qmx::MainFormOptions o;
    o.programFolder = folder.path();
    o.dialogs = &dialogs;
    qmx::TMainForm form(o);

    std::vector<double> ms;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer t;
        t.start();
        form.requestDiscovery(3, run == 0);
        // Wait for the request to be taken, then for the run to finish.
        while (form.DiscoveryMayBeRequested == 0 || form.DiscoveryRunning == 1)
            qmx::SleepAndDispatch(5);
        ms.push_back(static_cast<double>(t.nsecsElapsed()) / 1e6);
        if (form.Discovery.moduleState != 2) {
            std::fprintf(stderr, "discovery failed: %s\n", dialogs.last.toStdString().c_str());
            return 1;
        }
    }
    std::sort(ms.begin(), ms.end());
    // Fixed pauses of a mode-3 run: 50 ms at the start, 100 ms after Prepare, after Restore
    // position, after the mode's steps, after Apply settings, and before Finish.
    const double pausesMs = 50 + 5 * 100;
    std::printf("discovery_ms_median=%.1f min=%.1f max=%.1f fixed_pauses_ms=%.0f work_ms=%.1f\n", ms[ms.size() / 2],
                ms.front(), ms.back(), pausesMs, ms[ms.size() / 2] - pausesMs);
    server.stop();
    return 0;
}
