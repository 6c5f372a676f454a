// close_bench: how long closing the window takes, from the close request to the end of the
// process, when idle and during a run (4 channels, "fft", 117187.5 Hz, 1 s frames).
//
// The simulated crate server runs as its own process (built-in rig, fast mode, a free port).
// Each measurement starts a child process running the window offscreen: it waits for the
// start-up discovery (and, for "run", for the first frame on screen), notes the monotonic time
// and closes the window; the parent notes the time at which the child's exit is reported. The
// child also prints where its time went: the close handler (saving, stopping the run, closing
// the module), the window's destruction, and the application's teardown.
//
// "big" closes an idle window with auto-save on and a settings file that carries 10 MB of
// other keys: what saving the settings costs at closing.
//
// Usage: close_bench [repetitions, default 5]

#include "BenchSupport.h"
#include "MainForm.h"
#include "TestMainForm.h"
#include "MainThread.h"
#include "RecordingDialogSeam.h"
#include "SettingsKeys.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace qmx;
using qmxbench::waitFor;
namespace S = qmx::settings;

double nowSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The child: one window, closed when idle or during a run. Writes "<close start> <handler>
// <destruction>" to fd, then returns from main.
int child(const std::string& mode, int fd, const char* folder)
{
    int argc = 1;
    char name[] = "close_bench";
    char* argv[] = {name, nullptr};
    double start = 0, handler = 0, destruction = 0;
    {
        QApplication app(argc, argv);
        qmxtest::RecordingDialogSeam dialogs;
        MainFormOptions o;
        o.programFolder = QString::fromLocal8Bit(folder);
        o.dialogs = &dialogs;
        auto form = std::make_unique<qmxtest::TestMainForm>(o);
        form->show();
        if (!waitFor([&] { return form->ShowStage == 3 && form->DiscoveryRunning == 0 && form->DiscoveryMayBeRequested == 1; },
                     20000) ||
            form->Discovery.moduleState != 2) {
            std::fprintf(stderr, "discovery failed\n");
            return 2;
        }
        const bool run = mode == "run";
        if (mode == "big") {
            // The factory file, 10 MB of keys the program does not know, then auto-save on.
            QFile::remove(form->settingsPath());
            form->CreateDefaultIniFile(form->settingsPath());
            QFile file(form->settingsPath());
            if (!file.open(QIODevice::Append))
                return 2;
            QByteArray block = "[Заметки]\r\n";
            for (int i = 0; block.size() < 10 * 1024 * 1024; ++i)
                block += QByteArray("k") + QByteArray::number(i) + "=" + QByteArray(90, 'x') + "\r\n";
            file.write(block);
            file.close();
            form->AutoSaveSettingsLMDCheckBox->setChecked(true);
        }
        if (run) {
            IniFile f(form->settingsPath().toStdString());
            f.WriteString(S::kModule, S::kMaxAcquisitionTime, "1");
            f.WriteString(S::kModule, S::kGroupMethod, "1");
            form->LoadSettings(&f, false);
            form->EnableChannelPanels();
            form->StartThread();
            if (!waitFor([&] { return form->acquisitionThread() && form->acquisitionThread()->FramesShown.load() >= 1; }, 20000)) {
                std::fprintf(stderr, "no frame\n");
                return 2;
            }
        }
        start = nowSeconds();
        form->close();
        if (!waitFor([&] { return !form->isVisible(); }, 20000))
            return 2;
        handler = nowSeconds();
        form.reset();
        destruction = nowSeconds();
    }
    char line[128];
    const int n = std::snprintf(line, sizeof line, "%.9f %.9f %.9f\n", start, handler, destruction);
    if (write(fd, line, static_cast<std::size_t>(n)) != n)
        return 2;
    return 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 5 && std::strcmp(argv[1], "--child") == 0)
        return child(argv[2], std::atoi(argv[3]), argv[4]);
    const int reps = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    // The simulated crate server, on a free port that its first line names.
    int out[2];
    if (pipe(out) != 0)
        return 1;
    const pid_t server = fork();
    if (server == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(QMX_CRATE_SERVER, QMX_CRATE_SERVER, "--port", "0", "--fast", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char buf[256] = {};
    std::string first;
    while (first.find('\n') == std::string::npos) {
        const ssize_t n = read(out[0], buf, sizeof buf - 1);
        if (n <= 0)
            return 1;
        first.append(buf, static_cast<std::size_t>(n));
    }
    const std::size_t colon = first.find("127.0.0.1:");
    if (colon == std::string::npos)
        return 1;
    const std::string port = std::to_string(std::atoi(first.c_str() + colon + 10));
    setenv("QMX_SERVER_PORT", port.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);

    QTemporaryDir folder;
    std::printf("close_bench: server on port %s, %d repetitions, times in ms (median)\n", port.c_str(), reps);
    for (const char* mode : {"idle", "run", "big"}) {
        std::vector<double> total, handler, destruction, teardown;
        for (int i = 0; i < reps; ++i) {
            int p[2];
            if (pipe(p) != 0)
                return 1;
            const pid_t pid = fork();
            if (pid == 0) {
                close(p[0]);
                const std::string fd = std::to_string(p[1]);
                execl("/proc/self/exe", argv[0], "--child", mode, fd.c_str(), folder.path().toLocal8Bit().constData(),
                      static_cast<char*>(nullptr));
                _exit(127);
            }
            close(p[1]);
            std::string line;
            ssize_t n;
            while ((n = read(p[0], buf, sizeof buf - 1)) > 0)
                line.append(buf, static_cast<std::size_t>(n));
            close(p[0]);
            int status = 0;
            waitpid(pid, &status, 0);
            const double exited = nowSeconds();
            double s = 0, h = 0, d = 0;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || std::sscanf(line.c_str(), "%lf %lf %lf", &s, &h, &d) != 3) {
                std::fprintf(stderr, "child failed (%s)\n", mode);
                continue;
            }
            total.push_back((exited - s) * 1e3);
            handler.push_back((h - s) * 1e3);
            destruction.push_back((d - h) * 1e3);
            teardown.push_back((exited - d) * 1e3);
        }
        std::printf("%-4s close request to process exit %7.1f | close handler %7.1f | window destruction %6.1f | "
                    "application teardown and exit %6.1f\n",
                    mode, median(total), median(handler), median(destruction), median(teardown));
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    return 0;
}
