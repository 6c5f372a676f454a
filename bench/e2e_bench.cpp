// e2e_bench: the whole program path from the crate server to the screen, with the real window
// (offscreen) and acquisition thread against the simulated crate server of the built-in rig in
// fast mode, in this process on a free port.
//
//  1. Throughput: 4 channels x 2^17 samples, "fft", 20-bit, 117187.5 Hz (T = 1 s): frames per
//     second, the reception time of a frame and the time from the end of reception to the
//     readings on screen (conversion, measuring of four channels, display).
//  2. Memory: 1 channel x 2^24 samples, "fft": the process's peak resident memory during the
//     run against the sum of the run's frame buffers.
//
// Usage: e2e_bench [seconds of throughput run, default 10]

#include "CrateServer.h"
#include "BenchSupport.h"
#include "WindowBench.h"
#include "MainForm.h"
#include "TestMainForm.h"
#include "MainThread.h"
#include "RecordingDialogSeam.h"
#include "Rig.h"
#include "SettingsKeys.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>

namespace {

using namespace qmx;
using qmxbench::waitFor;
namespace S = qmx::settings;

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM").
long statusKiB(const char* field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0)
            return std::strtol(line.c_str() + key.size(), nullptr, 10);
    return -1;
}

// Resets the peak resident size to the current one.
void resetPeakRss()
{
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

void loadSettings(qmxtest::TestMainForm& form, double seconds, const std::array<int, 4>& methods)
{
    IniFile f(form.settingsPath().toStdString());
    std::map<std::string, std::string> keys = {
        {S::kComputationMethod, "fft"}, {S::kAmplitudeType, "rms"}, {S::kMaxAcquisitionTime, std::to_string(seconds)},
        {S::kDataFormat, "0"}, {S::kAdcRate, "15"}, {S::kReferenceChannel, "0"}, {S::kAllChannels, "0"},
        {S::kGroupConnectionMode, "0"}, {S::kGroupDiffRange, "1"}, {S::kGroupIcpRange, "1"}, {S::kGroupMethod, "-1"}};
    for (int c = 0; c < 4; ++c) {
        keys[S::channelKey(S::kChannelEnabled, c)] = methods[static_cast<std::size_t>(c)] >= 0 ? "1" : "0";
        keys[S::channelKey(S::kChannelMethod, c)] = std::to_string(std::max(0, methods[static_cast<std::size_t>(c)]));
    }
    for (const auto& [k, v] : keys)
        f.WriteString(S::kModule, k, v);
    form.LoadSettings(&f, true);
    form.EnableChannelPanels();
}

bool reportMessages(qmxtest::RecordingDialogSeam& seam)
{
    for (const auto& d : seam.shown)
        std::printf("message: %s\n", d.text.toUtf8().constData());
    return seam.shown.empty();
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    QApplication app(argc, argv);

    const auto server = qmxbench::startFastServer();
    if (!server)
        return 1;
    qmxbench::BenchWindow<> window;
    std::unique_ptr<qmxtest::TestMainForm>& form = window.form;
    qmxtest::RecordingDialogSeam& seam = window.dialogs;
    if (!qmxbench::openFirstModule(*form))
        return 1;

    // 1. Throughput.
    loadSettings(*form, 1.0, {1, 1, 0, 1});
    form->StartThread();
    TMainThread* t = form->acquisitionThread();
    if (!t) {
        reportMessages(seam);
        std::fprintf(stderr, "the acquisition did not start\n");
        return 1;
    }
    if (!waitFor([&] { return t->FramesShown >= 2 || !seam.shown.empty(); }, 30000) || !reportMessages(seam))
        return 1;
    const long f0 = t->FramesShown;
    const long long r0 = t->ReceiveNs, s0 = t->ToScreenNs;
    QElapsedTimer clock;
    clock.start();
    waitFor([&] { return clock.elapsed() >= static_cast<qint64>(seconds * 1000); }, static_cast<int>(seconds * 1000) + 1000);
    const long f1 = t->FramesShown;
    const long long r1 = t->ReceiveNs, s1 = t->ToScreenNs;
    const double elapsed = static_cast<double>(clock.elapsed()) / 1000.0;
    std::printf("frame: K=4 x M=%lld, fft, 20-bit, 117187.5 Hz (acquisition time %s ms)\n",
                static_cast<long long>(t->SamplesPerChannel), form->AcquisitionTimeLMDLabel->text().toUtf8().constData());
    const double frames = static_cast<double>(f1 - f0);
    std::printf("frames_per_second=%.2f (%ld frames in %.1f s; each frame includes the fixed 100 ms LED pause)\n",
                frames / elapsed, f1 - f0, elapsed);
    if (frames > 0) {
        std::printf("reception_ms=%.2f  end_of_reception_to_screen_ms=%.2f\n", (r1 - r0) / frames / 1e6,
                    (s1 - s0) / frames / 1e6);
    }
    form->StopThread();
    if (!reportMessages(seam))
        return 1;

    // 2. Peak resident memory of a K = 1, M = 2^24 run.
    loadSettings(*form, 1000.0, {1, -1, -1, -1});
    const long base = statusKiB("VmRSS");
    resetPeakRss();
    form->StartThread();
    t = form->acquisitionThread();
    if (!t)
        return 1;
    if (!waitFor([&] { return t->FramesShown >= 1 || !seam.shown.empty(); }, 120000) || !reportMessages(seam))
        return 1;
    const long peak = statusKiB("VmHWM");
    const long long M = t->SamplesPerChannel;
    std::int64_t buffers = 0;
    for (const BufferNeed& b : frameBufferNeeds(M, 1, 1, true))
        buffers += static_cast<std::int64_t>(b.bytes);
    form->StopThread();
    const double buffersMiB = static_cast<double>(buffers) / (1 << 20);
    const double peakMiB = peak / 1024.0, baseMiB = base / 1024.0;
    std::printf("memory: K=1 x M=%lld, fft: frame buffers %.1f MiB; resident before the run %.1f MiB, peak %.1f MiB\n", M,
                buffersMiB, baseMiB, peakMiB);
    std::printf("peak_over_buffers=%.3f (peak minus the resident size before the run: %.1f MiB, ratio %.3f)\n",
                peakMiB / buffersMiB, peakMiB - baseMiB, (peakMiB - baseMiB) / buffersMiB);

    if (QMX58_IsOpened(&form->ModuleHandle) == 0)
        QMX58_Close(&form->ModuleHandle);
    form.reset();
    server->stop();
    return 0;
}
