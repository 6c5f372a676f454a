// The channel panels' handlers and the operations the window runs on a panel.

#include "MainForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

namespace qmx {

namespace {

void setEnabledAll(std::initializer_list<QWidget*> widgets, bool enabled)
{
    for (QWidget* w : widgets)
        w->setEnabled(enabled);
}

}  // namespace

void TMainForm::ResetChannelValues(int channel)
{
    TQmx58AdcChannelFrame* f = Frames[static_cast<std::size_t>(channel)];
    f->ChannelNumberLMDCheckBox->setChecked(false);
    for (QLineEdit* box : {f->Value1LMDEdit, f->Value2LMDEdit, f->Value3LMDEdit}) {
        setPaletteColor(box, QPalette::Text, QColor(0, 255, 0));
        box->setText(TQmx58AdcChannelFrame::kPlaceholder);
    }
    f->SetFlashLedMode(2);
}

void TMainForm::ApplyChannelMode(int channel, int mode, int method)
{
    TQmx58AdcChannelFrame* f = Frames[static_cast<std::size_t>(channel)];
    f->InputConnectionModeLMDComboBox->setCurrentIndex(mode);
    f->InputConnectionModeLMDComboBoxChange(nullptr);
    f->ComputationMethodLMDComboBox->setCurrentIndex(method);

    int e;
    if (mode != 0)
        e = f->ComputationMethodLMDLabel->text() == "AC" ? 1 : 0;
    else
        e = f->ComputationMethodLMDComboBox->currentIndex();
    const bool checked = f->ChannelNumberLMDCheckBox->isChecked();
    if (checked && e != 0 && e != 1)
        return;

    f->Value1LabLMDLabel->setText("Напряжение");
    f->Value1LabUnitLMDLabel->setText("мВ");
    setEnabledAll({f->Value1LMDEdit, f->Value1LabLMDLabel, f->Value1LabUnitLMDLabel}, checked);
    setEnabledAll({f->Value2LMDEdit, f->Value2LabLMDLabel, f->Value2LabUnitLMDLabel, f->Value3LMDEdit,
                   f->Value3LabLMDLabel, f->Value3LabUnitLMDLabel},
                  false);
    if (e != 0 && e != 1)
        return;
    if (e == 1 && ComputationMethod == "fft") {
        f->Value2LabLMDLabel->setText("Частота");
        f->Value3LabLMDLabel->setText("Фаза");
        f->Value2LabUnitLMDLabel->setText("кГц");
        f->Value3LabUnitLMDLabel->setText("Град");
        if (checked)
            setEnabledAll({f->Value2LMDEdit, f->Value2LabLMDLabel, f->Value2LabUnitLMDLabel, f->Value3LMDEdit,
                           f->Value3LabLMDLabel, f->Value3LabUnitLMDLabel},
                          true);
    } else {
        for (QLabel* l : {f->Value2LabLMDLabel, f->Value3LabLMDLabel, f->Value2LabUnitLMDLabel, f->Value3LabUnitLMDLabel})
            l->setText(QString());
    }
}

void TMainForm::EnaChannelLMDCheckBoxChange(QObject* sender)
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
    auto* box = qobject_cast<QCheckBox*>(sender);
    if (!box) {
        dialogs().messageBox(this, "Не могу привести тип!", "Ошибка EnaChannelLMDCheckBoxChange()!!!", MsgIcon::Information);
        return;
    }
    TQmx58AdcChannelFrame* frame = nullptr;
    for (TQmx58AdcChannelFrame* f : Frames)
        if (f->ChannelNumberLMDCheckBox == box)
            frame = f;
    if (!frame) {
        dialogs().messageBox(this, "Не могу опознать управляюшщий элемент типа TLMDCheckBox!",
                             "Ошибка EnaChannelLMDCheckBoxChange()!", MsgIcon::None);
        return;
    }
    if (box->isChecked())
        frame->ShowChannelOn();
    else
        frame->ShowChannelOff();

    updateAllChannelsCheckState();
}

void TMainForm::updateAllChannelsCheckState()
{
    int on = 0;
    for (TQmx58AdcChannelFrame* f : Frames)
        on += f->ChannelNumberLMDCheckBox->isChecked() ? 1 : 0;
    AllChannelsLMDCheckBox->setCheckState(on == 4 ? Qt::Checked : on == 0 ? Qt::Unchecked : Qt::PartiallyChecked);
}

void TMainForm::ChannelInputConnectionModeChange(QObject* sender)
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
    bool same = true, anyDiff0 = false, anyIcp = false;
    const int v = Frames[0]->InputConnectionModeLMDComboBox->currentIndex();
    for (TQmx58AdcChannelFrame* f : Frames) {
        const int m = f->InputConnectionModeLMDComboBox->currentIndex();
        same = same && m == v;
        anyDiff0 = anyDiff0 || m == 0;
        anyIcp = anyIcp || m == 2;
    }
    if (same) {
        CommonInputConnectionModeLMDComboBox->setCurrentIndex(v);
        CommonComputationMethodLMDComboBox->setVisible(v == 0);
        ComputationModeLMDLabel->setVisible(v != 0);
        CurrentValueLMDComboBox->setEnabled(v == 2);
        CurrentValueLabLMDLabel->setEnabled(v == 2);
    } else {
        CommonInputConnectionModeLMDComboBox->setCurrentIndex(-1);
        CommonComputationMethodLMDComboBox->setVisible(anyDiff0);
        ComputationModeLMDLabel->setVisible(!anyDiff0);
        CurrentValueLMDComboBox->setEnabled(anyIcp);
        CurrentValueLabLMDLabel->setEnabled(anyIcp);
    }
    const int ch = controlTag(sender);
    if (ch >= 0 && ch < 4) {
        TQmx58AdcChannelFrame* f = Frames[static_cast<std::size_t>(ch)];
        ApplyChannelMode(ch, f->InputConnectionModeLMDComboBox->currentIndex(), f->ComputationMethodLMDComboBox->currentIndex());
    }
}

void TMainForm::ChannelInputRangeChange(QObject*)
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
    const int common = CommonInputConnectionModeLMDComboBox->currentIndex();
    auto commonIndex = [this](QComboBox* TQmx58AdcChannelFrame::*list) {
        const int v = (Frames[0]->*list)->currentIndex();
        for (TQmx58AdcChannelFrame* f : Frames)
            if ((f->*list)->currentIndex() != v)
                return -1;
        return v;
    };
    if (common < 0) {
        CommonDiffInputRangeLMDComboBox->setCurrentIndex(-1);
        CommonIcpInputRangeLMDComboBox->setCurrentIndex(-1);
    } else if (common == 2) {
        CommonIcpInputRangeLMDComboBox->setCurrentIndex(commonIndex(&TQmx58AdcChannelFrame::IcpInputRangeLMDComboBox));
    } else if (common == 0 || common == 1) {
        CommonDiffInputRangeLMDComboBox->setCurrentIndex(commonIndex(&TQmx58AdcChannelFrame::DiffInputRangeLMDComboBox));
    }
}

void TMainForm::ComputationMethodLMDComboBoxChange(QObject* sender)
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
    const int v = Frames[0]->ComputationMethodLMDComboBox->currentIndex();
    bool same = true;
    for (TQmx58AdcChannelFrame* f : Frames)
        same = same && f->ComputationMethodLMDComboBox->currentIndex() == v;
    CommonComputationMethodLMDComboBox->setCurrentIndex(same ? v : -1);

    auto* list = qobject_cast<QComboBox*>(sender);
    if (!list) {
        dialogs().messageBox(this, "Не могу привести тип!", "Ошибка ComputationMethodLMDComboBoxChange()!!!",
                             MsgIcon::Information);
        return;
    }
    for (int ch = 0; ch < 4; ++ch) {
        TQmx58AdcChannelFrame* f = Frames[static_cast<std::size_t>(ch)];
        if (f->ComputationMethodLMDComboBox == list) {
            ApplyChannelMode(ch, f->InputConnectionModeLMDComboBox->currentIndex(), list->currentIndex());
            return;
        }
    }
    // Attached only to the four panels' selectors: any other sender is a wiring fault.
    dialogs().messageBox(this, "Не могу опознать управляюшщий элемент типа TLMDComboBox!",
                         "Ошибка ComputationMethodLMDComboBoxChange()!", MsgIcon::None);
}

void TMainForm::BasePhaseChannelLMDRadioButtonClick(QObject* sender)
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    auto* radio = qobject_cast<QRadioButton*>(sender);
    if (!radio) {
        dialogs().messageBox(this, "Не могу привести тип!", "Ошибка BasePhaseChannelLMDRadioButtonClick()!!!",
                             MsgIcon::Information);
        return;
    }
    int channel = -1;
    for (int ch = 0; ch < 4; ++ch)
        if (Frames[static_cast<std::size_t>(ch)]->BasePhaseChannelLMDRadioButton == radio)
            channel = ch;
    if (channel < 0) {
        dialogs().messageBox(this, "Не могу опознать управляюшщий элемент типа TLMDRadioButton!",
                             "Ошибка BasePhaseChannelLMDRadioButtonClick()!", MsgIcon::None);
        return;
    }
    ReferenceChannel = static_cast<std::uint16_t>(channel);
    if (radio->isChecked())
        for (TQmx58AdcChannelFrame* f : Frames)
            if (f->BasePhaseChannelLMDRadioButton != radio)
                f->BasePhaseChannelLMDRadioButton->setChecked(false);
}

}  // namespace qmx
