// Discovery of crates and modules and the common acquisition controls, against the simulated
// crate server running in this process on a free port.

#include "FormFixture.h"
#include "TestMainForm.h"
#include "Led.h"
#include "Rig.h"
#include "SettingsKeys.h"
#include "SimulatedServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QWindow>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

namespace {

using namespace qmx;
namespace S = qmx::settings;

const QString kUpdateLine = "\nНеобходимо обновить все QMX библиотеки до последней версии!!!";

// Records, at every caption change of the window, the caption and the application title.
class TitleWatch : public QObject {
public:
    QList<QPair<QString, QString>> seen;
    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (e->type() == QEvent::WindowTitleChange)
            if (auto* w = qobject_cast<QWidget*>(watched))
                seen.append({w->windowTitle(), QGuiApplication::applicationDisplayName()});
        return false;
    }
};

class Discovery : public ::testing::Test {
protected:
    void TearDown() override
    {
        form.reset();
        server.stop();
    }

    void startServer(const std::string& rigText) { ASSERT_TRUE(server.start(rigText)); }
    void startDefaultServer() { startServer(sim::defaultRigText()); }

    void makeForm(const QString& crateLib = {}, const QString& moduleLib = {})
    {
        MainFormOptions o;
        o.programFolder = folder.path();
        o.dialogs = &dialogs;
        o.crateLibraryFile = crateLib;
        o.moduleLibraryFile = moduleLib;
        o.programFile = QMX_TEST_PROGRAM_FILE;
        form = std::make_unique<qmxtest::TestMainForm>(o);
    }
    bool idle() const { return form->DiscoveryRunning == 0 && form->DiscoveryMayBeRequested == 1; }
    // Shows the window (the first discovery starts) and waits for that discovery to end.
    void showAndDiscover()
    {
        form->show();
        ASSERT_TRUE(QTest::qWaitFor([&] { return form->ShowStage == 3; }, 5000));
        waitDiscovery();
    }
    void waitDiscovery() { ASSERT_TRUE(QTest::qWaitFor([&] { return idle() && !form->closePending(); }, 15000)); }
    void writeTarget(const std::string& serial, int slot)
    {
        IniFile f(form->settingsPath().toStdString());
        QString msg;
        form->EnsureSettingsFile(msg);
        f.WriteString(S::kDiscovery, S::kCrateSerial, serial);
        f.WriteInteger(S::kDiscovery, S::kModuleSlot, slot);
    }
    QStringList items(const QComboBox* c) const
    {
        QStringList out;
        for (int i = 0; i < c->count(); ++i)
            out << c->itemText(i);
        return out;
    }
    QStringList shownTexts()
    {
        QStringList out;
        for (const auto& d : dialogs.shown)
            out << d.text;
        return out;
    }

    QTemporaryDir folder;
    qmxtest::RecordingDialogSeam dialogs;
    qmxtest::SimulatedServer server;
    std::unique_ptr<qmxtest::TestMainForm> form;
};

// The first discovery against the default rig: both crates listed, the first crate's modules,
// the first module opened, green status, the factory settings applied, the window usable.
TEST_F(Discovery, DefaultRigFromStartToFinish)
{
    startDefaultServer();
    makeForm();
    // The window system takes the caption, followed by the application title unless the two
    // are equal, at the moment the caption changes: both must already agree then.
    TitleWatch titles;
    form->installEventFilter(&titles);
    showAndDiscover();
    EXPECT_TRUE(dialogs.shown.empty()) << shownTexts().join(" | ").toStdString();
    ASSERT_FALSE(titles.seen.isEmpty());
    for (const auto& [caption, application] : titles.seen)
        EXPECT_EQ(caption, application);
    EXPECT_EQ(titles.seen.back().first, form->windowTitle());
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), form->windowTitle());
    EXPECT_EQ(form->windowHandle()->title(), form->windowTitle());
    EXPECT_EQ(items(form->QmxCratesComboBox), QStringList({"1: SIM-A8-0001", "2: SIM-A1-0002"}));
    EXPECT_EQ(items(form->ModulesComboBox), QStringList({"Слот 2: QMX58-2", "Слот 7: QMX58-2"}));
    EXPECT_EQ(form->QmxCratesComboBox->currentIndex(), 0);
    EXPECT_EQ(form->ModulesComboBox->currentIndex(), 0);
    EXPECT_EQ(form->Discovery.moduleState, 2);
    EXPECT_EQ(form->Discovery.crateOk, 1);
    EXPECT_EQ(form->Discovery.moduleSlots[0][1], 7);
    EXPECT_EQ(QMX58_IsOpened(&form->ModuleHandle), 0);
    EXPECT_EQ(form->ModuleSerialNumberLMDLabel->text(), "SIM58-0201");
    EXPECT_EQ(form->ModuleFirmwareVersionLMDLabel->text(), "12");
    EXPECT_EQ(form->QmxCrateStatusLed->brushColor(), kColorGreen);
    EXPECT_EQ(form->QmxCrateStatusLed->toolTip(), "Статус 'QMX-A8' крейта -> OK");
    EXPECT_EQ(form->ModuleStatusLed->brushColor(), kColorGreen);
    EXPECT_EQ(form->ModuleStatusLed->toolTip(), "Статус модуля 'QMX58-2' -> OK");
    EXPECT_TRUE(form->windowTitle().startsWith("QMX58_probe - ")) << form->windowTitle().toStdString();
    EXPECT_TRUE(QFile::exists(form->settingsPath()));
    EXPECT_TRUE(form->holdsSettingsFile()) << "the window keeps the file object it wrote the factory settings with";
    // The factory settings are on the panels, which are switched on.
    EXPECT_EQ(form->AllChannelsLMDCheckBox->checkState(), Qt::Checked);
    for (TQmx58AdcChannelFrame* f : form->Frames) {
        EXPECT_TRUE(f->ChannelNumberLMDCheckBox->isChecked());
        EXPECT_TRUE(f->InputConnectionModeLMDComboBox->isEnabled());
        EXPECT_EQ(f->InputConnectionModeLMDComboBox->count(), 3);
        EXPECT_EQ(f->Value2LabLMDLabel->text(), "Частота");
    }
    EXPECT_FALSE(form->StartMultimeterLMDSimplePanel->isHidden());
    EXPECT_TRUE(form->StartMultimeterLMDSpeedButton->isEnabled());
    EXPECT_TRUE(form->FindDeviceLMDButton->isEnabled());
    EXPECT_TRUE(form->AdcRateComboBox->isEnabled());
    EXPECT_EQ(form->AdcRateComboBox->currentIndex(), 15);
    EXPECT_FALSE(form->CurrentValueLMDComboBox->isEnabled()) << "no channel uses the ICP input";
    EXPECT_FALSE(form->PhaseCorrectionFilterMultimeterLMDCheckBox->isEnabled());
    EXPECT_FALSE(form->contextMenuEnabled()) << "from the first discovery on, a right click opens no menu";
    EXPECT_FALSE(QApplication::overrideCursor()) << "the hour-glass is gone";
}

// From Prepare to Finish the device controls, the main panel and the start panel are out of
// the operator's reach, with the hour-glass cursor; afterwards they are back.
TEST_F(Discovery, ControlsAreLockedWhileDiscoveryRuns)
{
    startDefaultServer();
    makeForm();
    showAndDiscover();
    std::mutex m;
    std::condition_variable cv;
    bool prepared = false, release = false;
    form->discoveryPreparedProbe = [&] {
        std::unique_lock<std::mutex> lock(m);
        prepared = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    };
    form->FindDeviceLMDButton->click();
    ASSERT_TRUE(QTest::qWaitFor([&] {
        std::lock_guard<std::mutex> lock(m);
        return prepared;
    }, 5000));
    EXPECT_FALSE(form->ModuleDetectionLMDGroupBox->isEnabled());
    EXPECT_FALSE(form->FindDeviceLMDButton->isEnabled());
    EXPECT_FALSE(form->MainLMDSimplePanel->isEnabled());
    EXPECT_FALSE(form->MainLMDPageControl->isEnabled());
    EXPECT_TRUE(form->StartMultimeterLMDSimplePanel->isHidden());
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    // The menu items that save read what the run writes: locked too, short cuts included.
    EXPECT_FALSE(form->SaveCurrentSettings->isEnabled());
    EXPECT_FALSE(form->SaveDefaultSettings->isEnabled());
    const QByteArray fileBefore = [&] {
        QFile f(form->settingsPath());
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    form->SaveCurrentSettings->trigger();
    form->SaveDefaultSettings->trigger();
    {
        QFile f(form->settingsPath());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), fileBefore) << "nothing saved while the run goes on";
    }
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    waitDiscovery();
    EXPECT_TRUE(form->FindDeviceLMDButton->isEnabled());
    EXPECT_TRUE(form->MainLMDPageControl->isEnabled());
    EXPECT_TRUE(form->SaveCurrentSettings->isEnabled() && form->SaveDefaultSettings->isEnabled());
    EXPECT_FALSE(form->StartMultimeterLMDSimplePanel->isHidden());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(Discovery, TargetFromTheSettingsFile)
{
    startDefaultServer();
    makeForm();
    writeTarget("SIM-A8-0001", 7);
    showAndDiscover();
    EXPECT_EQ(form->ModulesComboBox->currentIndex(), 1);
    EXPECT_EQ(form->ModuleSerialNumberLMDLabel->text(), "SIM58-0702");

    // The crate of type 21 with a module without ICP.
    form.reset();
    makeForm();
    writeTarget("SIM-A1-0002", 1);
    showAndDiscover();
    EXPECT_EQ(form->QmxCratesComboBox->currentIndex(), 1);
    EXPECT_EQ(items(form->ModulesComboBox), QStringList({"Слот 1: QMX58-1"}));
    EXPECT_EQ(form->QmxCrateStatusLed->brushColor(), kColorLightOrange);
    EXPECT_TRUE(form->QmxCrateStatusLed->toolTip().contains("800 Кбайт/с"));
    EXPECT_EQ(form->hintHideTimeout(form->QmxCrateStatusLed), 10000);
    EXPECT_EQ(form->CommonInputConnectionModeLMDComboBox->count(), 2);
    EXPECT_FALSE(form->CurrentValueLMDComboBox->isEnabled());
    EXPECT_FALSE(form->PhaseCorrectionFilterMultimeterLMDCheckBox->isEnabled());
    EXPECT_EQ(form->CurrentValueLMDComboBox->currentIndex(), -1);
}

TEST_F(Discovery, UnknownTargetsFallBackToTheFirstOnes)
{
    startDefaultServer();
    makeForm();
    writeTarget("NO-SUCH-CRATE", 7);
    showAndDiscover();
    EXPECT_EQ(form->QmxCratesComboBox->currentIndex(), 0);
    EXPECT_EQ(form->ModulesComboBox->currentIndex(), 0) << "the saved slot belongs to the saved crate only";
    form.reset();
    makeForm();
    writeTarget("SIM-A8-0001", 9);
    showAndDiscover();
    EXPECT_EQ(form->ModulesComboBox->currentIndex(), 0);
}

// Only the second crate holds a QMX58; a QMX58 that refuses to open is left out and the
// others keep their real slot numbers.
TEST_F(Discovery, CratesAndSlotsThatDoNotCount)
{
    startServer("crate EMPTY-1 type 10\n"
                "  slot 3 module 0x2310\n"
                "crate FULL-2 type 30\n"
                "  slot 1 qmx58 M-1\n"
                "  slot 4 qmx58 M-4\n"
                "    fault refuse-open\n"
                "  slot 9 qmx58 M-9 icp no\n");
    makeForm();
    showAndDiscover();
    EXPECT_EQ(items(form->QmxCratesComboBox), QStringList({"1: FULL-2"}));
    EXPECT_EQ(items(form->ModulesComboBox), QStringList({"Слот 1: QMX58-2", "Слот 9: QMX58-1"}));
    EXPECT_EQ(form->Discovery.rawCrateCount, 2);
    EXPECT_EQ(form->QmxCrateStatusLed->toolTip(), "Статус 'QMX-B8' крейта -> OK");
}

TEST_F(Discovery, NoCrateOrNoModule)
{
    startServer("fault list\ncrate X type 10\n  slot 1 qmx58 M-1\n");
    makeForm();
    showAndDiscover();
    // The message's first line as it always was; below it, how to start against the simulator.
    ASSERT_EQ(shownTexts().size(), 1);
    const QStringList lines = shownTexts()[0].split('\n');
    EXPECT_EQ(lines[0], "Не могу найти ни одного QMX крейта!");
    EXPECT_TRUE(lines.size() > 2 && lines[1].isEmpty() && lines[2].contains("qmx58-probe-demo") &&
                lines[2].contains("QMX58 Probe (simulated crate)"))
        << shownTexts()[0].toStdString();
    EXPECT_EQ(form->Discovery.moduleState, 0);
    EXPECT_EQ(form->ModuleStatusLed->brushColor(), kColorRed);
    EXPECT_EQ(form->QmxCrateStatusLed->toolTip(), "Статус QMX крейта -> BAD");
    EXPECT_TRUE(form->FindDeviceLMDButton->isEnabled()) << "a new find can be asked for";
    EXPECT_TRUE(form->StartMultimeterLMDSimplePanel->isHidden());
    EXPECT_EQ(dialogs.shown[0].caption, "Сообщение TInitAndConfigThread::Execute()!!!");

    form.reset();
    dialogs.shown.clear();
    startServer("crate X type 10\n  slot 1 module 77\n");
    makeForm();
    showAndDiscover();
    EXPECT_EQ(shownTexts(), QStringList({"Не могу найти ни одного QMX крейта, где бы был установлен модуль QMX58!"}));
    EXPECT_EQ(form->UpdateGuard.load(), 0);
}

TEST_F(Discovery, LibraryVersions)
{
    startDefaultServer();
    makeForm(QMX_TEST_OLD_CRATE_LIB);
    showAndDiscover();
    EXPECT_EQ(shownTexts(), QStringList({"Версия библиотеки Qmxapi.dll должна быть\nне ниже 1.32.35!!!"}));
    EXPECT_EQ(form->Discovery.moduleState, 2) << "the run goes on";
    EXPECT_EQ(form->QmxCrateStatusLed->brushColor(), kColorOrange);
    EXPECT_EQ(form->ModuleStatusLed->brushColor(), kColorOrange);
    EXPECT_TRUE(form->QmxCrateStatusLed->toolTip().endsWith(kUpdateLine));
    EXPECT_TRUE(form->ModuleStatusLed->toolTip().endsWith(kUpdateLine));
    EXPECT_EQ(form->hintHideTimeout(form->ModuleStatusLed), 10000);

    form.reset();
    dialogs.shown.clear();
    makeForm({}, QMX_TEST_UNVERSIONED_MODULE_LIB);
    showAndDiscover();
    EXPECT_EQ(shownTexts(), QStringList({"Опаньки!!! Не могу определить версию библиотеки Qmx58api.dll!!!"}));
    EXPECT_EQ(form->ModuleStatusLed->brushColor(), kColorOrange);
}

// Modes 1 and 2 through the module and crate lists; choosing what is open already does nothing.
TEST_F(Discovery, ModuleAndCrateChanges)
{
    startDefaultServer();
    makeForm();
    showAndDiscover();
    std::atomic<int> runs{0};
    form->discoveryProbe = [&] { ++runs; };

    form->ModulesComboBox->setCurrentIndex(0);  // already open
    form->QmxCratesComboBox->setCurrentIndex(0);
    QTest::qWait(200);
    EXPECT_EQ(runs.load(), 0);

    form->ModulesComboBox->setCurrentIndex(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return runs.load() == 1; }, 5000));
    waitDiscovery();
    EXPECT_EQ(form->ModuleSerialNumberLMDLabel->text(), "SIM58-0702");
    EXPECT_EQ(form->Discovery.selectedModuleIndex[0], 1);

    form->QmxCratesComboBox->setCurrentIndex(1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return runs.load() == 2; }, 5000));
    waitDiscovery();
    EXPECT_EQ(items(form->ModulesComboBox), QStringList({"Слот 1: QMX58-1"}));
    EXPECT_EQ(form->ModuleSerialNumberLMDLabel->text(), "SIM58-0101");
    EXPECT_EQ(form->QmxCrateStatusLed->brushColor(), kColorLightOrange);
    EXPECT_TRUE(dialogs.shown.empty()) << shownTexts().join(" | ").toStdString();

    // Back to the first crate: its remembered module (slot 7) opens again.
    form->QmxCratesComboBox->setCurrentIndex(0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return runs.load() == 3; }, 5000));
    waitDiscovery();
    EXPECT_EQ(form->ModuleSerialNumberLMDLabel->text(), "SIM58-0702");
}

TEST_F(Discovery, FailedReopenIsReported)
{
    startDefaultServer();
    makeForm();
    showAndDiscover();
    sim::ModuleFaults refuse;
    refuse.refuseOpen = true;
    ASSERT_TRUE(server->setModuleFaults("SIM-A8-0001", 7, refuse));
    form->ModulesComboBox->setCurrentIndex(1);
    QTest::qWait(100);
    waitDiscovery();
    EXPECT_EQ(shownTexts(), QStringList({"Не могу проинициализировать модуль в указанном слоте!"}));
    EXPECT_TRUE(form->FindDeviceLMDButton->isEnabled());
    EXPECT_EQ(form->UpdateGuard.load(), 0);

    dialogs.shown.clear();
    ASSERT_TRUE(server->setModuleFaults("SIM-A1-0002", 1, refuse));
    form->QmxCratesComboBox->setCurrentIndex(1);
    QTest::qWait(100);
    waitDiscovery();
    EXPECT_EQ(shownTexts(), QStringList({"Не могу проинициализировать QMX крейт с модулями в указанном слоте!"}));
}

TEST_F(Discovery, FindDeviceResetsAndRediscovers)
{
    startDefaultServer();
    makeForm();
    showAndDiscover();
    form->Frames[1]->Value1LMDEdit->setText("12.34");
    std::atomic<int> runs{0};
    form->discoveryProbe = [&] { ++runs; };
    form->FindDeviceLMDButton->click();
    EXPECT_EQ(form->Frames[1]->Value1LMDEdit->text(), "--------");
    EXPECT_EQ(form->AdcRateComboBox->currentIndex(), -1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return runs.load() == 1; }, 5000));
    form->FindDeviceLMDButton->click();  // while one runs: ignored
    waitDiscovery();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(form->AdcRateComboBox->currentIndex(), 15) << "restored by the settings";
    EXPECT_EQ(form->Discovery.moduleState, 2);
}

// START latches: the first click starts a run, the next stops it; a parameter change stops it.
TEST_F(Discovery, StartButtonAndParameterChanges)
{
    startDefaultServer();
    makeForm();
    showAndDiscover();
    QToolButton* start = form->StartMultimeterLMDSpeedButton;
    start->click();
    EXPECT_TRUE(start->isChecked());
    ASSERT_NE(form->acquisitionThread(), nullptr);
    start->click();
    EXPECT_EQ(form->acquisitionThread(), nullptr);

    start->click();
    ASSERT_NE(form->acquisitionThread(), nullptr);
    form->AdcRateComboBox->setCurrentIndex(3);
    EXPECT_EQ(form->acquisitionThread(), nullptr) << "a rate change stops the run";

    start->setChecked(false);
    start->click();
    ASSERT_NE(form->acquisitionThread(), nullptr);
    form->DataFormatLMDComboBox->setCurrentIndex(1);
    EXPECT_EQ(form->acquisitionThread(), nullptr);
    EXPECT_FALSE(start->isChecked()) << "a run stopped before it began releases START too";

    // Assistive technology presses the latching button with its toggle action: the same as a click.
    form->DataFormatLMDComboBox->setCurrentIndex(0);
    QAccessibleInterface* button = QAccessible::queryAccessibleInterface(start);
    ASSERT_NE(button, nullptr);
    QAccessibleActionInterface* actions = button->actionInterface();
    ASSERT_NE(actions, nullptr);
    ASSERT_TRUE(actions->actionNames().contains(QAccessibleActionInterface::toggleAction()));
    actions->doAction(QAccessibleActionInterface::toggleAction());
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->acquisitionThread() && form->acquisitionThread()->FramesShown > 0; }, 10000))
        << "toggled, nothing measured";
    EXPECT_TRUE(start->isChecked());
    EXPECT_EQ(start->text(), "С   Т   О   П");
    actions->doAction(QAccessibleActionInterface::toggleAction());
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->acquisitionThread() == nullptr; }, 5000));
    EXPECT_FALSE(start->isChecked());
    EXPECT_EQ(start->text(), "С   Т   А   Р   Т");
}

// Common controls: mode 1 or 2 makes every channel AC-only; a common DC then reaches only the
// channels in mode 0; a common range with a blank common mode sets the differential ranges.
TEST_F(Discovery, CommonControls)
{
    startDefaultServer();
    makeForm();
    showAndDiscover();
    form->CommonInputConnectionModeLMDComboBox->setCurrentIndex(2);
    for (TQmx58AdcChannelFrame* f : form->Frames) {
        EXPECT_EQ(f->InputConnectionModeLMDComboBox->currentIndex(), 2);
        EXPECT_FALSE(f->ComputationMethodLMDLabel->isHidden());
        EXPECT_FALSE(f->IcpInputRangeLMDComboBox->isHidden());
    }
    EXPECT_TRUE(form->CurrentValueLMDComboBox->isEnabled());
    EXPECT_TRUE(form->PhaseCorrectionFilterMultimeterLMDCheckBox->isEnabled());
    EXPECT_TRUE(form->CommonComputationMethodLMDComboBox->isHidden());
    EXPECT_EQ(form->ComputationModeLMDLabel->text(), "AC");

    form->Frames[0]->InputConnectionModeLMDComboBox->setCurrentIndex(0);
    EXPECT_EQ(form->CommonInputConnectionModeLMDComboBox->currentIndex(), -1);
    form->CommonComputationMethodLMDComboBox->setCurrentIndex(0);  // DC
    EXPECT_EQ(form->Frames[0]->Value2LabLMDLabel->text(), "") << "mode 0 takes DC";
    EXPECT_EQ(form->Frames[1]->Value2LabLMDLabel->text(), "Частота") << "mode 2 stays AC";

    form->CommonDiffInputRangeLMDComboBox->setCurrentIndex(0);
    for (TQmx58AdcChannelFrame* f : form->Frames)
        EXPECT_EQ(f->DiffInputRangeLMDComboBox->currentIndex(), 0);

    form->AllChannelsLMDCheckBox->click();
    EXPECT_EQ(form->AllChannelsLMDCheckBox->checkState(), Qt::Unchecked);
    for (TQmx58AdcChannelFrame* f : form->Frames) {
        EXPECT_FALSE(f->ChannelNumberLMDCheckBox->isChecked());
        EXPECT_FALSE(f->Value1LMDEdit->isEnabled());
    }
    form->AllChannelsLMDCheckBox->click();
    EXPECT_EQ(form->AllChannelsLMDCheckBox->checkState(), Qt::Checked);
    EXPECT_TRUE(form->Frames[3]->Value1LMDEdit->isEnabled());
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(Discovery, PageSwitchNeedsAnOpenModule)
{
    startServer("fault list\n");
    makeForm();
    showAndDiscover();
    dialogs.shown.clear();
    form->MainLMDPageControl->setCurrentIndex(1);
    EXPECT_EQ(form->MainLMDPageControl->currentIndex(), 0);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Нет открытого модуля! Поэтому данная опция не доступна!");
    EXPECT_EQ(dialogs.shown[0].caption, "Внимание!!!");
}

// Without a settings file the run reports it once, skips the library check (so the libraries
// do not count as up to date) and goes on: the module is found and the window usable.
TEST_F(Discovery, SettingsFileFailureSkipsTheRestOfPrepare)
{
    startDefaultServer();
    MainFormOptions o;
    o.programFolder = folder.filePath("no such folder");
    o.dialogs = &dialogs;
    o.programFile = QMX_TEST_PROGRAM_FILE;
    form = std::make_unique<qmxtest::TestMainForm>(o);
    showAndDiscover();
    EXPECT_EQ(shownTexts(), QStringList({"Не могу создать файл настроек!",
                                         "Не могу проинициализировать параметры работы приложения!"}));
    EXPECT_EQ(form->Discovery.moduleState, 2);
    EXPECT_EQ(form->ModuleStatusLed->brushColor(), kColorOrange);
    EXPECT_TRUE(form->ModuleStatusLed->toolTip().endsWith(kUpdateLine));
    EXPECT_TRUE(form->FindDeviceLMDButton->isEnabled());
    EXPECT_TRUE(form->StartMultimeterLMDSpeedButton->isEnabled());
    EXPECT_FALSE(QFile::exists(form->settingsPath()));
}

// A position off every screen is pulled back, also one at the limits of 32 bits (which must
// not overflow on the way).
TEST_F(Discovery, RestoresASavedPositionOnScreen)
{
    const std::pair<int, int> saved[] = {{5000, -4000}, {2147483647, 2147483647}, {-2147483647 - 1, 2147483647}};
    for (const auto& [top, left] : saved) {
        SCOPED_TRACE(testing::Message() << top << " " << left);
        startDefaultServer();
        makeForm();
        QString msg;
        form->EnsureSettingsFile(msg);
        IniFile f(form->settingsPath().toStdString());
        f.WriteInteger(S::kApp, S::kWindowTop, top);
        f.WriteInteger(S::kApp, S::kWindowLeft, left);
        showAndDiscover();
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        EXPECT_TRUE(area.contains(form->frameGeometry().topLeft()));
        form.reset();
    }
}

}  // namespace
