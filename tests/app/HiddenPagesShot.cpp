// Saves pictures for the docs: the two pages that the program never shows (the correction-
// coefficient page and the verification page, with the instrument panels), or with
// --signal-view the signal view during a run, with a linear and a logarithmic frequency axis,
// or with --main-running the main window during a run.
//   hidden_pages_shot [--signal-view | --main-running] <output folder>
// The window runs a discovery against the simulated crate server in this process; only here
// are the pages' tabs made visible.

#include "CrateServer.h"
#include "DialogSeam.h"
#include "MainForm.h"
#include "TestMainForm.h"
#include "Rig.h"
#include "SignalPlot.h"
#include "SignalView.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class SilentDialogs : public qmx::DialogSeam {
public:
    void messageBox(QWidget*, const QString& text, const QString&, qmx::MsgIcon) override { report(text); }
    int sizedMessageDialog(QWidget*, const QString&, qmx::DialogKind, const QStringList&, const QString& text) override
    {
        report(text);
        return 0;
    }
    bool question(QWidget*, const QString& text, const QString&) override
    {
        report(text);
        return false;
    }
    QString fileDialog(QWidget*, const qmx::FileDialogRequest&) override { return {}; }
    std::optional<double> inputNumber(QWidget*, const qmx::NumberRequest&) override { return std::nullopt; }

private:
    static void report(const QString& text) { std::fprintf(stderr, "dialog: %s\n", text.toLocal8Bit().constData()); }
};

bool shoot(qmxtest::TestMainForm& form, QWidget* page, const QString& file)
{
    QTabWidget* tabs = form.MainLMDPageControl;
    const std::uint8_t guard = form.UpdateGuard;
    form.UpdateGuard = 1;  // a switch of the picture's own, past the page-switching rule
    tabs->setTabVisible(tabs->indexOf(page), true);
    tabs->setCurrentWidget(page);
    form.UpdateGuard = guard;
    // Discovery leaves the hidden pages disabled; the picture shows their content.
    for (QWidget* w : page->findChildren<QWidget*>())
        w->setEnabled(true);
    page->setEnabled(true);
    QTest::qWait(200);
    const bool ok = form.grab().save(file);
    std::printf("%s %s\n", ok ? "saved" : "could not save", file.toLocal8Bit().constData());
    return ok;
}

// A run of the configured module with the view open and its tools in use: triggered on
// channel 1's rising edge, RMS-averaged over 8 frames, the waveform zoomed to a few periods and
// the spectrum to the tones, cursors on; once with a linear, once with a logarithmic frequency
// axis.
bool shootSignalView(qmxtest::TestMainForm& form, const QString& out)
{
    form.ShowSignalViewAction->trigger();
    qmx::SignalView* view = form.signalView();
    view->resize(1200, 820);
    view->restoreOptions({{"trigger", "1"}, {"trigger_channel", "1"}, {"trigger_level", "0"}, {"trigger_edge", "rising"},
                          {"averaging", "rms"}, {"average_count", "8"}, {"cursors", "1"}, {"cursor_channel", "1"}, {"fit", "1"}});
    form.StartThread();
    const bool shown = QTest::qWaitFor([&] { return view->shownFrame() && view->shownFrame()->frame >= 9; }, 60000);
    view->findChild<QCheckBox*>("SignalHoldCheckBox")->setChecked(true);
    form.StopThread();
    if (!shown) {
        std::fprintf(stderr, "the view got no frame\n");
        return false;
    }
    qmx::SignalWaveformPlot* wave = view->waveformPlot();
    qmx::SignalSpectrumPlot* spectrum = view->spectrumPlot();
    wave->zoomX(0, 0.0035);
    wave->setCursor(0, 0.0005);
    wave->setCursor(1, 0.0015);
    bool ok = true;
    for (bool log : {false, true}) {
        view->findChild<QCheckBox*>("SignalLogFrequencyCheckBox")->setChecked(log);
        spectrum->resetZoom();
        if (!log)
            spectrum->zoomX(0, 12000);
        spectrum->setCursor(0, 1000);
        spectrum->setCursor(1, 5000);
        QTest::qWait(200);
        const QString file = QDir(out).filePath(log ? "signal-view-log.png" : "signal-view.png");
        const bool saved = view->grab().save(file);
        std::printf("%s %s\n", saved ? "saved" : "could not save", file.toLocal8Bit().constData());
        ok = ok && saved;
    }
    return ok;
}

// The main window during a run, with the method, amplitude type and frame length shown.
bool shootMainRunning(qmxtest::TestMainForm& form, const QString& out)
{
    form.StartThread();
    qmx::TMainThread* t = nullptr;
    const bool shown = QTest::qWaitFor(
        [&] {
            t = form.acquisitionThread();
            return t && t->FramesShown.load() >= 2;
        },
        30000);
    if (!shown) {
        std::fprintf(stderr, "the run showed no frame\n");
        return false;
    }
    QTest::qWait(50);
    const QString file = QDir(out).filePath("main-window-running.png");
    const bool saved = form.grab().save(file);
    std::printf("%s %s\n", saved ? "saved" : "could not save", file.toLocal8Bit().constData());
    form.StopThread();
    return saved;
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList args = QApplication::arguments().mid(1);
    const bool signalView = args.removeAll("--signal-view") > 0;
    const bool mainRunning = args.removeAll("--main-running") > 0;
    const QString out = args.isEmpty() ? QString("docs") : args.first();
    QDir().mkpath(out);

    qmx::sim::ServerOptions so;
    so.port = 0;
    so.fast = true;
    qmx::sim::CrateServer server(qmx::sim::defaultRig(), so);
    std::string error;
    if (!server.start(error)) {
        std::fprintf(stderr, "server: %s\n", error.c_str());
        return 1;
    }
    ::setenv("QMX_SERVER_PORT", std::to_string(server.port()).c_str(), 1);

    QTemporaryDir folder;
    SilentDialogs dialogs;
    qmx::MainFormOptions o;
    o.programFolder = folder.path();
    o.dialogs = &dialogs;
    bool ok = false;
    {
        qmxtest::TestMainForm form(o);
        form.show();
        const bool found = QTest::qWaitFor(
            [&] { return form.ShowStage == 3 && form.DiscoveryRunning == 0 && form.DiscoveryMayBeRequested == 1 &&
                         form.Discovery.moduleState == 2; },
            20000);
        if (!found) {
            std::fprintf(stderr, "no module was configured\n");
        } else if (signalView) {
            ok = shootSignalView(form, out);
        } else if (mainRunning) {
            ok = shootMainRunning(form, out);
        } else {
            form.RedrawCorrectionGrids();
            form.EquipmentLMDSimplePanel->hide();
            ok = shoot(form, form.CorrectionFactorsLMDTabSheet, QDir(out).filePath("coefficients-page.png"));
            ok = shoot(form, form.VerificationLMDTabSheet, QDir(out).filePath("verification-page.png")) && ok;
            // The instrument panels, over the multimeter page.
            form.UpdateGuard = 1;
            form.MainLMDPageControl->setCurrentIndex(0);
            form.UpdateGuard = 0;
            for (QWidget* w : std::initializer_list<QWidget*>{form.EquipmentLMDSimplePanel, form.GeneratorLMDGroupBox,
                                                              form.VoltmeterLMDGroupBox})
                w->show();
            form.EquipmentLMDSimplePanel->raise();
            QTest::qWait(200);
            for (QWidget* w : form.EquipmentLMDSimplePanel->findChildren<QWidget*>())
                w->setEnabled(true);
            form.EquipmentLMDSimplePanel->setEnabled(true);
            form.MultimeterLMDSimplePanel->setEnabled(true);
            form.VoltmeterValueLMDLabel->setText("1234.567");
            ok = form.EquipmentLMDSimplePanel->grab().save(QDir(out).filePath("instrument-panels.png")) && ok;
        }
        form.close();
    }
    server.stop();
    return ok ? 0 : 1;
}
