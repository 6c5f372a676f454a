// The settings file on the window: factory and current settings, loading them into the
// window, and the handlers that save.

#include "MainForm.h"

#include "ChannelRecord.h"
#include "NumberFormat.h"
#include "OperatorSettings.h"
#include "RateTable.h"
#include "WorkerThread.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

#include <exception>
#include <functional>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace qmx {
namespace {

namespace S = settings;

constexpr const char* kDefaultCaption = "ОШИБКА CreateDefaultIniFile()!";
constexpr const char* kSaveCaption = "ОШИБКА SaveIniFile()!!!";

void refillConnectionModes(QComboBox* c, bool icp)
{
    c->clear();
    const int n = icp ? 3 : 2;
    for (int i = 0; i < n; ++i)
        c->addItem(QString::fromUtf8(TQmx58AdcChannelFrame::kConnectionModeTexts[i]));
    c->setMaxVisibleItems(n);
    c->setCurrentIndex(-1);
}

}  // namespace

std::unique_ptr<IniFile> TMainForm::EnsureSettingsFile(QString& message)
{
    const QString path = settingsPath();
    const std::string file = settingsFile();
    if (::access(file.c_str(), F_OK) != 0) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd < 0) {
            message = "Не могу создать файл настроек!";
            return nullptr;
        }
        ::close(fd);
        // A failure has shown its own message; the run goes on without a settings file.
        try {
            if (!CreateDefaultIniFile(path))
                return nullptr;
        } catch (const IniWriteError&) {
            return nullptr;
        }
    }
    try {
        return std::make_unique<IniFile>(file);
    } catch (const std::bad_alloc&) {
        message = "Не могу выделить память под файл настроек!";
        return nullptr;
    }
}

bool TMainForm::CreateDefaultIniFile(const QString& path)
{
    _settingsFile.reset();
    if (path.isEmpty()) {
        dialogs().messageBox(this, "Неправильное название файла штатных настроек!", kDefaultCaption, MsgIcon::Information);
        return false;
    }
    try {
        _settingsFile = std::make_unique<IniFile>(fileBytes(path));
    } catch (const std::bad_alloc&) {
        dialogs().messageBox(this, "Не могу создать файл штатных настроек '" + path + "'!", kDefaultCaption,
                             MsgIcon::Information);
        return false;
    }
    IniFile& f = *_settingsFile;
    // The whole factory file is one replacement of the file. A part whose writes are refused
    // shows its message and ends the routine; the write error itself goes on to the caller,
    // which reports it with the file's path.
    IniFile::Update update(f);
    auto part = [&](const char* message, const std::function<void()>& writes) {
        try {
            writes();
            f.UpdateFile();
        } catch (const IniWriteError&) {
            dialogs().messageBox(this, message, kDefaultCaption, MsgIcon::Information);
            throw;
        }
    };
    part("Не могу создать файл обычных настроек для приложения!", [&] { writeFactoryApplicationSettings(f); });
    part("Не могу создать файл обычных настроек для модуля!", [&] { writeFactoryModuleSettings(f); });
    try {
        update.commit();
    } catch (const IniWriteError&) {
        // Nothing reached the file: the application part is the first that is missing.
        dialogs().messageBox(this, "Не могу создать файл обычных настроек для приложения!", kDefaultCaption,
                             MsgIcon::Information);
        throw;
    }
    return true;
}

void TMainForm::SaveIniFile(const QString& path)
{
    _settingsFile.reset();
    _settingsFile = std::make_unique<IniFile>(fileBytes(path));
    IniFile& f = *_settingsFile;
    // Both parts are one replacement of the file. A part whose writes are refused shows its
    // message and the next part is still tried; when the file system refuses the replacement,
    // each part that has not reported yet shows its message. The first write error then goes
    // on to the caller, which reports it with the file's path (and, on closing, keeps the
    // window open).
    IniFile::Update update(f);
    std::exception_ptr failure;
    std::vector<const char*> unreported;
    auto part = [&](const char* message, const std::function<void()>& writes) {
        try {
            writes();
            f.UpdateFile();
            unreported.push_back(message);
        } catch (const IniWriteError&) {
            if (!failure)
                failure = std::current_exception();
            dialogs().messageBox(this, message, kSaveCaption, MsgIcon::Information);
        }
    };
    part("Не могу сохранить файл настроек приложения!", [&] {
        f.WriteBool(S::kApp, S::kAutoSave, AutoSaveSettingsLMDCheckBox->isChecked());
        f.WriteInteger(S::kApp, S::kWindowTop, frameGeometry().top());
        f.WriteInteger(S::kApp, S::kWindowLeft, frameGeometry().left());
        const int crate = QmxCratesComboBox->currentIndex();
        if (crate >= 0 && crate < Discovery.crateCount && crate < DiscoveryTable::kMaxCrates) {
            f.WriteString(S::kDiscovery, S::kCrateSerial,
                          QString::fromLatin1(Discovery.crateSerials[crate],
                                              static_cast<int>(qstrnlen(Discovery.crateSerials[crate], DiscoveryTable::kTextSize)))
                              .toStdString());
            const int module = ModulesComboBox->currentIndex();
            if (module >= 0 && module < Discovery.moduleCounts[crate] && module < DiscoveryTable::kMaxSlots)
                f.WriteInteger(S::kDiscovery, S::kModuleSlot, Discovery.moduleSlots[crate][module]);
        }
    });
    part("Не могу сохранить файл настроек модуля!",
         [&] { writeOperatorSettings(f, operatorSettingsOfWindow(), moduleIcpCapable()); });
    try {
        update.commit();
    } catch (const IniWriteError&) {
        if (!failure)
            failure = std::current_exception();
        for (const char* message : unreported)
            dialogs().messageBox(this, message, kSaveCaption, MsgIcon::Information);
    }
    if (failure)
        std::rethrow_exception(failure);
}

bool TMainForm::LoadSettings(IniFile* file, bool)
{
    // Without a file object nothing is loaded.
    if (!file)
        return false;
    const IniFile& f = *file;
    const bool icp = moduleIcpCapable();
    // The operator's settings as the command line reads them too; the window only shows them.
    const OperatorSettings s = readOperatorSettings(f, icp);
    // Auto-save; the check box's own handler sets the Save button.
    AutoSaveSettingsLMDCheckBox->setChecked(f.ReadBool(S::kApp, S::kAutoSave, S::kAutoSaveDefault));
    // The measurement settings that only the file changes.
    ComputationMethod = QString::fromStdString(s.computationMethod);
    AmplitudeType = QString::fromStdString(s.amplitudeType);
    ComputationModeLabLMDLabel->setText(ComputationMethod);
    AmplitudeTypeLabLMDLabel->setText(AmplitudeType);
    MaxAcquisitionTime = s.maxAcquisitionTime;
    showMeasurementSettings();
    // Data width, ICP current, rate and the reference channel.
    UpdateGuard = 1;
    DataFormatLMDComboBox->setCurrentIndex(s.dataFormat);
    CurrentValueLMDComboBox->setCurrentIndex(s.currentSource);
    AdcRateComboBox->setCurrentIndex(s.rateIndex);
    ReferenceChannel = static_cast<std::uint16_t>(s.referenceChannel);
    // A reference outside the four panels checks no button; the acquisition start then reports
    // that the reference channel is not active.
    if (ReferenceChannel < 4)
        Frames[ReferenceChannel]->BasePhaseChannelLMDRadioButton->setChecked(true);
    UpdateGuard = 0;
    // Precisions: the low 16 bits, at most 10.
    auto readPrecision = [&](S::PrecisionRow row, int rangeIndex, double range) {
        const std::int32_t raw = f.ReadInteger(S::kModule, S::precisionKey(row, range), S::kPrecisionRows[row].defaultDigits);
        std::uint16_t digits = static_cast<std::uint16_t>(static_cast<std::uint32_t>(raw) & 0xFFFFu);
        if (digits > S::kMaxPrecision)
            digits = S::kMaxPrecision;
        Precision[row][rangeIndex] = digits;
        DisplayMask[row][rangeIndex] = displayMask(digits);
    };
    for (int r = 0; r < 2; ++r)
        for (S::PrecisionRow row : {S::DcDiff, S::AcDiff, S::FrDiff, S::PhDiff})
            readPrecision(row, r, DiffRanges[r]);
    for (int r = 0; r < 2; ++r)
        for (S::PrecisionRow row : {S::AcIcp, S::FrIcp, S::PhIcp})
            readPrecision(row, r, IcpRanges[r]);
    // The common selectors; the connection mode decides which of them are visible.
    UpdateGuard = 1;
    refillConnectionModes(CommonInputConnectionModeLMDComboBox, icp);
    CommonInputConnectionModeLMDComboBox->setCurrentIndex(s.groupConnectionMode);
    const int gm = s.groupConnectionMode;
    CommonDiffInputRangeLMDComboBox->setVisible(gm != 2);
    CommonIcpInputRangeLMDComboBox->setVisible(gm == 2);
    CommonComputationMethodLMDComboBox->setVisible(!(gm == 1 || gm == 2));
    ComputationModeLMDLabel->setVisible(gm == 1 || gm == 2);
    ComputationModeLMDLabel->setText("AC");
    CommonDiffInputRangeLMDComboBox->setCurrentIndex(s.groupDiffRange);
    CommonIcpInputRangeLMDComboBox->setCurrentIndex(s.groupIcpRange);
    CommonComputationMethodLMDComboBox->setCurrentIndex(s.groupMethod);
    // Each channel: on or off, and its mode, ranges and DC/AC.
    for (int ch = 0; ch < 4; ++ch) {
        TQmx58AdcChannelFrame* fr = Frames[ch];
        const OperatorChannelSettings& c = s.channels[static_cast<std::size_t>(ch)];
        fr->ChannelNumberLMDCheckBox->setChecked(c.enabled);
        refillConnectionModes(fr->InputConnectionModeLMDComboBox, icp);
        fr->InputConnectionModeLMDComboBox->setCurrentIndex(c.connectionMode);
        fr->DiffInputRangeLMDComboBox->setVisible(c.connectionMode != 2);
        fr->IcpInputRangeLMDComboBox->setVisible(c.connectionMode == 2);
        fr->DiffInputRangeLMDComboBox->setCurrentIndex(c.diffRange);
        fr->IcpInputRangeLMDComboBox->setCurrentIndex(c.icpRange);
        fr->ComputationMethodLMDComboBox->setCurrentIndex(c.method);
    }
    // The phase filter for an ICP-capable module, and the all-channels check box.
    PhaseCorrectionFilterMultimeterLMDCheckBox->setChecked(icp);
    updateAllChannelsCheckState();
    UpdateGuard = 0;
    // The module's tables and configuration. A failure of the module call is not reported and
    // does not change the result.
    if (Discovery.moduleState == 2) {
        if (_moduleCallsOnWorker) {
            LoadCorrectionCoefs(false);
            fillHandleFromWindow();
            _moduleCallsPending = true;
        } else {
            LoadCorrectionCoefs();
            applySettingsToModule();
        }
    }
    return true;
}

OperatorSettings TMainForm::operatorSettingsOfWindow() const
{
    OperatorSettings s;
    s.dataFormat = DataFormatLMDComboBox->currentIndex();
    s.currentSource = CurrentValueLMDComboBox->currentIndex();
    s.rateIndex = AdcRateComboBox->currentIndex();
    s.groupConnectionMode = CommonInputConnectionModeLMDComboBox->currentIndex();
    s.groupDiffRange = CommonDiffInputRangeLMDComboBox->currentIndex();
    s.groupIcpRange = CommonIcpInputRangeLMDComboBox->currentIndex();
    s.groupMethod = CommonComputationMethodLMDComboBox->currentIndex();
    for (int ch = 0; ch < 4; ++ch) {
        const TQmx58AdcChannelFrame* fr = Frames[static_cast<std::size_t>(ch)];
        OperatorChannelSettings& c = s.channels[static_cast<std::size_t>(ch)];
        c.enabled = fr->ChannelNumberLMDCheckBox->isChecked();
        c.connectionMode = fr->InputConnectionModeLMDComboBox->currentIndex();
        c.diffRange = fr->DiffInputRangeLMDComboBox->currentIndex();
        c.icpRange = fr->IcpInputRangeLMDComboBox->currentIndex();
        c.method = fr->ComputationMethodLMDComboBox->currentIndex();
    }
    return s;
}

int TMainForm::applySettingsToModule()
{
    fillHandleFromWindow();
    return QMX58_SetADC(&ModuleHandle);
}

void TMainForm::fillHandleFromWindow()
{
    for (int ch = 0; ch < 4; ++ch) {
        const TQmx58AdcChannelFrame* fr = Frames[ch];
        fillChannelRecord(ModuleHandle.channels[ch], fr->ChannelNumberLMDCheckBox->isChecked(),
                          fr->InputConnectionModeLMDComboBox->currentIndex(), fr->DiffInputRangeLMDComboBox->currentIndex(),
                          fr->IcpInputRangeLMDComboBox->currentIndex());
    }
    const int rate = AdcRateComboBox->currentIndex();
    if (rate >= 0 && rate < static_cast<int>(Qmx58RateTable.size()))
        ModuleHandle.rateCode = Qmx58RateTable[static_cast<std::size_t>(rate)].code;
    ModuleHandle.dataFormat = static_cast<std::uint8_t>(qMax(0, DataFormatLMDComboBox->currentIndex()));
    ModuleHandle.icpCurrentSource = static_cast<std::uint8_t>(qMax(0, CurrentValueLMDComboBox->currentIndex()));
    ModuleHandle.zeroField = 0;
}

// ---- handlers

void TMainForm::AutoSaveSettingsLMDCheckBoxChange()
{
    if (UpdateGuard)
        return;
    UpdateGuard = 1;
    SaveSettingsButton->setEnabled(!AutoSaveSettingsLMDCheckBox->isChecked());
    UpdateGuard = 0;
}

void TMainForm::SaveSettingsButtonClick()
{
    if (UpdateGuard)
        return;
    UpdateGuard = 1;
    SaveSettingsButton->setEnabled(false);
    try {
        SaveIniFile(settingsPath());
        WaitWhileServing([deadline = QDeadlineTimer(500)] { return deadline.hasExpired(); });
    } catch (const std::exception& e) {
        // A refused write must not leave the window with a dead Save button or a stuck guard.
        SaveSettingsButton->setEnabled(true);
        UpdateGuard = 0;
        reportError(QString::fromUtf8(e.what()));
        return;
    }
    SaveSettingsButton->setEnabled(true);
    UpdateGuard = 0;
}

void TMainForm::SaveCurrentSettingsClick() { SaveSettingsButtonClick(); }

void TMainForm::SaveDefaultSettingsClick()
{
    try {
        CreateDefaultIniFile(settingsPath());
    } catch (const std::exception& e) {
        reportError(QString::fromUtf8(e.what()));
    }
}

void TMainForm::reportError(const QString& text)
{
    dialogs().messageBox(this, text, QGuiApplication::applicationDisplayName(), MsgIcon::Error);
}

}  // namespace qmx
