// signal_view_bench: what the signal view costs. The real window (offscreen) and acquisition
// thread against the built-in rig's first module in fast mode (in this process, a free port),
// 4 channels x 2^20 samples, "fft", 20-bit, 117187.5 Hz.
//
//  1. View closed: frames per second, the acquisition thread's time from the end of reception
//     to the readings on screen, and the frames handed to the view (none).
//  2. View open (1000 x 700) with its tools on (trigger, cursors, RMS averaging of 16 frames,
//     both plots zoomed): the same, and the window-thread time per frame spent on the view:
//     the hand-over (the readings' texts, taking the frame) plus every repaint of the view
//     that frame caused.
//  3. Zoom and pan steps on the last frame: the time of each step's redraw of a plot.
//
// Usage: signal_view_bench [seconds per phase, default 15]

#include "BenchSupport.h"
#include "WindowBench.h"
#include "CrateServer.h"
#include "MainForm.h"
#include "MainThread.h"
#include "RecordingDialogSeam.h"
#include "Rig.h"
#include "SettingsKeys.h"
#include "SignalPlot.h"
#include "SignalView.h"
#include "TestMainForm.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace qmx;
using qmxbench::waitFor;
namespace S = qmx::settings;

// The window with the hand-over to the view timed.
class TimedForm : public qmxtest::TestMainForm {
public:
    using qmxtest::TestMainForm::TestMainForm;
    ~TimedForm() override { endWorkers(); }

    void acquisitionShowSignal(std::shared_ptr<SignalFrame> frame) override
    {
        // The repaints since the previous hand-over belong to the previous frame.
        if (SignalView* v = signalView(); v && handed > 0) {
            perFrameNs.push_back(lastHandOverNs + v->lastPaintNs());
            handOverNs.push_back(lastHandOverNs);
            showFrameNs.push_back(v->lastShowFrameNs());
            paintNs.push_back(v->lastPaintNs());
        }
        QElapsedTimer t;
        t.start();
        qmxtest::TestMainForm::acquisitionShowSignal(std::move(frame));
        lastHandOverNs = t.nsecsElapsed();
        ++handed;
    }

    long handed = 0;
    qint64 lastHandOverNs = 0;
    std::vector<qint64> perFrameNs;
    std::vector<qint64> handOverNs;
    std::vector<qint64> showFrameNs, paintNs;
};

// The q-quantile of a sample, in milliseconds.
double quantileMs(std::vector<qint64> v, double q)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto i = std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())));
    return static_cast<double>(v[i]) / 1e6;
}

void loadSettings(qmxtest::TestMainForm& form)
{
    IniFile f(form.settingsPath().toStdString());
    std::map<std::string, std::string> keys = {
        {S::kComputationMethod, "fft"}, {S::kAmplitudeType, "rms"}, {S::kMaxAcquisitionTime, "10"},
        {S::kDataFormat, "0"}, {S::kAdcRate, "15"}, {S::kReferenceChannel, "0"}, {S::kAllChannels, "1"},
        {S::kGroupConnectionMode, "0"}, {S::kGroupDiffRange, "1"}, {S::kGroupIcpRange, "1"}, {S::kGroupMethod, "1"}};
    for (const auto& [k, v] : keys)
        f.WriteString(S::kModule, k, v);
    form.LoadSettings(&f, true);
    form.EnableChannelPanels();
}

struct Phase {
    double fps = 0;
    double toScreenMs = 0;
    long frames = 0;
};

Phase run(TimedForm& form, double seconds, qmxtest::RecordingDialogSeam& seam)
{
    Phase p;
    form.StartThread();
    TMainThread* t = form.acquisitionThread();
    if (!t || !waitFor([&] { return t->FramesShown >= 2 || !seam.shown.empty(); }, 60000) || !seam.shown.empty())
        return p;
    const long f0 = t->FramesShown;
    const long long s0 = t->ToScreenNs;
    QElapsedTimer clock;
    clock.start();
    waitFor([&] { return clock.elapsed() >= static_cast<qint64>(seconds * 1000); }, static_cast<int>(seconds * 1000) + 1000);
    p.frames = t->FramesShown - f0;
    p.fps = static_cast<double>(p.frames) / (static_cast<double>(clock.elapsed()) / 1000.0);
    if (p.frames > 0)
        p.toScreenMs = static_cast<double>(t->ToScreenNs - s0) / static_cast<double>(p.frames) / 1e6;
    form.StopThread();
    return p;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const double seconds = argc > 1 ? std::atof(argv[1]) : 15.0;
    QApplication app(argc, argv);

    const auto server = qmxbench::startFastServer();
    if (!server)
        return 1;
    qmxbench::BenchWindow<TimedForm> window;
    std::unique_ptr<TimedForm>& form = window.form;
    qmxtest::RecordingDialogSeam& seam = window.dialogs;
    if (!qmxbench::openFirstModule(*form))
        return 1;
    loadSettings(*form);

    const Phase closed = run(*form, seconds, seam);
    const long handedClosed = form->handed;

    form->ShowSignalViewAction->trigger();
    SignalView* view = form->signalView();
    view->resize(1000, 700);
    // The tools on: trigger, cursors, RMS averaging of 16 frames, both plots zoomed.
    view->restoreOptions({{"trigger", "1"}, {"trigger_channel", "1"}, {"trigger_level", "0"}, {"cursors", "1"},
                          {"averaging", "rms"}, {"average_count", "16"}});
    QApplication::processEvents();
    view->waveformPlot()->zoomX(0.2, 0.21);
    view->spectrumPlot()->zoomX(500, 5000);
    const Phase open = run(*form, seconds, seam);

    // Zoom and pan steps on the last frame: the plot's redraw (reduction, axes, traces) each.
    std::vector<qint64> stepNs;
    for (SignalPlot* plot : std::initializer_list<SignalPlot*>{view->waveformPlot(), view->spectrumPlot()}) {
        plot->resetZoom();
        plot->repaint();
        const QPoint centre = plot->plotRect().center();
        for (int i = 0; i < 60; ++i) {
            QElapsedTimer t;
            t.start();
            if (i % 3 == 2)
                plot->panByPixels(QPoint(i % 2 ? 40 : -40, 0));
            else
                plot->zoomAbout(centre + QPoint((i * 37) % 200 - 100, 0), i < 40 ? 0.7 : 1.4, false);
            plot->repaint();
            stepNs.push_back(t.nsecsElapsed());
        }
    }
    for (const auto& d : seam.shown)
        std::printf("message: %s\n", d.text.toUtf8().constData());

    std::printf("frame: K=4 x M=%lld, fft, 20-bit, 117187.5 Hz\n",
                static_cast<long long>(form->acquisitionThread() ? form->acquisitionThread()->SamplesPerChannel : 1 << 20));
    std::printf("view closed: frames_per_second=%.3f (%ld frames)  end_of_reception_to_screen_ms=%.1f  "
                "frames_handed_to_view=%ld  window_thread_ms_per_frame_on_view=0\n",
                closed.fps, closed.frames, closed.toScreenMs, handedClosed);
    const std::vector<qint64>& v = form->perFrameNs;
    std::printf("view open:   frames_per_second=%.3f (%ld frames)  end_of_reception_to_screen_ms=%.1f\n", open.fps,
                open.frames, open.toScreenMs);
    std::printf("window_thread_ms_per_frame_on_view: median=%.2f p90=%.2f max=%.2f (%zu frames; hand-over median %.3f)\n",
                quantileMs(v, 0.5), quantileMs(v, 0.9), quantileMs(v, 1.0), v.size(), quantileMs(form->handOverNs, 0.5));
    std::printf("fps_open_over_closed=%.3f\n", closed.fps > 0 ? open.fps / closed.fps : 0.0);
    std::printf("  of which showFrame median %.3f ms, repaints median %.3f ms\n", quantileMs(form->showFrameNs, 0.5),
                quantileMs(form->paintNs, 0.5));
    std::printf("tools on: trigger ch1 0 V rising, cursors, RMS average of 16, both plots zoomed\n");
    std::printf("zoom_or_pan_step_redraw_ms (4 x 2^20 frame, both plots): median=%.2f p90=%.2f max=%.2f (%zu steps)\n",
                quantileMs(stepNs, 0.5), quantileMs(stepNs, 0.9), quantileMs(stepNs, 1.0), stepNs.size());

    if (QMX58_IsOpened(&form->ModuleHandle) == 0)
        QMX58_Close(&form->ModuleHandle);
    form.reset();
    server->stop();
    return 0;
}
