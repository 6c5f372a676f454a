#include "Qmx58AdcChannelFrame.h"

#include "NumberFormat.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>

namespace qmx {
namespace {

QLabel* makeLabel(QWidget* parent, const char* name, const QString& text, const QRect& geometry)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->setGeometry(geometry);
    return l;
}

QComboBox* makeCombo(QWidget* parent, const char* name, const QRect& geometry)
{
    auto* c = new QComboBox(parent);
    c->setObjectName(name);
    c->setGeometry(geometry);
    return c;
}

void setShownEnabled(QWidget* w, bool shown, bool setEnabled)
{
    w->setVisible(shown);
    if (setEnabled)
        w->setEnabled(shown);
}

}  // namespace

int controlTag(const QObject* control)
{
    const QVariant v = control ? control->property("tag") : QVariant();
    return v.isValid() ? v.toInt() : -1;
}

TQmx58AdcChannelFrame::TQmx58AdcChannelFrame(QWidget* owner, std::uint16_t icpRangeCount, const double* icpRanges,
                                             std::uint16_t diffRangeCount, const double* diffRanges,
                                             std::uint16_t channelIndex)
    : QFrame(owner), ChannelIndex(channelIndex)
{
    Qmx58AdcChannelLMDSimplePanel = new QFrame(this);
    Qmx58AdcChannelLMDSimplePanel->setObjectName("Qmx58AdcChannelLMDSimplePanel");
    Qmx58AdcChannelLMDSimplePanel->setGeometry(0, 0, kPanelWidth, kPanelHeight);
    Qmx58AdcChannelLMDSimplePanel->setFrameShape(QFrame::StyledPanel);
    QWidget* p = Qmx58AdcChannelLMDSimplePanel;

    ChannelNumberLMDCheckBox = new QCheckBox(p);
    ChannelNumberLMDCheckBox->setObjectName("ChannelNumberLMDCheckBox");
    ChannelNumberLMDCheckBox->setGeometry(8, 32, 95, 28);
    ChannelNumberLMDCheckBox->setToolTip("Управление активностью канала");

    Value1LabUnitLMDLabel = makeLabel(p, "Value1LabUnitLMDLabel", QString(), {843, 40, 40, 24});
    Value2LabUnitLMDLabel = makeLabel(p, "Value2LabUnitLMDLabel", QString(), {990, 40, 40, 24});
    Value2LMDEdit = makeValueBox("Value2LMDEdit");
    Value2LMDEdit->setGeometry(886, 36, 102, 32);
    Value1LMDEdit = makeValueBox("Value1LMDEdit");
    Value1LMDEdit->setGeometry(716, 36, 125, 32);
    FlashLed = new TFlashLed(p);
    FlashLed->setObjectName("FlashLed");
    FlashLed->setGeometry(1134, 42, 20, 20);
    FlashLed->setToolTip("Признак обновления канала");
    Value3LMDEdit = makeValueBox("Value3LMDEdit");
    Value3LMDEdit->setGeometry(1033, 36, 95, 32);
    Value3LabUnitLMDLabel = makeLabel(p, "Value3LabUnitLMDLabel", QString(), {1033, 70, 95, 20});
    Value3LabUnitLMDLabel->setAlignment(Qt::AlignCenter);

    BasePhaseChannelLMDRadioButton = new QRadioButton("Опорный канал фазы ", p);
    BasePhaseChannelLMDRadioButton->setObjectName("BasePhaseChannelLMDRadioButton");
    BasePhaseChannelLMDRadioButton->setGeometry(520, 34, 190, 28);
    BasePhaseChannelLMDRadioButton->setToolTip("Опорный канал для рассчёта сдвига фаз");
    // The four reference buttons sit in four panels: the window keeps them exclusive. A click
    // on the checked one leaves it checked, as a radio button does.
    BasePhaseChannelLMDRadioButton->setAutoExclusive(false);
    connect(BasePhaseChannelLMDRadioButton, &QRadioButton::clicked, this, [this] {
        if (!BasePhaseChannelLMDRadioButton->isChecked())
            BasePhaseChannelLMDRadioButton->setChecked(true);
    });

    InputRangeLabLMDComboBox = makeLabel(p, "InputRangeLabLMDComboBox", "Предел измерений", {105, 60, 135, 24});
    DiffInputRangeLMDComboBox = makeCombo(p, "DiffInputRangeLMDComboBox", {240, 58, 72, 28});
    ComputationMethodLMDComboBox = makeCombo(p, "ComputationMethodLMDComboBox", {446, 58, 64, 28});
    ComputationMethodLMDComboBox->addItems({" DC", " AC"});
    ComputationMethodLabLMDComboBox = makeLabel(p, "ComputationMethodLabLMDComboBox", "Режим измерений", {318, 60, 128, 24});
    InputConnectionModeLabLMDComboBox = makeLabel(p, "InputConnectionModeLabLMDComboBox", "Режим работы", {105, 4, 200, 22});
    InputConnectionModeLMDComboBox = makeCombo(p, "InputConnectionModeLMDComboBox", {105, 26, 405, 28});
    IcpInputRangeLMDComboBox = makeCombo(p, "IcpInputRangeLMDComboBox", {240, 58, 72, 28});
    ComputationMethodLMDLabel = makeLabel(p, "ComputationMethodLMDLabel", "AC", {446, 58, 64, 28});
    ComputationMethodLMDLabel->setToolTip("Метод расчёта");
    ComputationMethodLMDLabel->setAlignment(Qt::AlignCenter);
    Value1LabLMDLabel = makeLabel(p, "Value1LabLMDLabel", QString(), {716, 8, 125, 24});
    Value2LabLMDLabel = makeLabel(p, "Value2LabLMDLabel", QString(), {886, 8, 102, 24});
    Value3LabLMDLabel = makeLabel(p, "Value3LabLMDLabel", QString(), {1033, 8, 95, 24});
    for (QLabel* l : {Value1LabLMDLabel, Value2LabLMDLabel, Value3LabLMDLabel})
        l->setAlignment(Qt::AlignCenter);

    // Caption and the channel index as the tag of the six controls a handler identifies.
    ChannelNumberLMDCheckBox->setText(QString("Канал %1").arg(ChannelIndex + 1));
    for (QObject* c : std::initializer_list<QObject*>{ChannelNumberLMDCheckBox, InputConnectionModeLMDComboBox,
                                                      DiffInputRangeLMDComboBox, IcpInputRangeLMDComboBox,
                                                      ComputationMethodLMDComboBox, BasePhaseChannelLMDRadioButton})
        c->setProperty("tag", static_cast<int>(ChannelIndex));

    // Range selectors from the range tables: the value as a whole number.
    DiffInputRangeLMDComboBox->clear();
    for (int i = 0; i < diffRangeCount; ++i) {
        const QString v = formatWithMask(diffRanges[i], "0.");
        DiffInputRangeLMDComboBox->addItem((v.size() < 2 ? "    " : "  ") + v + " В");
    }
    DiffInputRangeLMDComboBox->setMaxVisibleItems(diffRangeCount);
    IcpInputRangeLMDComboBox->clear();
    for (int i = 0; i < icpRangeCount; ++i)
        IcpInputRangeLMDComboBox->addItem(" " + formatWithMask(icpRanges[i], "0.") + " В");
    IcpInputRangeLMDComboBox->setMaxVisibleItems(icpRangeCount);
    for (QComboBox* c : {DiffInputRangeLMDComboBox, IcpInputRangeLMDComboBox})
        c->setCurrentIndex(-1);
    ComputationMethodLMDComboBox->setCurrentIndex(-1);

    // Indicator blank.
    FlashLed->setColors(kColorButtonFace, kColorButtonFace);
    FlashLed->setLit(false);
    HoverSelect = false;

    setFixedSize(Qmx58AdcChannelLMDSimplePanel->x() + Qmx58AdcChannelLMDSimplePanel->width(),
                 Qmx58AdcChannelLMDSimplePanel->y() + Qmx58AdcChannelLMDSimplePanel->height());
}

QLineEdit* TQmx58AdcChannelFrame::makeValueBox(const char* name)
{
    auto* e = new QLineEdit(kPlaceholder, Qmx58AdcChannelLMDSimplePanel);
    e->setObjectName(name);
    e->setReadOnly(true);
    e->setAlignment(Qt::AlignCenter);
    e->setFocusPolicy(Qt::NoFocus);
    QFont f("Courier New");
    f.setStyleHint(QFont::Monospace);
    f.setBold(true);
    f.setPixelSize(18);
    e->setFont(f);
    QPalette pal = e->palette();
    pal.setColor(QPalette::Base, Qt::black);
    pal.setColor(QPalette::Text, QColor(0, 255, 0));
    e->setPalette(pal);
    e->installEventFilter(this);
    connect(e, &QLineEdit::textChanged, this, [this, e] { ValueLMDEditChange(e); });
    return e;
}

void TQmx58AdcChannelFrame::showRangeSelectors(int mode, bool setEnabled)
{
    if (mode == 0 || mode == 1) {
        setShownEnabled(DiffInputRangeLMDComboBox, true, setEnabled);
        setShownEnabled(IcpInputRangeLMDComboBox, false, setEnabled);
    } else if (mode == 2) {
        setShownEnabled(DiffInputRangeLMDComboBox, false, setEnabled);
        setShownEnabled(IcpInputRangeLMDComboBox, true, setEnabled);
    }
}

void TQmx58AdcChannelFrame::InputConnectionModeLMDComboBoxChange(QObject*)
{
    const int m = InputConnectionModeLMDComboBox->currentIndex();
    const bool checked = ChannelNumberLMDCheckBox->isChecked();
    showRangeSelectors(m, checked);
    if (m == 0) {
        setShownEnabled(ComputationMethodLMDComboBox, true, checked);
        setShownEnabled(ComputationMethodLMDLabel, false, checked);
    } else {
        setShownEnabled(ComputationMethodLMDComboBox, false, checked);
        setShownEnabled(ComputationMethodLMDLabel, true, checked);
        ComputationMethodLMDLabel->setText("AC");
    }
}

void TQmx58AdcChannelFrame::ShowChannelOn()
{
    const int m = InputConnectionModeLMDComboBox->currentIndex();
    for (QWidget* w : std::initializer_list<QWidget*>{InputConnectionModeLMDComboBox, InputConnectionModeLabLMDComboBox,
                                                      InputRangeLabLMDComboBox, ComputationMethodLabLMDComboBox})
        w->setEnabled(true);
    if (m == 0 || m == 1 || m == 2) {
        showRangeSelectors(m, true);
    } else {
        setShownEnabled(DiffInputRangeLMDComboBox, false, true);
        setShownEnabled(IcpInputRangeLMDComboBox, false, true);
    }
    if (m != 0) {
        setShownEnabled(ComputationMethodLMDComboBox, false, true);
        setShownEnabled(ComputationMethodLMDLabel, true, true);
        ComputationMethodLMDLabel->setText("AC");
    } else {
        setShownEnabled(ComputationMethodLMDComboBox, true, true);
        setShownEnabled(ComputationMethodLMDLabel, false, true);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{BasePhaseChannelLMDRadioButton, Value1LMDEdit, Value1LabLMDLabel,
                                                      Value1LabUnitLMDLabel})
        w->setEnabled(true);

    const QString v1 = Value1LMDEdit->text();
    const bool overload = v1.contains("OVERLOAD");
    for (QWidget* w : std::initializer_list<QWidget*>{Value2LMDEdit, Value2LabLMDLabel, Value2LabUnitLMDLabel, Value3LMDEdit,
                                                      Value3LabLMDLabel, Value3LabUnitLMDLabel, FlashLed})
        w->setEnabled(!overload);
    if (overload)
        SetFlashLedMode(1);
    else
        SetFlashLedMode(v1.contains("----") || v1.isEmpty() ? 2 : 0);
}

void TQmx58AdcChannelFrame::ShowChannelOff()
{
    for (QWidget* w : std::initializer_list<QWidget*>{
             InputConnectionModeLMDComboBox, InputConnectionModeLabLMDComboBox, InputRangeLabLMDComboBox,
             DiffInputRangeLMDComboBox, IcpInputRangeLMDComboBox, ComputationMethodLMDComboBox, ComputationMethodLMDLabel,
             ComputationMethodLabLMDComboBox, BasePhaseChannelLMDRadioButton, Value1LMDEdit, Value1LabLMDLabel,
             Value1LabUnitLMDLabel, Value2LMDEdit, Value2LabLMDLabel, Value2LabUnitLMDLabel, Value3LMDEdit,
             Value3LabLMDLabel, Value3LabUnitLMDLabel, FlashLed})
        w->setEnabled(false);
    SetFlashLedMode(2);
}

void TQmx58AdcChannelFrame::SetFlashLedMode(int mode)
{
    switch (mode) {
    case 0:
        FlashLed->setColors(kColorRed, kColorGreen);
        FlashLed->setLit(false);
        break;
    case 1:
        FlashLed->setColors(kColorRed, kColorGreen);
        FlashLed->setLit(true);
        break;
    case 2:
        FlashLed->setColors(kColorButtonFace, kColorButtonFace);
        FlashLed->setLit(false);
        break;
    case kLedUncertain:
        FlashLed->setColors(kColorOrange, kColorGreen);
        FlashLed->setLit(true);
        break;
    default:
        break;
    }
}

void TQmx58AdcChannelFrame::ValueLMDEditChange(QLineEdit* box)
{
    if (HoverSelect && box->underMouse())
        box->selectAll();
}

void TQmx58AdcChannelFrame::ValueLMDEditMouseEnter(QLineEdit* box)
{
    if (HoverSelect && !box->text().contains("--"))
        box->selectAll();
}

void TQmx58AdcChannelFrame::ValueLMDEditMouseExit(QLineEdit* box)
{
    if (HoverSelect)
        box->deselect();
}

bool TQmx58AdcChannelFrame::eventFilter(QObject* watched, QEvent* event)
{
    if (auto* box = qobject_cast<QLineEdit*>(watched)) {
        if (event->type() == QEvent::Enter)
            ValueLMDEditMouseEnter(box);
        else if (event->type() == QEvent::Leave)
            ValueLMDEditMouseExit(box);
    }
    return QFrame::eventFilter(watched, event);
}

}  // namespace qmx
