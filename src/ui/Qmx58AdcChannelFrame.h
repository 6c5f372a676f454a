#pragma once
// TQmx58AdcChannelFrame: the panel of one ADC channel. It carries the channel's own settings
// (on/off, input connection mode, input range, DC/AC method, phase reference) and shows its
// readings in three read-only value boxes with captions, units and an update indicator. The
// panel only lays out and enables its controls; the main window attaches its handlers to them,
// keeps the common controls in step and writes the readings.

#include "Led.h"

#include <QFrame>

#include <cstdint>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QRadioButton;

namespace qmx {

class TQmx58AdcChannelFrame : public QFrame {
public:
    static constexpr const char* kPlaceholder = "--------";
    static constexpr int kPanelWidth = 1160;
    static constexpr int kPanelHeight = 93;
    // The connection-mode selector's items by mode index; the window offers the first two, or
    // all three when the module is ICP-capable.
    static constexpr const char* kConnectionModeTexts[3] = {
        "  Дифф. вход без отсечки (AC/DC)", "       Дифф. вход с отсечкой (AC)", "                      ICP датчик"};

    TQmx58AdcChannelFrame(QWidget* owner, std::uint16_t icpRangeCount, const double* icpRanges,
                          std::uint16_t diffRangeCount, const double* diffRanges, std::uint16_t channelIndex);

    // Lays the panel out for the connection mode now selected (sender unused).
    void InputConnectionModeLMDComboBoxChange(QObject* sender);
    void ShowChannelOn();
    void ShowChannelOff();
    // 0 idle (green), 1 overload (red), 2 blank; anything else changes nothing.
    // 0 green (updated), 1 red (overload), 2 blank, kLedUncertain amber (a reading outside
    // the method's accurate domain).
    static constexpr int kLedUncertain = 3;
    void SetFlashLedMode(int mode);

    void setHoverSelect(bool on) { HoverSelect = on; }

    // Controls, in declaration order.
    QFrame* Qmx58AdcChannelLMDSimplePanel;
    QCheckBox* ChannelNumberLMDCheckBox;
    QLabel* Value1LabUnitLMDLabel;
    QLabel* Value2LabUnitLMDLabel;
    QLineEdit* Value2LMDEdit;
    QLineEdit* Value1LMDEdit;
    TFlashLed* FlashLed;
    QLineEdit* Value3LMDEdit;
    QLabel* Value3LabUnitLMDLabel;
    QRadioButton* BasePhaseChannelLMDRadioButton;
    QLabel* InputRangeLabLMDComboBox;
    QComboBox* DiffInputRangeLMDComboBox;
    QComboBox* ComputationMethodLMDComboBox;
    QLabel* ComputationMethodLabLMDComboBox;
    QLabel* InputConnectionModeLabLMDComboBox;
    QComboBox* InputConnectionModeLMDComboBox;
    QComboBox* IcpInputRangeLMDComboBox;
    QLabel* ComputationMethodLMDLabel;
    QLabel* Value1LabLMDLabel;
    QLabel* Value2LabLMDLabel;
    QLabel* Value3LabLMDLabel;

    std::uint16_t ChannelIndex;
    bool HoverSelect = false;

    // The value boxes' shared events.
    void ValueLMDEditChange(QLineEdit* box);
    void ValueLMDEditMouseEnter(QLineEdit* box);
    void ValueLMDEditMouseExit(QLineEdit* box);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLineEdit* makeValueBox(const char* name);
    void showRangeSelectors(int mode, bool setEnabled);
};

// The tag a panel stores on its selectors, check box and radio button: its channel index.
int controlTag(const QObject* control);

}  // namespace qmx
