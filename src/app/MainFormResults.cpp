// The window side of a measurement run: start-up information, the run-start reset with the
// settings snapshot, what the configuration step reads, the per-frame display of the
// readings, the LED update, the run finish and the run's failure message. Everything here runs
// on the window thread while the acquisition thread waits in a synchronised call.

#include "MainForm.h"

#include "NumberFormat.h"

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
    s.PhaseCorrection = icp && CommonInputConnectionModeLMDComboBox->currentIndex() == 2;
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
    // Each channel's readings, or why there are none.
    const bool fft = s.ComputationMethod == "fft";
    const std::size_t ref = static_cast<std::size_t>(s.ReferenceChannel);
    // A phase difference needs a phase of the reference: it is measured only on an AC channel
    // of this run that did not overload.
    const bool referencePhase = ref < 4 && r.ChannelActive[ref] && !r.OverloadFlags[ref] &&
                                s.Channels[ref].ChannelMode == 1 && std::isfinite(r.Phase[ref]);
    for (std::size_t ch = 0; ch < 4; ++ch) {
        TQmx58AdcChannelFrame* f = Frames[ch];
        const ChannelSnapshot& c = s.Channels[ch];
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
        if (!r.ChannelActive[ch]) {
            for (QLineEdit* box : {f->Value1LMDEdit, f->Value2LMDEdit, f->Value3LMDEdit})
                showPlaceholder(box, true);
            continue;
        }
        if (r.OverloadFlags[ch]) {
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
            for (QLineEdit* box : {f->Value1LMDEdit, f->Value2LMDEdit, f->Value3LMDEdit})
                showPlaceholder(box, false);
            f->Value1LabLMDLabel->setText(QString());
            f->Value1LabUnitLMDLabel->setText(QString());
            spectralLabels(false);
            continue;
        }
        const bool icpInput = c.InputMode == 2;
        const int range = rangeIndex(icpInput ? c.IcpRange : c.DiffRange);
        if (c.ChannelMode == 0) {
            showValue(f->Value1LMDEdit, formatWithMask(r.DcValue[ch] * 1000.0, resultMask(S::DcDiff, c.DiffRange)), kValueColor);
            voltageLabels();
            showPlaceholder(f->Value2LMDEdit, true);
            showPlaceholder(f->Value3LMDEdit, true);
            spectralLabels(false);
            continue;
        }
        showValue(f->Value1LMDEdit, formatWithMask(r.AcValue[ch] * 1000.0, resultMask(icpInput ? S::AcIcp : S::AcDiff, range)),
                  kValueColor);
        voltageLabels();
        if (fft) {
            showValue(f->Value2LMDEdit, formatWithMask(r.Frequency[ch] * 0.001, resultMask(icpInput ? S::FrIcp : S::FrDiff, range)),
                      kValueColor);
            if (referencePhase || ch == ref) {
                const double d = correctPhaseOnce(r.Phase[ref] - r.Phase[ch]);
                showValue(f->Value3LMDEdit, formatWithMask(d, resultMask(icpInput ? S::PhIcp : S::PhDiff, range)), kValueColor);
            } else {
                showPlaceholder(f->Value3LMDEdit, true);
            }
            spectralLabels(true);
        } else {
            showPlaceholder(f->Value2LMDEdit, true);
            showPlaceholder(f->Value3LMDEdit, true);
            spectralLabels(false);
        }
    }
    recordFrame(s, r);
}

void TMainForm::acquisitionUpdateLeds(const FrameResults& r)
{
    for (std::size_t ch = 0; ch < 4; ++ch) {
        TQmx58AdcChannelFrame* f = Frames[ch];
        if (!f->ChannelNumberLMDCheckBox->isChecked())
            f->SetFlashLedMode(2);
        else
            f->SetFlashLedMode(r.OverloadFlags[ch] ? 1 : 0);
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
    // A recording covers one run.
    if (recording())
        stopRecording();
}

int TMainForm::acquisitionMessage(const QString& text)
{
    return dialogs().sizedMessageDialog(this, "Сообщение TMainThread::Execute()!!!", DialogKind::Error, {"Принято"}, text);
}

}  // namespace qmx
