// The channel panels and the window's handlers on them: layout for every connection mode and
// DC/AC choice, the group check box, the reference buttons, misrouted senders, the indicator
// and the hover selection.

#include "FormFixture.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

namespace {

using namespace qmx;

class ChannelPanels : public qmxtest::FormFixture {
protected:
    void SetUp() override
    {
        FormFixture::SetUp();
        // As a discovery run on an ICP-capable module leaves them: three modes, mode 0, AC, on.
        form->UpdateGuard = 1;
        for (TQmx58AdcChannelFrame* f : form->Frames) {
            for (const char* t : TQmx58AdcChannelFrame::kConnectionModeTexts)
                f->InputConnectionModeLMDComboBox->addItem(QString::fromUtf8(t));
            f->InputConnectionModeLMDComboBox->setCurrentIndex(0);
            f->DiffInputRangeLMDComboBox->setCurrentIndex(1);
            f->IcpInputRangeLMDComboBox->setCurrentIndex(1);
            f->ComputationMethodLMDComboBox->setCurrentIndex(1);
            f->ChannelNumberLMDCheckBox->setChecked(true);
            f->setEnabled(true);
            f->Qmx58AdcChannelLMDSimplePanel->setEnabled(true);
            f->ChannelNumberLMDCheckBox->setEnabled(true);
            f->ShowChannelOn();
        }
        form->UpdateGuard = 0;
    }
    TQmx58AdcChannelFrame* frame(int ch) const { return form->Frames[static_cast<std::size_t>(ch)]; }
};

// Every connection mode and DC/AC choice, channel on and off, "fft" and "sum".
TEST_F(ChannelPanels, ApplyChannelModeLayout)
{
    for (const char* method : {"fft", "sum"}) {
        form->ComputationMethod = method;
        for (bool checked : {true, false}) {
            for (int mode = 0; mode <= 2; ++mode) {
                for (int dcac = 0; dcac <= 1; ++dcac) {
                    SCOPED_TRACE(testing::Message() << method << " checked " << checked << " mode " << mode << " dcac " << dcac);
                    TQmx58AdcChannelFrame* f = frame(1);
                    form->UpdateGuard = 1;
                    f->ChannelNumberLMDCheckBox->setChecked(checked);
                    if (checked)
                        f->ShowChannelOn();
                    else
                        f->ShowChannelOff();
                    form->ApplyChannelMode(1, mode, dcac);
                    form->UpdateGuard = 0;

                    EXPECT_EQ(f->InputConnectionModeLMDComboBox->currentIndex(), mode);
                    EXPECT_EQ(f->DiffInputRangeLMDComboBox->isVisibleTo(f), mode != 2);
                    EXPECT_EQ(f->IcpInputRangeLMDComboBox->isVisibleTo(f), mode == 2);
                    EXPECT_EQ(f->ComputationMethodLMDComboBox->isVisibleTo(f), mode == 0);
                    EXPECT_EQ(f->ComputationMethodLMDLabel->isVisibleTo(f), mode != 0);
                    if (mode != 0) {
                        EXPECT_EQ(f->ComputationMethodLMDLabel->text(), "AC");
                    }
                    if (checked) {
                        EXPECT_EQ(f->DiffInputRangeLMDComboBox->isEnabled(), mode != 2);
                        EXPECT_EQ(f->IcpInputRangeLMDComboBox->isEnabled(), mode == 2);
                        EXPECT_EQ(f->ComputationMethodLMDComboBox->isEnabled(), mode == 0);
                    } else {
                        EXPECT_FALSE(f->DiffInputRangeLMDComboBox->isEnabled()) << "off: enabled states untouched";
                    }
                    const int effective = mode != 0 ? 1 : dcac;
                    const bool readings = effective == 1 && std::string(method) == "fft";
                    EXPECT_EQ(f->Value1LabLMDLabel->text(), "Напряжение");
                    EXPECT_EQ(f->Value1LabUnitLMDLabel->text(), "мВ");
                    EXPECT_EQ(f->Value1LMDEdit->isEnabled(), checked);
                    EXPECT_EQ(f->Value2LabLMDLabel->text(), readings ? "Частота" : "");
                    EXPECT_EQ(f->Value3LabLMDLabel->text(), readings ? "Фаза" : "");
                    EXPECT_EQ(f->Value2LabUnitLMDLabel->text(), readings ? "кГц" : "");
                    EXPECT_EQ(f->Value3LabUnitLMDLabel->text(), readings ? "Град" : "");
                    EXPECT_EQ(f->Value2LMDEdit->isEnabled(), readings && checked);
                    EXPECT_EQ(f->Value3LMDEdit->isEnabled(), readings && checked);
                }
            }
        }
    }
}

// A DC/AC index of -1 in mode 0 stops early and leaves the captions of boxes 2 and 3 alone.
TEST_F(ChannelPanels, ApplyChannelModeWithoutAMethod)
{
    form->UpdateGuard = 1;
    form->ApplyChannelMode(0, 0, 1);
    form->ApplyChannelMode(0, 0, -1);
    form->UpdateGuard = 0;
    EXPECT_EQ(frame(0)->Value2LabLMDLabel->text(), "Частота");
    EXPECT_TRUE(frame(0)->Value2LMDEdit->isEnabled());
}

TEST_F(ChannelPanels, GroupCheckBoxFollowsTheChannels)
{
    auto* all = form->AllChannelsLMDCheckBox;
    frame(2)->ChannelNumberLMDCheckBox->click();
    EXPECT_EQ(all->checkState(), Qt::PartiallyChecked) << "three on, one off";
    EXPECT_FALSE(frame(2)->Value1LMDEdit->isEnabled());
    EXPECT_FALSE(frame(2)->InputConnectionModeLMDComboBox->isEnabled());
    EXPECT_TRUE(frame(2)->ChannelNumberLMDCheckBox->isEnabled());
    for (int ch : {0, 1, 3})
        frame(ch)->ChannelNumberLMDCheckBox->click();
    EXPECT_EQ(all->checkState(), Qt::Unchecked);
    for (int ch = 0; ch < 4; ++ch)
        frame(ch)->ChannelNumberLMDCheckBox->click();
    EXPECT_EQ(all->checkState(), Qt::Checked);
    EXPECT_TRUE(frame(2)->Value1LMDEdit->isEnabled());
    EXPECT_EQ(form->UpdateGuard.load(), 0);
}

// Modes 0, 0, 2, 2: the group selector shows no selection, the group DC/AC selector stays
// (some channel has mode 0) and the current source is enabled (some channel has mode 2).
TEST_F(ChannelPanels, ConnectionModeChangesKeepTheGroupInStep)
{
    frame(2)->InputConnectionModeLMDComboBox->setCurrentIndex(2);
    frame(3)->InputConnectionModeLMDComboBox->setCurrentIndex(2);
    EXPECT_EQ(form->CommonInputConnectionModeLMDComboBox->currentIndex(), -1);
    EXPECT_FALSE(form->CommonComputationMethodLMDComboBox->isHidden());
    EXPECT_TRUE(form->ComputationModeLMDLabel->isHidden());
    EXPECT_TRUE(form->CurrentValueLMDComboBox->isEnabled());
    EXPECT_TRUE(form->CurrentValueLabLMDLabel->isEnabled());
    EXPECT_TRUE(frame(3)->IcpInputRangeLMDComboBox->isVisibleTo(frame(3)));

    for (int ch = 0; ch < 4; ++ch)
        frame(ch)->InputConnectionModeLMDComboBox->setCurrentIndex(1);
    EXPECT_EQ(form->CommonInputConnectionModeLMDComboBox->currentIndex(), 1);
    EXPECT_TRUE(form->CommonComputationMethodLMDComboBox->isHidden());
    EXPECT_FALSE(form->ComputationModeLMDLabel->isHidden());
    EXPECT_FALSE(form->CurrentValueLMDComboBox->isEnabled());
}

TEST_F(ChannelPanels, RangeAndMethodChangesUpdateTheGroupSelectors)
{
    frame(0)->InputConnectionModeLMDComboBox->setCurrentIndex(1);
    frame(0)->InputConnectionModeLMDComboBox->setCurrentIndex(0);
    ASSERT_EQ(form->CommonInputConnectionModeLMDComboBox->currentIndex(), 0);
    frame(1)->DiffInputRangeLMDComboBox->setCurrentIndex(0);
    EXPECT_EQ(form->CommonDiffInputRangeLMDComboBox->currentIndex(), -1) << "channels differ";
    for (int ch : {0, 2, 3})
        frame(ch)->DiffInputRangeLMDComboBox->setCurrentIndex(0);
    EXPECT_EQ(form->CommonDiffInputRangeLMDComboBox->currentIndex(), 0);

    frame(0)->ComputationMethodLMDComboBox->setCurrentIndex(0);
    EXPECT_EQ(form->CommonComputationMethodLMDComboBox->currentIndex(), -1);
    EXPECT_EQ(frame(0)->Value2LabLMDLabel->text(), "") << "DC: box 2 unused";
    for (int ch = 1; ch < 4; ++ch)
        frame(ch)->ComputationMethodLMDComboBox->setCurrentIndex(0);
    EXPECT_EQ(form->CommonComputationMethodLMDComboBox->currentIndex(), 0);

    // With the group mode blank, a range change blanks both group range selectors.
    frame(0)->InputConnectionModeLMDComboBox->setCurrentIndex(2);
    frame(0)->IcpInputRangeLMDComboBox->setCurrentIndex(0);
    EXPECT_EQ(form->CommonDiffInputRangeLMDComboBox->currentIndex(), -1);
    EXPECT_EQ(form->CommonIcpInputRangeLMDComboBox->currentIndex(), -1);
}

TEST_F(ChannelPanels, ReferenceButtons)
{
    frame(0)->BasePhaseChannelLMDRadioButton->click();
    EXPECT_EQ(form->ReferenceChannel, 0);
    frame(2)->BasePhaseChannelLMDRadioButton->click();
    EXPECT_EQ(form->ReferenceChannel, 2);
    for (int ch = 0; ch < 4; ++ch)
        EXPECT_EQ(frame(ch)->BasePhaseChannelLMDRadioButton->isChecked(), ch == 2) << ch;
    frame(2)->BasePhaseChannelLMDRadioButton->click();
    EXPECT_TRUE(frame(2)->BasePhaseChannelLMDRadioButton->isChecked()) << "a second click keeps it";
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(ChannelPanels, MisroutedSendersAreReported)
{
    QPushButton notABox;
    QCheckBox strayBox;
    QRadioButton strayRadio;
    form->EnaChannelLMDCheckBoxChange(&notABox);
    form->EnaChannelLMDCheckBoxChange(&strayBox);
    form->BasePhaseChannelLMDRadioButtonClick(&notABox);
    form->BasePhaseChannelLMDRadioButtonClick(&strayRadio);
    form->ComputationMethodLMDComboBoxChange(&notABox);
    ASSERT_EQ(dialogs.shown.size(), 5u);
    EXPECT_EQ(dialogs.shown[0].text, "Не могу привести тип!");
    EXPECT_EQ(dialogs.shown[0].caption, "Ошибка EnaChannelLMDCheckBoxChange()!!!");
    EXPECT_EQ(dialogs.shown[0].icon, MsgIcon::Information);
    EXPECT_EQ(dialogs.shown[1].text, "Не могу опознать управляюшщий элемент типа TLMDCheckBox!");
    EXPECT_EQ(dialogs.shown[1].caption, "Ошибка EnaChannelLMDCheckBoxChange()!");
    EXPECT_EQ(dialogs.shown[1].icon, MsgIcon::None);
    EXPECT_EQ(dialogs.shown[2].caption, "Ошибка BasePhaseChannelLMDRadioButtonClick()!!!");
    EXPECT_EQ(dialogs.shown[3].text, "Не могу опознать управляюшщий элемент типа TLMDRadioButton!");
    EXPECT_EQ(dialogs.shown[3].caption, "Ошибка BasePhaseChannelLMDRadioButtonClick()!");
    EXPECT_EQ(dialogs.shown[4].caption, "Ошибка ComputationMethodLMDComboBoxChange()!!!");
    EXPECT_EQ(form->UpdateGuard.load(), 0) << "the guard is cleared on every way out";
}

TEST_F(ChannelPanels, ShowChannelOnReadsTheFirstValue)
{
    TQmx58AdcChannelFrame* f = frame(0);
    f->Value1LMDEdit->setText("OVERLOAD!");
    f->ShowChannelOn();
    EXPECT_FALSE(f->Value2LMDEdit->isEnabled());
    EXPECT_FALSE(f->Value3LabUnitLMDLabel->isEnabled());
    EXPECT_FALSE(f->FlashLed->isEnabled());
    EXPECT_TRUE(f->FlashLed->isLit());
    EXPECT_EQ(f->FlashLed->brushColor(), kColorRed);
    f->Value1LMDEdit->setText("12.34");
    f->ShowChannelOn();
    EXPECT_TRUE(f->FlashLed->isEnabled());
    EXPECT_EQ(f->FlashLed->brushColor(), kColorGreen);
    f->Value1LMDEdit->setText("--------");
    f->ShowChannelOn();
    EXPECT_EQ(f->FlashLed->brushColor(), kColorButtonFace);
    f->Value1LMDEdit->setText("");
    f->ShowChannelOn();
    EXPECT_EQ(f->FlashLed->brushColor(), kColorButtonFace);
    // A connection-mode selector without a selection hides both range selectors.
    f->InputConnectionModeLMDComboBox->setCurrentIndex(-1);
    form->UpdateGuard = 1;
    f->ShowChannelOn();
    form->UpdateGuard = 0;
    EXPECT_FALSE(f->DiffInputRangeLMDComboBox->isVisibleTo(f));
    EXPECT_FALSE(f->IcpInputRangeLMDComboBox->isVisibleTo(f));
}

TEST_F(ChannelPanels, FlashLedModes)
{
    TFlashLed* led = frame(1)->FlashLed;
    frame(1)->SetFlashLedMode(0);
    EXPECT_EQ(led->litColor(), kColorRed);
    EXPECT_EQ(led->unlitColor(), kColorGreen);
    EXPECT_FALSE(led->isLit());
    frame(1)->SetFlashLedMode(1);
    EXPECT_TRUE(led->isLit());
    EXPECT_EQ(led->brushColor(), kColorRed);
    frame(1)->SetFlashLedMode(7);
    EXPECT_EQ(led->brushColor(), kColorRed) << "unknown modes change nothing";
    frame(1)->SetFlashLedMode(2);
    EXPECT_EQ(led->litColor(), kColorButtonFace);
    EXPECT_EQ(led->brushColor(), kColorButtonFace);
}

TEST_F(ChannelPanels, HoverSelectsOnlyWhileActive)
{
    QLineEdit* box = frame(0)->Value1LMDEdit;
    box->setText("123.45");
    QEvent enter(QEvent::Enter), leave(QEvent::Leave);
    QCoreApplication::sendEvent(box, &enter);
    EXPECT_FALSE(box->hasSelectedText()) << "inactive application: nothing selected";
    form->setApplicationActive(true);
    QCoreApplication::sendEvent(box, &enter);
    EXPECT_EQ(box->selectedText(), "123.45");
    QCoreApplication::sendEvent(box, &leave);
    EXPECT_FALSE(box->hasSelectedText());
    box->setText("--------");
    QCoreApplication::sendEvent(box, &enter);
    EXPECT_FALSE(box->hasSelectedText()) << "placeholders are not selected";
    form->setApplicationActive(false);
}

TEST_F(ChannelPanels, ResetChannelValues)
{
    TQmx58AdcChannelFrame* f = frame(3);
    f->Value1LMDEdit->setText("1.00");
    QPalette red = f->Value1LMDEdit->palette();
    red.setColor(QPalette::Text, Qt::red);
    f->Value1LMDEdit->setPalette(red);
    f->SetFlashLedMode(0);
    form->ResetChannelValues(3);
    EXPECT_FALSE(f->ChannelNumberLMDCheckBox->isChecked());
    EXPECT_EQ(f->Value1LMDEdit->text(), "--------");
    EXPECT_EQ(f->Value1LMDEdit->palette().color(QPalette::Text), QColor(0, 255, 0));
    EXPECT_EQ(f->FlashLed->brushColor(), kColorButtonFace);
    EXPECT_EQ(form->AllChannelsLMDCheckBox->checkState(), Qt::PartiallyChecked) << "the change handler ran";
}

}  // namespace
