// The discovery run's routines on the window thread: Prepare, Restore position, Scan and
// open, Show status, Apply settings, Show message, Finish, and the library version check.

#include "MainForm.h"

#include "CrateScan.h"
#include "CrateTypes.h"
#include "FileVersionInfo.h"
#include "Led.h"
#include "qmxapi.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTabWidget>
#include <QToolButton>

#include <algorithm>
#include <cstring>

namespace qmx {

void TMainForm::discoveryPrepare(TInitAndConfigThread& t)
{
    setContextMenuEnabled(false);  // from the first discovery on; the short cuts stay
    clearSignalView();  // the module may change: its last frame is no longer the signal
    // The pages locked, the hour-glass shown, page 0 active and the start panel hidden.
    MainLMDPageControl->setEnabled(false);
    if (!_savedCursor) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        _savedCursor = true;
    }
    const std::uint8_t guard = UpdateGuard;
    UpdateGuard = 1;
    MainLMDPageControl->setCurrentIndex(0);
    StartMultimeterLMDSimplePanel->setVisible(false);
    UpdateGuard = guard;

    // The settings file.
    QString message;
    t.settingsFile = EnsureSettingsFile(message);
    const bool settingsOpen = t.settingsFile != nullptr;
    if (!settingsOpen) {
        if (!message.isEmpty())
            t.ShowMessage(message);
    } else if (t.fromSettings() || Discovery.selectedCrateIndex == DiscoveryTable::kNone) {
        // The target crate and slot from the file.
        t.targetSerial = QString::fromStdString(t.settingsFile->ReadString(settings::kDiscovery, settings::kCrateSerial, ""));
        t.targetSlot = static_cast<std::int16_t>(
            t.settingsFile->ReadInteger(settings::kDiscovery, settings::kModuleSlot, settings::kModuleSlotDefault));
    }
    if (settingsOpen && Discovery.selectedCrateIndex != DiscoveryTable::kNone && !t.fromSettings() &&
        Discovery.selectedCrateIndex < Discovery.crateCount) {
        // The target is the crate and module selected now.
        const std::uint16_t c = Discovery.selectedCrateIndex;
        t.targetSerial = serialText(Discovery.crateSerials[c]);
        const std::uint16_t m = Discovery.selectedModuleIndex[c];
        t.targetSlot = m < Discovery.moduleCounts[c] ? static_cast<std::int16_t>(Discovery.moduleSlots[c][m]) : -1;
    }
    // The device controls stay locked and the state is reset whether or not the file opened:
    // the run goes on, and neither may an operator action read what it writes, nor may a
    // failed open leave the previous module marked usable.
    SetControlsEnabled(ModuleDetectionLMDGroupBox, false, false);
    SetControlsEnabled(MainLMDSimplePanel, false, false);
    setDeviceActionsEnabled(false);
    switch (t.mode()) {
    case 3:
        Discovery.crateOk = 0;
        Discovery.moduleState = 0;
        break;
    case 1:
        Discovery.moduleState = 0;
        break;
    case 2:
        Discovery.crateOk = 0;
        break;
    default:
        break;
    }
    discoveryShowStatus(t, true);
    // Without a settings file the library check is skipped, so the libraries are not
    // counted as usable.
    if (settingsOpen)
        checkLibraryVersions(t);
    // Neither a settings-file nor a version problem stops the run.
    t.messageShown = false;
}

void TMainForm::checkLibraryVersions(TInitAndConfigThread& t)
{
    // The files as the loader names them, kept as bytes (a folder name may be no valid UTF-8).
    struct Library {
        std::string file;
        const char* name;
    };
    const Library libs[2] = {
        {_options.crateLibraryFile.isEmpty()
             ? platform::FileVersionInfo::pathOfLoadedObject(reinterpret_cast<const void*>(&QMX_Init))
             : QFile::encodeName(_options.crateLibraryFile).toStdString(),
         "Qmxapi.dll"},
        {_options.moduleLibraryFile.isEmpty()
             ? platform::FileVersionInfo::pathOfLoadedObject(reinterpret_cast<const void*>(&QMX58_Init))
             : QFile::encodeName(_options.moduleLibraryFile).toStdString(),
         "Qmx58api.dll"},
    };
    for (const Library& lib : libs) {
        const auto v = platform::FileVersionInfo::read(lib.file);
        if (!v) {
            t.ShowMessage(QString("Опаньки!!! Не могу определить версию библиотеки ") + lib.name + "!!!");
            return;
        }
        if (v->key() < TInitAndConfigThread::kRequiredLibraryKey) {
            t.ShowMessage(QString("Версия библиотеки ") + lib.name + " должна быть\nне ниже " + "1" + "." + "32" + "." + "35" +
                          "!!!");
            return;
        }
    }
    t.librariesOk = true;
}

void TMainForm::discoveryRestorePosition(TInitAndConfigThread& t)
{
    if (!t.fromSettings() || !t.settingsFile)
        return;
    const int top = t.settingsFile->ReadInteger(settings::kApp, settings::kWindowTop, settings::kWindowPosDefault);
    const int left = t.settingsFile->ReadInteger(settings::kApp, settings::kWindowLeft, settings::kWindowPosDefault);
    const QPoint now = frameGeometry().topLeft();
    // A position saved on another screen layout is pulled back onto a work area.
    const QPoint frame = placeOnWorkAreas(left != -1 ? left : now.x(), top != -1 ? top : now.y(), frameGeometry().size());
    move(frame + (geometry().topLeft() - frameGeometry().topLeft()));
}

void TMainForm::discoveryScanBegin(TInitAndConfigThread& t)
{
    t.messageShown = false;
    const std::uint8_t guard = UpdateGuard;
    UpdateGuard = 1;
    ModulesComboBox->clear();
    ModulesComboBox->setMaxVisibleItems(1);
    UpdateGuard = guard;
}

void TMainForm::discoveryShowScan(TInitAndConfigThread&)
{
    const std::uint8_t guard = UpdateGuard;
    UpdateGuard = 1;
    DiscoveryTable& d = Discovery;
    // The crate list, with the selected crate.
    QmxCratesComboBox->clear();
    for (int c = 0; c < d.crateCount; ++c)
        QmxCratesComboBox->addItem(QString::number(c + 1) + ": " + serialText(d.crateSerials[c]));
    QmxCratesComboBox->setMaxVisibleItems(d.crateCount);
    QmxCratesComboBox->setCurrentIndex(d.selectedCrateIndex);
    SelectedCrateTypeCode = d.crateTypes[d.selectedCrateIndex];
    d.crateOk = 1;
    // The selected crate's modules.
    discoveryRebuildModuleList();
    UpdateGuard = guard;
}

ServerAddress TMainForm::discoveryServer() const
{
    ServerAddress a;
    if (_options.serverPort != 0)
        a.port = _options.serverPort;
    return a;
}

void TMainForm::discoveryRebuildModuleList()
{
    const std::uint8_t guard = UpdateGuard;
    UpdateGuard = 1;
    const DiscoveryTable& d = Discovery;
    ModulesComboBox->clear();
    const std::uint16_t c = d.selectedCrateIndex;
    if (c < d.crateCount && c < DiscoveryTable::kMaxCrates) {
        for (int m = 0; m < d.moduleCounts[c]; ++m)
            ModulesComboBox->addItem("Слот " + QString::number(d.moduleSlots[c][m]) + ": " + "QMX58" +
                                     (d.icpCapable[c][m] ? "-2" : "-1"));
        ModulesComboBox->setMaxVisibleItems(qMax<int>(1, d.moduleCounts[c]));
        ModulesComboBox->setCurrentIndex(d.selectedModuleIndex[c] < d.moduleCounts[c] ? d.selectedModuleIndex[c] : -1);
        SelectedCrateTypeCode = d.crateTypes[c];
    }
    UpdateGuard = guard;
}

void TMainForm::discoveryShowStatus(TInitAndConfigThread& t, bool undetermined)
{
    StatusInput in;
    in.undetermined = undetermined;
    in.mode = t.mode();
    in.crateOk = Discovery.crateOk != 0;
    in.crateTypeCode = t.crateTypeCode;
    in.crateTypeName = t.crateTypeName;
    in.moduleName = t.moduleName;
    in.moduleState = Discovery.moduleState;
    in.librariesOk = t.librariesOk;
    in.moduleSerial = serialText(ModuleHandle.moduleInfo.serialNumber);
    in.firmwareVersion = ModuleHandle.moduleInfo.firmwareVersion;
    in.programVersion = programVersion();
    ShowStatus(in);
}

void TMainForm::discoveryApplySettings(TInitAndConfigThread& t)
{
    _moduleCallsOnWorker = true;
    _moduleCallsPending = false;
    const bool loaded = LoadSettings(t.settingsFile.get(), t.fromSettings());
    _moduleCallsOnWorker = false;
    t.configureModule = _moduleCallsPending;
    _moduleCallsPending = false;
    if (!loaded)
        t.ShowMessage("Не могу проинициализировать параметры работы приложения!");
}

void TMainForm::discoveryReadIcpPhase(double* table) { GetIcpPhaseCoefs(&ModuleHandle, table); }

void TMainForm::discoveryShowIcpPhase(TInitAndConfigThread& t) { showIcpPhase(t.icpPhase); }

// The message of a scan that found no crate keeps its first line and says, below it, how to
// try the program without hardware: the package ships the simulated crate server and a
// menu entry and command that start the window against it.
static QString withSimulatorHint(const QString& text)
{
    if (text != scanFailureMessage(ScanResult::NoCrateList))
        return text;
    return text + "\n\n" +
           "Без оборудования программу можно опробовать с имитатором крейта: пункт меню "
           "«Измеритель QMX58 (имитатор крейта)» («QMX58 Probe (simulated crate)») или команда "
           "qmx58-probe-demo в терминале.";
}

void TMainForm::discoveryShowMessage(TInitAndConfigThread& t)
{
    ShowDiscoveryMessage(t.messageShown, withSimulatorHint(t.pendingMessage));
}

void TMainForm::discoveryFinish(TInitAndConfigThread& t)
{
    const std::uint8_t guard = UpdateGuard;
    UpdateGuard = 1;
    const bool usable = Discovery.moduleState == 2;
    // The detection group: all of it for a usable module, else the find button and the lists.
    if (usable) {
        SetControlsEnabled(ModuleDetectionLMDGroupBox, true, false);
        SaveSettingsButton->setEnabled(!AutoSaveSettingsLMDCheckBox->isChecked());
        ModuleDetectionLMDGroupBox->repaint();
    } else {
        ModuleDetectionLMDGroupBox->setEnabled(true);
        FindDeviceLMDButton->setEnabled(true);
        SetControlsEnabled(SelectedModuleLMDSimplePanel, true, false);
    }
    // The main panel and page 0.
    MainLMDSimplePanel->setEnabled(true);
    MainLMDPageControl->setEnabled(true);
    MultimeterLMDTabSheet->setEnabled(true);
    // For a usable module: the acquisition controls, the channel panels and START.
    if (usable) {
        bool icpInUse = false;
        if (moduleIcpCapable())
            for (TQmx58AdcChannelFrame* f : Frames)
                icpInUse = icpInUse || f->InputConnectionModeLMDComboBox->currentIndex() == 2;
        QWidget* stream = MultimeterLMDSimplePanel->findChild<QWidget*>("AdcStreamLMDSimplePanel");
        stream->setEnabled(true);
        SetControlsEnabled(AdcGroupParsLMDGroupBox, true, icpInUse);
        AdcIndividualParsLMDGroupBox->setEnabled(true);
        AdcIndividualParsLMDScrollBox->setEnabled(true);
        AdcIndividualParsLMDSimplePanel->setEnabled(true);
        EnableChannelPanels();
        StartMultimeterLMDSpeedButton->setEnabled(true);
        StartMultimeterLMDSimplePanel->setVisible(true);
        StartMultimeterLMDSimplePanel->setEnabled(true);
        MultimeterLMDSimplePanel->setEnabled(true);
    }
    setDeviceActionsEnabled(true);
    // The run's settings file released, the cursor restored.
    t.settingsFile.reset();
    if (_savedCursor) {
        QApplication::restoreOverrideCursor();
        _savedCursor = false;
    }
    UpdateGuard = guard;
}

void TMainForm::setDeviceActionsEnabled(bool on)
{
    // The menu items and their short cuts that save the settings read the discovery table and
    // the module handle, which a discovery run writes on its own thread: they are locked with
    // the device controls, so no key press can reach them while a run goes on.
    // The measurement settings write the file too, and a run's LoadSettings would overwrite
    // them: they are locked with them.
    for (QAction* a : {SaveCurrentSettings, SaveDefaultSettings, MethodFftAction, MethodSumAction, AmplitudeRmsAction,
                       AmplitudeAmpAction, AcquisitionTimeAction})
        a->setEnabled(on);
}

void TMainForm::SetControlsEnabled(QWidget* panel, bool on, bool icpInUse)
{
    panel->setEnabled(on);
    if (on && panel == AdcIndividualParsLMDSimplePanel)
        return;  // the channel panels keep their own states
    for (QObject* o : panel->children()) {
        auto* child = qobject_cast<QWidget*>(o);
        if (!child || child->isWindow())
            continue;
        // Qt's own inner widgets (a page stack, a scroll viewport, a combo box's parts) are
        // passed through, not switched: only the window's named controls are.
        const bool ours = !child->objectName().isEmpty() && !child->objectName().startsWith("qt_");
        if (!child->children().isEmpty())
            SetControlsEnabled(child, on, icpInUse);
        if (!ours) {
            child->setEnabled(true);
            continue;
        }
        bool state = on;
        if (on && (child == CurrentValueLMDComboBox || child == CurrentValueLabLMDLabel))
            state = moduleIcpCapable() && icpInUse;
        if (on && child == PhaseCorrectionFilterMultimeterLMDCheckBox)
            state = moduleIcpCapable() && CommonInputConnectionModeLMDComboBox->currentIndex() == 2;
        child->setEnabled(state);
    }
}

QPoint TMainForm::placeOnWorkAreas(std::int64_t left, std::int64_t top, const QSize& size) const
{
    // In 64 bits: a position read from the file may lie anywhere in 32 bits, where adding the
    // window's size would overflow.
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (const QScreen* s : screens) {
        const QRect a = s->availableGeometry();
        if (left >= a.left() && left <= a.right() && top >= a.top() && top <= a.bottom())
            return QPoint(static_cast<int>(left), static_cast<int>(top));
    }
    const QRect area = screens.isEmpty() ? QRect(0, 0, 1280, 768) : screens.first()->availableGeometry();
    const std::int64_t maxLeft = std::max<std::int64_t>(area.left(), std::int64_t(area.right()) + 1 - size.width());
    const std::int64_t maxTop = std::max<std::int64_t>(area.top(), std::int64_t(area.bottom()) + 1 - size.height());
    return QPoint(static_cast<int>(std::clamp<std::int64_t>(left, area.left(), maxLeft)),
                  static_cast<int>(std::clamp<std::int64_t>(top, area.top(), maxTop)));
}

}  // namespace qmx
