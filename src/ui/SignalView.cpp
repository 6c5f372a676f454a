#include "SignalView.h"

#include "DialogSeam.h"
#include "ReadingsWriter.h"
#include "SignalFrame.h"
#include "SignalPlot.h"
#include "SignalTap.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QSpinBox>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace qmx {

namespace {

// A reading the panel shows as a number (it gets its unit), rather than a placeholder such as
// "--------" or "OVERLOAD!" (shown as it is).
bool isNumberText(const QString& text)
{
    bool digit = false;
    for (QChar ch : text) {
        if (ch.isDigit())
            digit = true;
        else if (!QStringLiteral("+-.,eE ").contains(ch))
            return false;
    }
    return digit;
}

void setLabelText(QLabel* label, const QString& text)
{
    if (label->text() != text)
        label->setText(text);
}

template <typename W>
W* named(W* w, const char* name, const QString& accessible)
{
    w->setObjectName(name);
    w->setAccessibleName(accessible);
    return w;
}

QComboBox* channelCombo(QWidget* parent, const char* name, const QString& accessible)
{
    auto* box = named(new QComboBox(parent), name, accessible);
    for (int ch = 1; ch <= 4; ++ch)
        box->addItem(QString("Канал %1").arg(ch));
    return box;
}

}  // namespace

QString signalReadingsText(const ChannelTrace& t)
{
    if (!t.present)
        return "нет данных";
    QStringList parts;
    const auto add = [&](const QString& text, const char* unit) {
        const QString trimmed = text.trimmed();
        if (!trimmed.isEmpty())
            parts << (isNumberText(trimmed) ? trimmed + ' ' + QString::fromUtf8(unit) : trimmed);
    };
    add(t.valueText, "мВ");
    add(t.frequencyText, "кГц");
    add(t.phaseText, "Град");
    if (parts.isEmpty() && t.overloaded)
        return "перегрузка";
    return parts.join("   ");
}

QString signalFrameText(const SignalFrame* f)
{
    if (!f)
        return "Нет данных";
    const QString rate = numberText(f->sampleRate);
    QString text = QString("Кадр %1 · %2 отсчётов · %3 Гц · метод %4 · %5")
                       .arg(f->frame)
                       .arg(f->samplesPerChannel)
                       .arg(rate.isEmpty() ? QStringLiteral("?") : rate, f->method.isEmpty() ? QStringLiteral("?") : f->method,
                            f->amplitudeType == "rms" ? QStringLiteral("СКЗ") : QStringLiteral("амплитуда"));
    if (f->method == "sum")
        text += " · спектр только для просмотра";
    return text;
}


SignalView::SignalView(DialogSeam& dialogs, QWidget* parent) : QWidget(parent, Qt::Tool), _dialogs(dialogs)
{
    setObjectName("SignalView");
    setWindowTitle("Сигнал и спектр");
    setAccessibleName("Сигнал и спектр");
    buildControls();
    // the taps start from what this view asks
    applyAveraging();
    resize(1000, 760);
}

SignalView::~SignalView()
{
    // an export in progress ends first: it reads the frame and reports to this view
    finishExport();
}

void SignalView::buildControls()
{
    auto* top = new QVBoxLayout(this);
    auto* channels = new QGridLayout;
    for (int ch = 0; ch < 4; ++ch) {
        const auto c = static_cast<std::size_t>(ch);
        auto* box = new QCheckBox(QString("Канал %1  %2").arg(ch + 1).arg(signalChannelCue(ch)), this);
        box->setObjectName(QString("SignalChannel%1CheckBox").arg(ch + 1));
        box->setAccessibleName(QString("Показывать канал %1").arg(ch + 1));
        box->setChecked(true);
        QPalette pal = box->palette();
        for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
            pal.setColor(role, signalChannelColor(ch));
        box->setPalette(pal);
        QFont bold = box->font();
        bold.setBold(true);
        box->setFont(bold);
        auto* readings = new QLabel(signalReadingsText(ChannelTrace()), this);
        readings->setObjectName(QString("SignalReadings%1Label").arg(ch + 1));
        readings->setAccessibleName(QString("Показания канала %1").arg(ch + 1));
        // the text changes every frame: its width must not make the window lay itself out again
        readings->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        readings->setMinimumWidth(260);
        channels->addWidget(box, ch / 2, (ch % 2) * 2);
        channels->addWidget(readings, ch / 2, (ch % 2) * 2 + 1);
        _channelBoxes[c] = box;
        _readingsLabels[c] = readings;
    }
    channels->setColumnStretch(1, 1);
    channels->setColumnStretch(3, 1);
    top->addLayout(channels);

    _frameLabel = named(new QLabel(signalFrameText(nullptr), this), "SignalFrameLabel", "Кадр");
    _frameLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    top->addWidget(_frameLabel);

    // Waveform tools: trigger, cursors, zoom reset.
    auto* waveTools = new QHBoxLayout;
    _triggerBox = named(new QCheckBox("Запуск", this), "SignalTriggerCheckBox", "Запуск по уровню");
    _triggerChannel = channelCombo(this, "SignalTriggerChannelComboBox", "Канал запуска");
    _triggerLevel = named(new QDoubleSpinBox(this), "SignalTriggerLevelSpinBox", "Уровень запуска, В");
    _triggerLevel->setRange(-100, 100);
    _triggerLevel->setDecimals(4);
    _triggerLevel->setSingleStep(0.01);
    _triggerLevel->setSuffix(" В");
    _triggerEdge = named(new QComboBox(this), "SignalTriggerEdgeComboBox", "Фронт запуска");
    _triggerEdge->addItems({"фронт ↑", "спад ↓"});
    _cursorsBox = named(new QCheckBox("Курсоры", this), "SignalCursorsCheckBox", "Курсоры");
    _cursorChannel = channelCombo(this, "SignalCursorChannelComboBox", "Канал курсоров");
    _resetZoomButton = named(new QPushButton("Сброс масштаба", this), "SignalResetZoomButton", "Сброс масштаба");
    for (QWidget* w : std::initializer_list<QWidget*>{_triggerBox, _triggerChannel, _triggerLevel, _triggerEdge})
        waveTools->addWidget(w);
    waveTools->addSpacing(12);
    waveTools->addWidget(_cursorsBox);
    waveTools->addWidget(_cursorChannel);
    waveTools->addStretch(1);
    waveTools->addWidget(_resetZoomButton);
    top->addLayout(waveTools);

    _waveform = new SignalWaveformPlot(this);
    _spectrum = new SignalSpectrumPlot(this);
    top->addWidget(_waveform, 1);

    // Spectrum tools: unit and averaging.
    auto* spectrumTools = new QHBoxLayout;
    _unitCombo = named(new QComboBox(this), "SignalSpectrumUnitComboBox", "Единицы спектра");
    _unitCombo->addItems({"дБВ", "В (СКЗ)"});
    _averagingCombo = named(new QComboBox(this), "SignalAveragingComboBox", "Усреднение спектра");
    _averagingCombo->addItems({"Без усреднения", "Усреднение СКЗ", "Пиковое удержание"});
    _averageCount = named(new QSpinBox(this), "SignalAveragingCountSpinBox", "Число кадров усреднения");
    _averageCount->setRange(1, SignalTapControl::kMaxAverageCount);
    _averageCount->setValue(16);
    _averageCount->setPrefix("N = ");
    _averagingResetButton = named(new QPushButton("Сбросить усреднение", this), "SignalAveragingResetButton", "Сбросить усреднение");
    _logBox = named(new QCheckBox("Лог. шкала частот", this), "SignalLogFrequencyCheckBox", "Логарифмическая шкала частот");
    for (QWidget* w : std::initializer_list<QWidget*>{_unitCombo, _logBox, _averagingCombo, _averageCount, _averagingResetButton})
        spectrumTools->addWidget(w);
    spectrumTools->addStretch(1);
    top->addLayout(spectrumTools);
    top->addWidget(_spectrum, 1);

    auto* bottom = new QHBoxLayout;
    _fitBox = named(new QCheckBox("По сигналу", this), "SignalFitCheckBox", "Масштаб напряжения по сигналу");
    _holdBox = named(new QCheckBox("Стоп-кадр", this), "SignalHoldCheckBox", "Стоп-кадр");
    _cursorLabel = named(new QLabel(this), "SignalCursorLabel", "Показание под указателем");
    _cursorLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    _cursorLabel->setMinimumWidth(240);
    _csvButton = named(new QPushButton("Экспорт CSV…", this), "SignalExportCsvButton", "Экспорт огибающей и спектра в CSV");
    _samplesCsvButton = named(new QPushButton("Отсчёты CSV…", this), "SignalExportSamplesCsvButton", "Экспорт отсчётов в CSV");
    _wavButton = named(new QPushButton("Отсчёты WAV…", this), "SignalExportWavButton", "Экспорт отсчётов в WAV");
    _pngButton = named(new QPushButton("Экспорт PNG…", this), "SignalExportPngButton", "Экспорт рисунка в PNG");
    for (QWidget* w : std::initializer_list<QWidget*>{_fitBox, _holdBox})
        bottom->addWidget(w);
    bottom->addSpacing(12);
    bottom->addWidget(_cursorLabel, 1);
    for (QWidget* w : std::initializer_list<QWidget*>{_csvButton, _samplesCsvButton, _wavButton, _pngButton})
        bottom->addWidget(w);
    top->addLayout(bottom);

    for (int ch = 0; ch < 4; ++ch) {
        connect(_channelBoxes[static_cast<std::size_t>(ch)], &QCheckBox::toggled, this, [this, ch](bool on) {
            _waveform->setChannelShown(ch, on);
            _spectrum->setChannelShown(ch, on);
        });
    }
    connect(_fitBox, &QCheckBox::toggled, _waveform, &SignalWaveformPlot::setFitToData);
    connect(_logBox, &QCheckBox::toggled, _spectrum, &SignalSpectrumPlot::setLogFrequency);
    connect(_unitCombo, qOverload<int>(&QComboBox::currentIndexChanged), this, [this](int i) { _spectrum->setDecibels(i != 1); });
    connect(_triggerBox, &QCheckBox::toggled, this, &SignalView::applyTrigger);
    connect(_triggerChannel, qOverload<int>(&QComboBox::currentIndexChanged), this, &SignalView::applyTrigger);
    connect(_triggerLevel, qOverload<double>(&QDoubleSpinBox::valueChanged), this, &SignalView::applyTrigger);
    connect(_triggerEdge, qOverload<int>(&QComboBox::currentIndexChanged), this, &SignalView::applyTrigger);
    connect(_cursorsBox, &QCheckBox::toggled, this, &SignalView::applyCursors);
    connect(_cursorChannel, qOverload<int>(&QComboBox::currentIndexChanged), this, &SignalView::applyCursors);
    connect(_averagingCombo, qOverload<int>(&QComboBox::currentIndexChanged), this, &SignalView::applyAveraging);
    connect(_averageCount, qOverload<int>(&QSpinBox::valueChanged), this, &SignalView::applyAveraging);
    connect(_averagingResetButton, &QPushButton::clicked, this, [] { signalTapControl().resetCount.fetch_add(1); });
    connect(_resetZoomButton, &QPushButton::clicked, this, [this] {
        _waveform->resetZoom();
        _spectrum->resetZoom();
    });
    // the label alone: a plot hidden while the view is being destroyed still reports
    for (SignalPlot* plot : std::initializer_list<SignalPlot*>{_waveform, _spectrum})
        connect(plot, &SignalPlot::cursorMoved, _cursorLabel, [label = _cursorLabel](const QString& text) { setLabelText(label, text); });
    connect(_csvButton, &QPushButton::clicked, this, &SignalView::exportCsv);
    connect(_samplesCsvButton, &QPushButton::clicked, this, &SignalView::exportSamplesCsv);
    connect(_wavButton, &QPushButton::clicked, this, &SignalView::exportWav);
    connect(_pngButton, &QPushButton::clicked, this, &SignalView::exportPng);

    for (QPushButton* b : {_csvButton, _samplesCsvButton, _wavButton, _pngButton})
        b->setEnabled(false);
}

void SignalView::applyTrigger()
{
    _waveform->setTrigger(_triggerBox->isChecked(), _triggerChannel->currentIndex(), _triggerLevel->value(),
                          _triggerEdge->currentIndex() != 1);
}

void SignalView::applyCursors()
{
    for (SignalPlot* plot : std::initializer_list<SignalPlot*>{_waveform, _spectrum}) {
        plot->setCursorChannel(_cursorChannel->currentIndex());
        plot->setCursorsShown(_cursorsBox->isChecked());
    }
}

void SignalView::applyAveraging()
{
    SignalTapControl& control = signalTapControl();
    control.averaging.store(std::clamp(_averagingCombo->currentIndex(), 0, 2));
    control.averageCount.store(_averageCount->value());
    _averageCount->setEnabled(_averagingCombo->currentIndex() == 1);
}

void SignalView::setSource(const QString& crateSerial, const QString& moduleSerial)
{
    _crateSerial = crateSerial;
    _moduleSerial = moduleSerial;
}

bool SignalView::held() const { return _holdBox->isChecked(); }

QString SignalView::cursorText() const { return _cursorLabel->text(); }

void SignalView::showFrame(std::shared_ptr<const SignalFrame> frame)
{
    if (held())
        return;
    QElapsedTimer timer;
    timer.start();
    _frame = std::move(frame);
    setShownTexts();
    _waveform->setFrame(_frame);
    _spectrum->setFrame(_frame);
    _paintNs = 0;
    _showNs = timer.nsecsElapsed();
}

void SignalView::clear()
{
    _frame.reset();
    setShownTexts();
    _waveform->setFrame(nullptr);
    _spectrum->setFrame(nullptr);
}

void SignalView::setShownTexts()
{
    // by reference: a channel's trace holds its samples, a copy would cost milliseconds
    static const ChannelTrace kNone;
    for (std::size_t c = 0; c < 4; ++c)
        setLabelText(_readingsLabels[c], signalReadingsText(_frame ? _frame->channels[c] : kNone));
    setLabelText(_frameLabel, signalFrameText(_frame.get()));
    for (QPushButton* b : {_csvButton, _samplesCsvButton, _wavButton, _pngButton})
        if (b->isEnabled() != (_frame != nullptr))
            b->setEnabled(_frame != nullptr);
}

std::array<bool, 4> SignalView::exportedChannels() const
{
    std::array<bool, 4> shown{};
    for (std::size_t c = 0; c < 4; ++c)
        shown[c] = _frame && _channelBoxes[c]->isChecked() && _frame->channels[c].present;
    return shown;
}

bool SignalView::event(QEvent* e)
{
    // The window's repaints (every child widget that changed, and the flush) happen in its
    // update request; that is the paint cost a frame causes.
    if (e->type() != QEvent::UpdateRequest)
        return QWidget::event(e);
    QElapsedTimer timer;
    timer.start();
    const bool result = QWidget::event(e);
    _paintNs += timer.nsecsElapsed();
    return result;
}

void SignalView::keyPressEvent(QKeyEvent* e)
{
    if (e->key() == Qt::Key_Escape && e->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(e);
}

void SignalView::closeEvent(QCloseEvent* e)
{
    QWidget::closeEvent(e);
    emit closed();
}

}  // namespace qmx
