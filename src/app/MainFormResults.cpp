// The window side of a measurement run: start-up information, the run-start reset with the
// settings snapshot, what the configuration step reads, the per-frame display of the
// readings, the LED update, the run finish and the run's failure message. Everything here runs
// on the window thread while the acquisition thread waits in a synchronised call.

#include "MainForm.h"

#include "NumberFormat.h"
#include "Readings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QToolButton>

#include <cmath>
#include <cstring>

namespace qmx {
namespace {

namespace S = settings;

const QColor kValueColor(0, 255, 0);     // lime
const QColor kOverloadColor(255, 0, 0);  // red
// A finished run's readings stay on screen dimmed: nothing there is live any more.
const QColor kHeldValueColor(0, 112, 0);
const QColor kHeldOverloadColor(128, 0, 0);
const QColor kRunningCaptionColor(255, 0, 0);
const QColor kIdleCaptionColor(0, 128, 0);
const QString kStartCaption = "С   Т   А   Р   Т";
const QString kStopCaption = "С   Т   О   П";

void showValue(QLineEdit* box, const QString& text, const QColor& colour)
{
    box->setEnabled(true);
    setPaletteColor(box, QPalette::Text, colour);
    box->setText(text);
}

void showPlaceholder(QLineEdit* box, bool disable)
{
    if (disable)
        box->setEnabled(false);
    box->setText(TQmx58AdcChannelFrame::kPlaceholder);
}

int rangeIndex(int index) { return index == 1 ? 1 : 0; }

}  // namespace

QString TMainForm::resultMask(int row, int range) const
{
    const QString& mask = DisplayMask[row][rangeIndex(range)];
    return mask.isEmpty() ? displayMask(S::kPrecisionRows[row].defaultDigits) : mask;
}

void TMainForm::setStartButtonCaption(bool running)
{
    StartMultimeterLMDSpeedButton->setText(running ? kStopCaption : kStartCaption);
    setPaletteColor(StartMultimeterLMDSpeedButton, QPalette::ButtonText, running ? kRunningCaptionColor : kIdleCaptionColor);
}

void TMainForm::acquisitionStartup(StartupInfo& info)
{
    FormActivate();  // the decimal separator
    info.MultimeterPageActive = multimeterPageActive();
    const std::uint16_t crate = Discovery.selectedCrateIndex;
    info.CrateType = crate < DiscoveryTable::kMaxCrates ? Discovery.crateTypes[crate] : 0;
    const char* name = ModuleHandle.moduleInfo.moduleName;
    info.ModuleName = QString::fromLatin1(name, static_cast<int>(strnlen(name, sizeof ModuleHandle.moduleInfo.moduleName)));
}

void TMainForm::acquisitionBeginRun(RunSettings& s)
{
    // The reset.
    setStartButtonCaption(true);
    VoltmeterValueLMDLabel->setText(QString());
    for (TQmx58AdcChannelFrame* f : Frames) {
        setPaletteColor(f->Value1LMDEdit, QPalette::Text, kValueColor);
        f->Value1LMDEdit->setText(QString());
        for (QLabel* l : {f->Value1LabLMDLabel, f->Value2LabLMDLabel, f->Value3LabLMDLabel})
            l->setText(QString());
        f->Value2LMDEdit->setText(QString());
        f->Value3LMDEdit->setText(QString());
        f->SetFlashLedMode(2);
    }
    _shownStatus.fill(ChannelStatus::Ok);
    describeReadings(false);
    // A recording that goes on into this run gets its lines first.
    if (_recording)
        _recordRunInfoDue = true;
    // The snapshot.
    const bool icp = moduleIcpCapable();
    for (int ch = 0; ch < 4; ++ch) {
        const TQmx58AdcChannelFrame* f = Frames[static_cast<std::size_t>(ch)];
        ChannelSnapshot& c = s.Channels[static_cast<std::size_t>(ch)];
        c.InputMode = f->InputConnectionModeLMDComboBox->currentIndex();
        c.DiffRange = f->DiffInputRangeLMDComboBox->currentIndex();
        c.IcpRange = f->IcpInputRangeLMDComboBox->currentIndex();
        c.ChannelMode = c.InputMode != 0 ? 1 : f->ComputationMethodLMDComboBox->currentIndex();
    }
    s.DataFormat = DataFormatLMDComboBox->currentIndex();
    s.CurrentSource = icp ? CurrentValueLMDComboBox->currentIndex() : 0;
    // The ICP phase filter from the first frame on as for every later one: the check box
    // (the common selector may be blank while the channels use ICP).
    s.PhaseCorrection = icp && PhaseCorrectionFilterMultimeterLMDCheckBox->isChecked();
    s.ComputationMethod = ComputationMethod.toStdString();
    s.AmplitudeType = AmplitudeType.toStdString();
    s.AcquisitionTime = MaxAcquisitionTime;
}

void TMainForm::acquisitionReadConfiguration(ConfigurationInputs& in)
{
    for (int ch = 0; ch < 4; ++ch)
        in.ChannelEnabled[static_cast<std::size_t>(ch)] = Frames[static_cast<std::size_t>(ch)]->ChannelNumberLMDCheckBox->isChecked();
    in.RateIndex = AdcRateComboBox->currentIndex();
    in.ReferenceChannel = ReferenceChannel;
}

int TMainForm::pauseMs(RunPause which)
{
    // The window's pacing: every LED goes blank for 100 ms once per frame, a visible blink.
    switch (which) {
    case RunPause::AfterReset:
    case RunPause::AfterTime:
        return 50;
    case RunPause::BeforeRun:
    case RunPause::BeforeFirstFrame:
    case RunPause::BeforeLeds:
    case RunPause::BeforeFinish:
        return 100;
    }
    return 100;
}

void TMainForm::acquisitionShowTime(const QString& milliseconds) { AcquisitionTimeLMDLabel->setText(milliseconds); }

void TMainForm::acquisitionDisplay(RunSettings& s, const FrameResults& r)
{
    // The reference channel and the phase filter as the operator has them now.
    if (ReferenceChannel < 4)
        s.ReferenceChannel = ReferenceChannel;
    s.PhaseCorrection = PhaseCorrectionFilterMultimeterLMDCheckBox->isChecked();
    // Every LED blank until the update.
    for (TQmx58AdcChannelFrame* f : Frames)
        f->SetFlashLedMode(2);
    // What each channel's readings are is decided in one place for the panels, the recording
    // and the command line; here they are only laid out.
    const bool fft = s.ComputationMethod == "fft";
    const std::array<ChannelReading, 4> readings = decideReadings(s, r);
    for (std::size_t ch = 0; ch < 4; ++ch) {
        TQmx58AdcChannelFrame* f = Frames[ch];
        const ChannelSnapshot& c = s.Channels[ch];
        const ChannelReading& reading = readings[ch];
        _shownStatus[ch] = reading.status;
        _shownWhy[ch] = reading.why;
        f->FlashLed->setToolTip(reading.why);
        f->Value2LMDEdit->setToolTip(reading.why);
        f->Value3LMDEdit->setToolTip(reading.why);
        auto spectralLabels = [&](bool on) {
            f->Value2LabLMDLabel->setText(on ? "Частота" : QString());
            f->Value2LabUnitLMDLabel->setText(on ? "кГц" : QString());
            f->Value3LabLMDLabel->setText(on ? "Фаза" : QString());
            f->Value3LabUnitLMDLabel->setText(on ? "Град" : QString());
        };
        auto voltageLabels = [&] {
            f->Value1LabLMDLabel->setText("Напряжение");
            f->Value1LabUnitLMDLabel->setText("мВ");
        };
        if (reading.status == ChannelStatus::Off) {
            for (QLineEdit* box : {f->Value1LMDEdit, f->Value2LMDEdit, f->Value3LMDEdit})
                showPlaceholder(box, true);
            continue;
        }
        if (reading.status == ChannelStatus::Overload) {
            showValue(f->Value1LMDEdit, "OVERLOAD!", kOverloadColor);
            voltageLabels();
            showPlaceholder(f->Value2LMDEdit, true);
            showPlaceholder(f->Value3LMDEdit, true);
            spectralLabels(fft);
            continue;
        }
        if (c.ChannelMode != 0 && c.ChannelMode != 1)
            continue;
        if (!f->ChannelNumberLMDCheckBox->isChecked()) {
            _shownStatus[ch] = ChannelStatus::Off;
            for (QLineEdit* box : {f->Value1LMDEdit, f->Value2LMDEdit, f->Value3LMDEdit})
                showPlaceholder(box, false);
            f->Value1LabLMDLabel->setText(QString());
            f->Value1LabUnitLMDLabel->setText(QString());
            spectralLabels(false);
            continue;
        }
        const bool icpInput = c.InputMode == 2;
        const int range = rangeIndex(icpInput ? c.IcpRange : c.DiffRange);
        const int valueRow = c.ChannelMode == 0 ? S::DcDiff : icpInput ? S::AcIcp : S::AcDiff;
        const int maskRange = c.ChannelMode == 0 ? c.DiffRange : range;
        if (reading.valueMilliVolts)
            showValue(f->Value1LMDEdit, formatWithMask(*reading.valueMilliVolts, resultMask(valueRow, maskRange)), kValueColor);
        else
            showPlaceholder(f->Value1LMDEdit, false);
        voltageLabels();
        const bool spectral = c.ChannelMode == 1 && fft;
        if (spectral && reading.frequencyKiloHertz)
            showValue(f->Value2LMDEdit,
                      formatWithMask(*reading.frequencyKiloHertz, resultMask(icpInput ? S::FrIcp : S::FrDiff, range)),
                      kValueColor);
        else
            showPlaceholder(f->Value2LMDEdit, true);
        if (spectral && reading.phaseDegrees)
            showValue(f->Value3LMDEdit, formatWithMask(*reading.phaseDegrees, resultMask(icpInput ? S::PhIcp : S::PhDiff, range)),
                      kValueColor);
        else
            showPlaceholder(f->Value3LMDEdit, true);
        spectralLabels(spectral);
    }
    describeReadings(false);
}

void TMainForm::acquisitionUpdateLeds(const FrameResults& r)
{
    for (std::size_t ch = 0; ch < 4; ++ch) {
        TQmx58AdcChannelFrame* f = Frames[ch];
        if (!f->ChannelNumberLMDCheckBox->isChecked())
            f->SetFlashLedMode(2);
        else if (r.OverloadFlags[ch])
            f->SetFlashLedMode(1);
        else
            f->SetFlashLedMode(_shownStatus[ch] == ChannelStatus::Uncertain ? TQmx58AdcChannelFrame::kLedUncertain : 0);
    }
}

void TMainForm::acquisitionFinish()
{
    setStartButtonCaption(false);
    {
        // Releasing the button is not an operator's click.
        const QSignalBlocker block(StartMultimeterLMDSpeedButton);
        StartMultimeterLMDSpeedButton->setChecked(false);
    }
    AcquisitionTimeLMDLabel->setText("-----");
    MeasurementIdle = 1;
    showReadingsHeld();
    // A recording goes on across a restart for a changed setting; any other end of the run
    // ends it too, and says so.
    if (recording() && !_keepRecording)
        stopRecording("измерение остановлено");
}

void TMainForm::showReadingsHeld()
{
    for (TQmx58AdcChannelFrame* f : Frames) {
        for (QLineEdit* box : {f->Value1LMDEdit, f->Value2LMDEdit, f->Value3LMDEdit}) {
            const bool overload = box->text() == "OVERLOAD!";
            setPaletteColor(box, QPalette::Text, overload ? kHeldOverloadColor : kHeldValueColor);
        }
        f->SetFlashLedMode(2);
    }
    describeReadings(true);
}

void TMainForm::describeReadings(bool held)
{
    for (std::size_t ch = 0; ch < 4; ++ch) {
        TQmx58AdcChannelFrame* f = Frames[ch];
        struct Box { QLineEdit* box; QLabel* caption; QLabel* unit; const char* quantity; };
        const Box boxes[] = {{f->Value1LMDEdit, f->Value1LabLMDLabel, f->Value1LabUnitLMDLabel, "напряжение"},
                             {f->Value2LMDEdit, f->Value2LabLMDLabel, f->Value2LabUnitLMDLabel, "частота"},
                             {f->Value3LMDEdit, f->Value3LabLMDLabel, f->Value3LabUnitLMDLabel, "фаза"}};
        for (const Box& b : boxes) {
            const QString caption = b.caption->text().isEmpty() ? QString(b.quantity) : b.caption->text().toLower();
            const QString name = QString("Канал %1, %2").arg(ch + 1).arg(caption);
            const QString text = b.box->text().trimmed();
            QString value;
            if (text.isEmpty())
                value = "нет данных";
            else if (text == TQmx58AdcChannelFrame::kPlaceholder)
                value = "нет показания";
            else if (text == "OVERLOAD!")
                value = "перегрузка";
            else
                value = (text + " " + b.unit->text()).trimmed();
            QString state;
            if (value != "нет данных" && _shownStatus[ch] == ChannelStatus::Uncertain && !_shownWhy[ch].isEmpty())
                state = "; неточно: " + _shownWhy[ch];
            else if (b.box == f->Value1LMDEdit && _shownStatus[ch] == ChannelStatus::NoSignal)
                state = "; нет сигнала";
            if (held && !text.isEmpty())
                state += "; показание последнего кадра, измерение остановлено";
            b.box->setAccessibleName(name);
            b.box->setAccessibleDescription(name + ", " + value + state);
        }
    }
}

int TMainForm::acquisitionMessage(const QString& text)
{
    return dialogs().sizedMessageDialog(this, "Сообщение TMainThread::Execute()!!!", DialogKind::Error, {"Принято"}, text);
}

}  // namespace qmx
