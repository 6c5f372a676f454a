// The discovery run's routines on the window thread: Prepare, Restore position, Scan and
// open, Show status, Apply settings, Show message, Finish, and the library version check.

#include "MainForm.h"

#include "CrateTypes.h"
#include "FileVersionInfo.h"
#include "Led.h"
#include "qmxapi.h"

#include <QAction>
#include <QApplication>
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
namespace {

QString serialText(const char* bytes)
{
    return QString::fromLatin1(bytes, static_cast<int>(strnlen(bytes, DiscoveryTable::kTextSize)));
}

// Copies a serial into a 16-byte field, byte 15 always NUL.
void copySerial(char (&dst)[DiscoveryTable::kTextSize], const char* src)
{
    std::memset(dst, 0, sizeof dst);
    std::memcpy(dst, src, strnlen(src, DiscoveryTable::kTextSize - 1));
}

}  // namespace

void TMainForm::discoveryPrepare(TInitAndConfigThread& t)
{
    setContextMenuEnabled(false);  // from the first discovery on; the short cuts stay
    // 1.
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
    // 7. Neither a settings-file nor a version problem stops the run.
    t.messageShown = false;
}

void TMainForm::checkLibraryVersions(TInitAndConfigThread& t)
{
    struct Library {
        QString file;
        const char* name;
    };
    const Library libs[2] = {
        {_options.crateLibraryFile.isEmpty()
             ? QString::fromStdString(platform::FileVersionInfo::pathOfLoadedObject(reinterpret_cast<const void*>(&QMX_Init)))
             : _options.crateLibraryFile,
         "Qmxapi.dll"},
        {_options.moduleLibraryFile.isEmpty()
             ? QString::fromStdString(platform::FileVersionInfo::pathOfLoadedObject(reinterpret_cast<const void*>(&QMX58_Init)))
             : _options.moduleLibraryFile,
         "Qmx58api.dll"},
    };
    for (const Library& lib : libs) {
        const auto v = platform::FileVersionInfo::read(lib.file.toStdString());
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

bool TMainForm::discoveryScanAndOpen(TInitAndConfigThread& t)
{
    t.messageShown = false;
    DiscoveryTable& d = Discovery;
    const std::uint8_t guard = UpdateGuard;
    UpdateGuard = 1;
    struct GuardRestore {
        TMainForm& f;
        std::uint8_t g;
        ~GuardRestore() { f.UpdateGuard = g; }
    } restore{*this, guard};

    // 1.
    ModulesComboBox->clear();
    ModulesComboBox->setMaxVisibleItems(1);
    // 2. The crate list.
    QmxCrateConnection conn{};
    std::memset(d.rawSerials, 0, sizeof d.rawSerials);
    d.rawCrateCount = 0;
    conn.channel = 0;
    bool listed = QMX_Init(&conn) == 0 && QMX_Open(&conn) == 0;
    listed = listed && QMX_GetCrates(&conn, d.rawSerials) == 0;
    QMX_Close(&conn);
    if (!listed) {
        t.ShowMessage("Не могу найти ни одного QMX крейта!");
        return false;
    }
    // 3. Type and modules of every listed crate.
    std::memset(d.rawCrateTypes, 0, sizeof d.rawCrateTypes);
    std::memset(d.rawModuleIds, 0, sizeof d.rawModuleIds);
    for (int i = 0; i < DiscoveryTable::kMaxCrates; ++i) {
        if (d.rawSerials[i][0] == '\0')
            continue;
        d.rawSerials[i][DiscoveryTable::kTextSize - 1] = '\0';
        ++d.rawCrateCount;
        QmxCrateConnection c{};
        QMX_Init(&c);
        copySerial(c.serialNumber, d.rawSerials[i]);
        QmxCrateInfo info{};
        const bool ok = QMX_Open(&c) == 0 && QMX_GetCrateInfo(&c, &info) == 0 && QMX_GetCrateModules(&c, d.rawModuleIds[i]) == 0;
        QMX_Close(&c);
        if (!ok)
            return false;
        d.rawCrateTypes[i] = info.crateType;
    }
    // 4. The crates that hold usable QMX58 modules, in list order.
    d.crateCount = 0;
    std::memset(d.crateSerials, 0, sizeof d.crateSerials);
    std::memset(d.crateTypes, 0, sizeof d.crateTypes);
    std::memset(d.moduleSlots, 0, sizeof d.moduleSlots);
    std::memset(d.moduleCounts, 0, sizeof d.moduleCounts);
    std::memset(d.moduleSerials, 0, sizeof d.moduleSerials);
    std::memset(d.icpCapable, 0, sizeof d.icpCapable);
    Qmx58Handle& h = ModuleHandle;
    int j = 0;
    for (int i = 0; i < DiscoveryTable::kMaxCrates && j < DiscoveryTable::kMaxCrates; ++i) {
        if (d.rawSerials[i][0] == '\0')
            continue;
        for (int k = 1; k <= DiscoveryTable::kMaxSlots; ++k) {
            if (d.rawModuleIds[i][k - 1] != QMX_MODULE_ID_QMX58)
                continue;
            if (QMX58_IsOpened(&h) == 0)
                QMX58_Close(&h);
            if (QMX58_Open(&h, 0x7F000001, 11111, d.rawSerials[i], static_cast<std::uint16_t>(k)) != 0)
                continue;
            if (d.crateTypes[j] == 0) {
                // The first module of the crate: the open already reported serial and ICP.
                d.crateTypes[j] = d.rawCrateTypes[i];
            } else if (QMX58_GetConfig(&h) != 0) {
                continue;
            }
            const std::uint16_t m = d.moduleCounts[j];
            copySerial(d.moduleSerials[j][m], h.moduleInfo.serialNumber);
            d.icpCapable[j][m] = h.moduleInfo.icpCapable;
            d.moduleSlots[j][m] = static_cast<std::uint16_t>(k);
            d.moduleCounts[j] = static_cast<std::uint16_t>(m + 1);
        }
        if (d.moduleCounts[j] > 0) {
            copySerial(d.crateSerials[j], d.rawSerials[i]);
            ++j;
        }
    }
    d.crateCount = static_cast<std::uint16_t>(j);
    if (QMX58_IsOpened(&h) == 0)
        QMX58_Close(&h);
    // 5.
    if (d.crateCount == 0) {
        t.ShowMessage(QString("Не могу найти ни одного QMX крейта, где бы был установлен модуль ") + "QMX58" + "!");
        return false;
    }
    // 6. The target crate and module, else the first ones.
    d.selectedCrateIndex = 0;
    bool targetFound = false;
    for (int c = 0; c < d.crateCount; ++c)
        if (serialText(d.crateSerials[c]) == t.targetSerial) {
            d.selectedCrateIndex = static_cast<std::uint16_t>(c);
            targetFound = true;
            break;
        }
    // The target slot is a slot of the target crate: in another crate it means nothing, and
    // that crate's first module is taken.
    for (int c = 0; c < d.crateCount; ++c) {
        d.selectedModuleIndex[c] = 0;
        if (c != d.selectedCrateIndex || !targetFound)
            continue;
        for (int m = 0; m < d.moduleCounts[c]; ++m)
            if (d.moduleSlots[c][m] == t.targetSlot) {
                d.selectedModuleIndex[c] = static_cast<std::uint16_t>(m);
                break;
            }
    }
    // 7. The crate list.
    QmxCratesComboBox->clear();
    for (int c = 0; c < d.crateCount; ++c)
        QmxCratesComboBox->addItem(QString::number(c + 1) + ": " + serialText(d.crateSerials[c]));
    QmxCratesComboBox->setMaxVisibleItems(d.crateCount);
    QmxCratesComboBox->setCurrentIndex(d.selectedCrateIndex);
    SelectedCrateTypeCode = d.crateTypes[d.selectedCrateIndex];
    d.crateOk = 1;
    // 8. The module list.
    discoveryRebuildModuleList();
    // 9. Open the selected module.
    if (QMX58_IsOpened(&h) == 0)
        QMX58_Close(&h);
    QMX58_Init(&h);
    const std::uint16_t c = d.selectedCrateIndex;
    if (QMX58_Open(&h, 0x7F000001, 11111, d.crateSerials[c], d.moduleSlots[c][d.selectedModuleIndex[c]]) == 0 &&
        QMX58_GetConfig(&h) == 0) {
        d.moduleState = 1;
        return true;
    }
    return false;
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
    if (!LoadSettings(t.settingsFile.get(), t.fromSettings()))
        t.ShowMessage("Не могу проинициализировать параметры работы приложения!");
}

void TMainForm::discoveryShowMessage(TInitAndConfigThread& t) { ShowDiscoveryMessage(t.messageShown, t.pendingMessage); }

void TMainForm::discoveryFinish(TInitAndConfigThread& t)
{
    const std::uint8_t guard = UpdateGuard;
    UpdateGuard = 1;
    const bool usable = Discovery.moduleState == 2;
    // 1.
    if (usable) {
        SetControlsEnabled(ModuleDetectionLMDGroupBox, true, false);
        SaveSettingsButton->setEnabled(!AutoSaveSettingsLMDCheckBox->isChecked());
        ModuleDetectionLMDGroupBox->repaint();
    } else {
        ModuleDetectionLMDGroupBox->setEnabled(true);
        FindDeviceLMDButton->setEnabled(true);
        SetControlsEnabled(SelectedModuleLMDSimplePanel, true, false);
    }
    // 2.
    MainLMDSimplePanel->setEnabled(true);
    MainLMDPageControl->setEnabled(true);
    MultimeterLMDTabSheet->setEnabled(true);
    // 3.
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
    // 4.
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
    for (QAction* a : {SaveCurrentSettings, SaveDefaultSettings})
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
