// The verification page (settings-tree controls, gauge, log view), the generator and
// multimeter panels, the context menu's attachments and the mouse-wheel rule. The page's tab
// and the instrument panels are never shown; no verification runs and no instrument is driven:
// the handlers here only check and show values, stop acquisition, or do nothing.

#include "MainForm.h"

#include "FormBuilders.h"

#include "DecimalText.h"
#include "LogView.h"
#include "NumberFormat.h"
#include "RadioGroup.h"
#include "RateTable.h"
#include "StringGrid.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QToolButton>
#include <QWheelEvent>

#include <cmath>

namespace qmx {
namespace {

const QColor kUncommitted(255, 0, 0);
const QColor kCommitted(0, 0, 0);

struct ConversionError {};

double toNumber(const QString& text)
{
    double v = 0;
    if (!parseDecimal(text, v))
        throw ConversionError{};
    return v;
}

double sign(double v) { return v > 0 ? 1.0 : v < 0 ? -1.0 : 0.0; }

bool isUncommitted(const QLineEdit* e) { return e->palette().color(QPalette::Text) == kUncommitted; }

void setTextColor(QLineEdit* e, const QColor& c) { setPaletteColor(e, QPalette::Text, c); }

using form::label;
using form::make;

QPushButton* button(QWidget* parent, const char* name, const QString& text, const QString& hint, const QRect& geometry)
{
    QPushButton* b = form::button(parent, name, text, geometry);
    b->setToolTip(hint);
    return b;
}

}  // namespace

// Key presses of the generator edits and the window's mouse wheel.
class HiddenPagesFilter : public QObject {
public:
    explicit HiddenPagesFilter(TMainForm* form) : QObject(form), _form(form) {}

protected:
    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (e->type() == QEvent::KeyPress &&
            (watched == _form->SignalAmpltudeGeneratorLMDEdit || watched == _form->SignalFrequencyGeneratorLMDEdit)) {
            QChar ch = keyChar(static_cast<QKeyEvent*>(e));
            if (ch.isNull())
                return false;  // moves, Delete and the like are the edit's own
            _form->CommonLMDEditKeyPress(watched, ch);
            return ch.isNull() || ch == QChar('\r');
        }
        if (e->type() == QEvent::Wheel) {
            auto* w = qobject_cast<QWidget*>(watched);
            if (!w || w->window() != _form)
                return false;
            const auto* we = static_cast<QWheelEvent*>(e);
            const int dy = we->angleDelta().y();
            if (dy == 0)
                return false;
            const QPoint at = we->globalPosition().toPoint();
            if (dy > 0 ? _form->FormMouseWheelUp(at) : _form->FormMouseWheelDown(at))
                return true;
            // A notch that the rule leaves alone does not scroll the channel panels either,
            // when a control inside them passes it on.
            QScrollArea* box = _form->AdcIndividualParsLMDScrollBox;
            return watched == box->viewport() || watched == box;
        }
        return false;
    }

private:
    TMainForm* _form;
};


void TMainForm::buildVerificationPage()
{
    // ---- verification page: the settings side and the log, split by VerifySplitter
    QWidget* page = VerificationLMDTabSheet;
    VerifySplitter = make<QSplitter>(page, "VerifySplitter", {4, 4, 1236, 596});
    VerifySplitter->setOrientation(Qt::Horizontal);
    auto* side = new QWidget;
    side->setObjectName("VerifySettingsLMDSimplePanel");
    side->setMinimumWidth(420);
    VerifySplitter->addWidget(side);

    auto* tree = make<QGroupBox>(side, "VerifySettingsLMDGroupBox", {4, 0, 370, 220});
    tree->setTitle("Настройки поверки");
    VerifyTreeViewTitleLMDEdit = make<QLineEdit>(tree, "VerifyTreeViewTitleLMDEdit", {10, 28, 350, 30});
    VerifyTreeViewTitleLMDEdit->setToolTip("Строка текущей позиции дерева настроек");
    LoadFromFileVerifyTreeViewButton = button(tree, "LoadFromFileVerifyTreeViewButton", "Чтение", "Считать настроки из файла",
                                              {10, 68, 170, 32});
    SaveToFileVerifyTreeViewButton = button(tree, "SaveToFileVerifyTreeViewButton", "Запись", "Записать настроки в файл",
                                            {190, 68, 170, 32});
    CollapseButton = button(tree, "CollapseButton", "Свернуть", "Свернуть все узлы дерева настроек", {10, 108, 170, 32});
    ExpandButton = button(tree, "ExpandButton", "Развернуть", "Развернуть все узлы дерева настроек", {190, 108, 170, 32});
    CfgFileNameEdit = make<QLineEdit>(tree, "CfgFileNameEdit", {10, 152, 350, 30});

    StartVerificationLMDSpeedButton = make<QToolButton>(side, "StartVerificationLMDSpeedButton", {4, 232, 370, 70});
    StartVerificationLMDSpeedButton->setText("Старт  поверки");
    StartVerificationLMDSpeedButton->setCheckable(true);
    EnaWriteLogFileLMDCheckBox = make<QCheckBox>(side, "EnaWriteLogFileLMDCheckBox", {8, 312, 366, 26});
    EnaWriteLogFileLMDCheckBox->setText("Log-файл");
    EnaWriteLogFileLMDCheckBox->setToolTip("Управление записью  Log-файла");
    PhaseCorrectionFilterVerificationLMDCheckBox =
        make<QCheckBox>(side, "PhaseCorrectionFilterVerificationLMDCheckBox", {8, 344, 366, 26});
    PhaseCorrectionFilterVerificationLMDCheckBox->setText("Фильтр коррекции фазы для ICP режима");

    ProgressBarVerification = make<QProgressBar>(side, "ProgressBarVerification", {384, 6, 28, 580});
    ProgressBarVerification->setOrientation(Qt::Vertical);
    ProgressBarVerification->setTextVisible(false);
    ProgressBarVerification->setRange(0, 100);
    ProgressBarVerification->setValue(0);
    QPalette gauge = ProgressBarVerification->palette();
    gauge.setColor(QPalette::Highlight, QColor(0, 128, 128));  // teal
    gauge.setColor(QPalette::Base, gauge.color(QPalette::Button));
    gauge.setColor(QPalette::Window, gauge.color(QPalette::Button));
    ProgressBarVerification->setPalette(gauge);

    VerificationTextBox = new TLogView;
    VerificationTextBox->setObjectName("VerificationTextBox");
    VerificationTextBox->gutter()->setObjectName("VerificationTextBoxGutter");
    QFont mono("Courier New");
    mono.setStyleHint(QFont::Monospace);
    mono.setPointSize(11);
    VerificationTextBox->setFont(mono);
    VerifySplitter->addWidget(VerificationTextBox);
    VerifySplitter->setSizes({420, 816});
    VerificationTextBox->setKeywords({
        {"Итого", QColor(255, 128, 0)},
        {"НОРМА", QColor(0, 128, 64)},
        {"Норма", QColor(0, 128, 64)},
        {"!!! ОШИБКА !!!", QColor(255, 0, 0)},
        {"OK", QColor(0, 164, 82)},
        {"Bad", QColor(255, 0, 0)},
        {"СШНИ", QColor(128, 0, 255)},
        {"СШ", QColor(128, 0, 255)},
        {"КНИ", QColor(128, 0, 255)},
        {"К А Н А Л Ы", QColor(128, 0, 255)},
        {"И З М Е Р Е Н И Е", QColor(128, 0, 255)},
        {":(((((((", QColor(255, 0, 0)},
        {":)))))))", QColor(0, 181, 90)},
        {"приведённой", QColor(0, 128, 255)},
        {"относительную", QColor(0, 128, 255)},
        {"Поверка", QColor(128, 0, 255)},
        {"поверка", QColor(128, 0, 255)},
    });
    VerificationTextBox->setPlainText("Поверка: журнал пуст\n"
                                      "К А Н А Л Ы: ---\n"
                                      "И З М Е Р Е Н И Е: ---\n"
                                      "Итого: ---");

    OpenFileLMDOpenDialog.name = "OpenFileLMDOpenDialog";
    SaveFileLMDSaveDialog.name = "SaveFileLMDSaveDialog";
    SaveFileLMDSaveDialog.save = true;
    SaveFileLMDSaveDialog.defaultFileName = "test";
    SaveFileLMDSaveDialog.confirmOverwrite = true;

    // ---- generator panel
    QWidget* gen = GeneratorLMDGroupBox;
    label(gen, "ChannelNumberLabLMDLabel", "Канал", {10, 26, 60, 22});
    ChannelNumberLMDLabel = label(gen, "ChannelNumberLMDLabel", "???", {10, 54, 60, 30});
    ChannelNumberLMDLabel->setToolTip("Номер выходного канала генератора");
    ChannelNumberLMDLabel->setAlignment(Qt::AlignCenter);
    ChannelNumberLMDLabel->setFrameShape(QFrame::Panel);
    ChannelNumberLMDLabel->setFrameShadow(QFrame::Sunken);
    GeneratorChannelStateLMDRadioGroup = make<TRadioGroup>(gen, "GeneratorChannelStateLMDRadioGroup", {80, 18, 100, 92});
    GeneratorChannelStateLMDRadioGroup->setItems({"ON", "OFF"});
    GeneratorChannelStateLMDRadioGroup->setToolTip("Состояние выходного канала генератора");
    SignalAmpltudeGeneratorLabLMDLabel = label(gen, "SignalAmpltudeGeneratorLabLMDLabel", "Напряжение (скз), В", {192, 26, 190, 22});
    SignalAmpltudeGeneratorLMDEdit = make<QLineEdit>(gen, "SignalAmpltudeGeneratorLMDEdit", {192, 54, 180, 30});
    label(gen, "SignalFrequencyGeneratorLabLMDLabel", "Частота, кГц", {392, 26, 190, 22});
    SignalFrequencyGeneratorLMDEdit = make<QLineEdit>(gen, "SignalFrequencyGeneratorLMDEdit", {392, 54, 180, 30});
    for (QLineEdit* e : {SignalAmpltudeGeneratorLMDEdit, SignalFrequencyGeneratorLMDEdit}) {
        e->setToolTip("Для завершения ввода нажмите 'ENTER'");
        e->setText("0.0000");
        e->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        setTextColor(e, kCommitted);
    }

    // ---- multimeter panel
    QWidget* volt = VoltmeterLMDGroupBox;
    AcDcVoltmeterModeLMDRadioGroup = make<TRadioGroup>(volt, "AcDcVoltmeterModeLMDRadioGroup", {10, 18, 100, 94});
    AcDcVoltmeterModeLMDRadioGroup->setItems({"DC ", "AC ", "OFF"});
    AcDcVoltmeterModeLMDRadioGroup->setToolTip("Выбор режима работы вольтметра");
    AcFilterVoltmeterLMDComboBox = make<QComboBox>(volt, "AcFilterVoltmeterLMDComboBox", {120, 40, 120, 30});
    AcFilterVoltmeterLMDComboBox->addItems({" > 3 Гц", " > 20 Гц", " > 200 Гц"});
    AcFilterVoltmeterLMDComboBox->setCurrentIndex(-1);
    AcFilterVoltmeterLMDComboBox->setToolTip("Выбор AC фильтра");
    VoltmeterValueLMDLabel->setGeometry(252, 22, 336, 56);
    VoltmeterValueLMDLabel->setAutoFillBackground(true);
    VoltmeterValueLMDLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QPalette lime = VoltmeterValueLMDLabel->palette();
    lime.setColor(QPalette::Window, Qt::black);
    lime.setColor(QPalette::WindowText, QColor(0, 255, 0));
    VoltmeterValueLMDLabel->setPalette(lime);
    QFont reading("Courier New");
    reading.setPixelSize(36);
    reading.setBold(true);
    VoltmeterValueLMDLabel->setFont(reading);
    VoltmeterValueUnitLMDLabel = label(volt, "VoltmeterValueUnitLMDLabel", "Напряжение, мВ", {252, 82, 336, 24});
    VoltmeterValueUnitLMDLabel->setAlignment(Qt::AlignCenter);
}

void TMainForm::connectHiddenPages()
{
    // Coefficient page
    connect(SaveCalibrCoefsGridToFactoryFlashLMDButton, &QPushButton::clicked, this,
            [this] { SaveCalibrCoefsGridToFactoryFlashLMDButtonClick(); });
    connect(RefreshCalibrCoefsGridFromFactoryFlashLMDButton, &QPushButton::clicked, this,
            [this] { RefreshCalibrCoefsGridFromFactoryFlashLMDButtonClick(); });
    connect(SaveCalibrCoefsGridToUserFlashLMDButton, &QPushButton::clicked, this,
            [this] { SaveCalibrCoefsGridToUserFlashLMDButtonClick(); });
    connect(RefreshCalibrCoefsGridFromUserFlashLMDButton, &QPushButton::clicked, this,
            [this] { RefreshCalibrCoefsGridFromUserFlashLMDButtonClick(); });
    connect(ResetCalibrCoefsGridInUserFlashLMDButton, &QPushButton::clicked, this,
            [this] { ResetCalibrCoefsGridInUserFlashLMDButtonClick(); });
    connect(AdcRateCalibrPanelComboBox, &QComboBox::currentIndexChanged, this, [this] { AdcRateCalibrPanelComboBoxChange(); });

    // Verification page
    connect(StartVerificationLMDSpeedButton, &QToolButton::clicked, this, [this] { StartVerificationLMDSpeedButtonClick(); });
    connect(PhaseCorrectionFilterVerificationLMDCheckBox, &QCheckBox::stateChanged, this,
            [this] { AcquisitionParameterChange(); });
    connect(CfgFileNameEdit, &QLineEdit::textChanged, this, [this] { CfgFileNameEditChange(); });
    connect(VerifySplitter, &QSplitter::splitterMoved, this, [this] { VerifySplitterMoved(); });

    // Instrument panels
    auto* filter = new HiddenPagesFilter(this);
    for (QLineEdit* e : {SignalAmpltudeGeneratorLMDEdit, SignalFrequencyGeneratorLMDEdit}) {
        connect(e, &QLineEdit::textChanged, this, [this, e] { CommonLMDEditChange(e); });
        e->installEventFilter(filter);
    }
    AcDcVoltmeterModeLMDRadioGroup->OnChange = [this](TRadioGroup* g) { AcDcVoltmeterModeLMDRadioGroupChange(g); };
    connect(AcFilterVoltmeterLMDComboBox, &QComboBox::currentIndexChanged, this, [this] { AcFilterVoltmeterLMDComboBoxChange(); });

    // Context menu: its default item, and the controls that pop it up besides the window.
    PopupMenu->setDefaultAction(RebootAction);
    for (QWidget* w : std::initializer_list<QWidget*>{AdcOffsetCoefsStringGrid, AdcScaleCoefsStringGrid, PhaseCoefsStringGrid,
                                                      VerificationTextBox->gutter()}) {
        w->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(w, &QWidget::customContextMenuRequested, this, [this, w](const QPoint& pos) {
            if (contextMenuEnabled())
                PopupMenu->popup(w->mapToGlobal(pos));
        });
    }

    // Mouse wheel
    if (QCoreApplication* app = QCoreApplication::instance())
        app->installEventFilter(filter);
}

// ---- verification page

QString TMainForm::runFileDialog(const FileDialogRequest& request) { return dialogs().fileDialog(this, request); }

void TMainForm::StartVerificationLMDSpeedButtonClick()
{
    // The START handler on a page other than the multimeter page: it stops acquisition and
    // starts nothing.
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
}

void TMainForm::CfgFileNameEditChange() { CfgFileNameEdit->setToolTip(CfgFileNameEdit->text()); }

void TMainForm::VerifySplitterMoved()
{
    CfgFileNameEdit->setCursorPosition(0);
    CfgFileNameEdit->setCursorPosition(static_cast<int>(CfgFileNameEdit->text().size()));
    CfgFileNameEdit->deselect();
}

// ---- generator and multimeter panels

void TMainForm::CommonLMDEditChange(QLineEdit* edit)
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    if (!isUncommitted(edit)) {
        setTextColor(edit, kUncommitted);
        StartMultimeterLMDSpeedButton->setEnabled(false);
    }
}

void TMainForm::CommonLMDEditKeyPress(QObject* sender, QChar& key)
{
    if (UpdateGuard)
        return;
    if (key >= QChar('0') && key <= QChar('9'))
        return;
    setDecimalSeparatorDot();
    if (key == QChar('-') || key == QChar('\b') || key == QChar('.'))
        return;
    if (key != QChar('\r')) {
        key = QChar();
        return;
    }
    auto* edit = qobject_cast<QLineEdit*>(sender);
    if (edit != SignalAmpltudeGeneratorLMDEdit && edit != SignalFrequencyGeneratorLMDEdit)
        return;
    GuardScope guard(*this);
    try {
        StopThread();
        QLineEdit* amp = SignalAmpltudeGeneratorLMDEdit;
        QLineEdit* freq = SignalFrequencyGeneratorLMDEdit;
        if (edit == freq) {
            double f = freq->text().trimmed().isEmpty() ? 0.0 : toNumber(freq->text());
            double a = toNumber(amp->text());
            double limit = DiffRanges[1];
            if (f > 0.0001) {
                limit /= std::sqrt(2.0);
                SignalAmpltudeGeneratorLabLMDLabel->setText("Напряжение (скз), В");
            } else {
                SignalAmpltudeGeneratorLabLMDLabel->setText("Напряжение, В");
            }
            if (!(f < 99.0001))
                f = 99.0;
            freq->setText(formatWithMask(f, "0.0000"));
            if (f > 0.0001)
                a = std::fabs(a);
            if (std::fabs(a) > limit) {
                a = sign(a) * limit;
                amp->setText(formatWithMask(a, "0.0000"));
            }
        } else {
            const double f = toNumber(freq->text());
            double a = amp->text().trimmed().isEmpty() ? 0.0 : toNumber(amp->text());
            const double limit = DiffRanges[1];
            if (f > 0.001)
                a = std::fabs(a);
            if (std::fabs(a) > limit)
                a = sign(a) * limit;
            amp->setText(formatWithMask(a, "0.0000"));
        }
        setTextColor(edit, kCommitted);
        StartMultimeterLMDSpeedButton->setEnabled(!isUncommitted(amp) && !isUncommitted(freq));
    } catch (const ConversionError&) {
        dialogs().messageBox(this, "Обнаружена ошибка преобразования строки в число.", "Ошибка CommonLMDEditKeyPress()!!!",
                             MsgIcon::Information);
    } catch (...) {
        dialogs().messageBox(this, "Обнаружена неустранимая ошибка!", "Ошибка CommonLMDEditKeyPress()!!!", MsgIcon::Information);
    }
}

void TMainForm::AcDcVoltmeterModeLMDRadioGroupChange(QObject* sender)
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    auto* group = dynamic_cast<TRadioGroup*>(sender);
    if (!group) {
        dialogs().messageBox(this, "Не могу привести тип!", "Ошибка AcDcVoltmeterModeLMDRadioGroupChange()!!!", MsgIcon::Information);
        return;
    }
    StopThread();
    const int m = group->itemIndex();
    const bool labels = m != 2;
    VoltmeterValueLMDLabel->setEnabled(labels);
    VoltmeterValueUnitLMDLabel->setEnabled(labels);
    AcFilterVoltmeterLMDComboBox->setEnabled(m == 1);
}

void TMainForm::AcFilterVoltmeterLMDComboBoxChange()
{
    if (UpdateGuard)
        return;
    GuardScope guard(*this);
    StopThread();
}

// ---- mouse wheel

bool TMainForm::FormMouseWheelDown(const QPoint& globalPos) { return FormMouseWheel(QApplication::widgetAt(globalPos), +1); }

bool TMainForm::FormMouseWheelUp(const QPoint& globalPos) { return FormMouseWheel(QApplication::widgetAt(globalPos), -1); }

bool TMainForm::FormMouseWheel(QWidget* found, int step)
{
    if (!found || found->window() != this)
        return false;
    // The scroll box as one control: the area itself, its viewport, the panel it scrolls and
    // its scroll bars. A control inside the panel is a control of its own.
    QScrollArea* box = nullptr;
    for (QWidget* w = found; w && !box; w = w->parentWidget())
        box = qobject_cast<QScrollArea*>(w);
    if (!box)
        return false;
    const bool boxItself = found == box || found == box->viewport() || found == box->widget() ||
                           found == box->verticalScrollBar() || found->parentWidget() == box;
    if (!boxItself)
        return false;
    QScrollBar* bar = box->verticalScrollBar();
    if (!bar->isVisible())
        return false;
    QScrollBar* panels = AdcIndividualParsLMDScrollBox->verticalScrollBar();
    panels->setValue(panels->value() + step * panels->singleStep());
    box->setFocus();
    return true;
}

}  // namespace qmx
