// The common acquisition controls: find device, START, crate and module selection, the
// acquisition parameters, the group controls of the channels, page switching, and switching
// the channel panels on after a discovery run.

#include "MainForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QTabWidget>
#include <QSignalBlocker>
#include <QToolButton>

#include <cstring>

namespace qmx {

void TMainForm::FindDeviceLMDButtonClick()
{
    if (UpdateGuard)
        return;
    {
        GuardScope guard(*this);
        StopThread();
        AllChannelsLMDCheckBox->setCheckState(Qt::Unchecked);
        AdcRateComboBox->setCurrentIndex(-1);
        for (int ch = 0; ch < 4; ++ch)
            ResetChannelValues(ch);
    }
    requestDiscovery(3, false);
}

void TMainForm::StartMultimeterLMDSpeedButtonClick()
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
    if (MainLMDPageControl->currentIndex() == 0 && StartMultimeterLMDSpeedButton->isChecked())
        StartThread();
    // A run that could not start leaves START released, never latched over nothing.
    if (!acquisitionThread() && StartMultimeterLMDSpeedButton->isChecked()) {
        const QSignalBlocker block(StartMultimeterLMDSpeedButton);
        StartMultimeterLMDSpeedButton->setChecked(false);
    }
}

void TMainForm::QmxCratesComboBoxChange()
{
    if (UpdateGuard)
        return;
    const int index = QmxCratesComboBox->currentIndex();
    if (index < 0 || index == Discovery.selectedCrateIndex)
        return;
    {
        GuardScope guard(*this);
        StopThread();
        Discovery.selectedCrateIndex = static_cast<std::uint16_t>(index);
    }
    requestDiscovery(2, false);
}

void TMainForm::ModulesComboBoxChange()
{
    if (UpdateGuard)
        return;
    const std::uint16_t crate = Discovery.selectedCrateIndex;
    const int module = ModulesComboBox->currentIndex();
    if (crate >= Discovery.crateCount || crate >= DiscoveryTable::kMaxCrates || module < 0 ||
        module >= Discovery.moduleCounts[crate])
        return;
    const char* stored = Discovery.moduleSerials[crate][module];
    const QString serial = QString::fromLatin1(stored, static_cast<int>(strnlen(stored, DiscoveryTable::kTextSize)));
    if (serial == ModuleSerialNumberLMDLabel->text())
        return;  // the module that is open already
    {
        GuardScope guard(*this);
        StopThread();
        Discovery.selectedModuleIndex[crate] = static_cast<std::uint16_t>(module);
    }
    requestDiscovery(1, false);
}

void TMainForm::AcquisitionParameterChange()
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
}

void TMainForm::AllChannelsLMDCheckBoxChange()
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
    const bool on = AllChannelsLMDCheckBox->checkState() == Qt::Checked;
    for (TQmx58AdcChannelFrame* f : Frames) {
        f->ChannelNumberLMDCheckBox->setChecked(on);
        if (on)
            f->ShowChannelOn();
        else
            f->ShowChannelOff();
    }
}

void TMainForm::CommonInputConnectionModeLMDComboBoxChange()
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
    const int m = CommonInputConnectionModeLMDComboBox->currentIndex();
    if (m == 0 || m == 1 || m == 2) {
        const bool icp = m == 2;
        CommonDiffInputRangeLMDComboBox->setVisible(!icp);
        CommonIcpInputRangeLMDComboBox->setVisible(icp);
        CurrentValueLabLMDLabel->setEnabled(icp);
        CurrentValueLMDComboBox->setEnabled(icp);
        PhaseCorrectionFilterMultimeterLMDCheckBox->setEnabled(icp);
    }
    const bool acOnly = m == 1 || m == 2;
    CommonComputationMethodLMDComboBox->setVisible(!acOnly);
    ComputationModeLMDLabel->setVisible(acOnly);
    ComputationModeLMDLabel->setText("AC");
    for (int ch = 0; ch < 4; ++ch)
        ApplyChannelMode(ch, m, Frames[ch]->ComputationMethodLMDComboBox->currentIndex());
}

void TMainForm::CommonInputRangeChange()
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
    if (CommonInputConnectionModeLMDComboBox->currentIndex() == 2) {
        for (TQmx58AdcChannelFrame* f : Frames)
            f->IcpInputRangeLMDComboBox->setCurrentIndex(CommonIcpInputRangeLMDComboBox->currentIndex());
    } else {
        for (TQmx58AdcChannelFrame* f : Frames)
            f->DiffInputRangeLMDComboBox->setCurrentIndex(CommonDiffInputRangeLMDComboBox->currentIndex());
    }
}

void TMainForm::CommonComputationMethodLMDComboBoxChange()
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
    const int method = CommonComputationMethodLMDComboBox->currentIndex();
    for (int ch = 0; ch < 4; ++ch)
        ApplyChannelMode(ch, Frames[ch]->InputConnectionModeLMDComboBox->currentIndex(), method);
}

bool TMainForm::MainLMDPageControlChangingEx(int newPage)
{
    if (Discovery.moduleState != 2) {
        MainLMDPageControl->setEnabled(true);
        UpdateGuard = 0;
        dialogs().messageBox(this, "Нет открытого модуля! Поэтому данная опция не доступна!", "Внимание!!!",
                             MsgIcon::Information);
        return false;
    }
    if (newPage == 0) {
        StopThread();
        StartMultimeterLMDSimplePanel->setVisible(true);
    }
    return true;
}

void TMainForm::EnableChannelPanels()
{
    for (int ch = 0; ch < 4; ++ch) {
        TQmx58AdcChannelFrame* f = Frames[ch];
        f->setEnabled(true);
        f->Qmx58AdcChannelLMDSimplePanel->setEnabled(true);
        f->ChannelNumberLMDCheckBox->setEnabled(true);
        if (f->ChannelNumberLMDCheckBox->isChecked())
            f->ShowChannelOn();
        else
            f->ShowChannelOff();
        ApplyChannelMode(ch, f->InputConnectionModeLMDComboBox->currentIndex(),
                         f->ComputationMethodLMDComboBox->currentIndex());
    }
}

}  // namespace qmx
