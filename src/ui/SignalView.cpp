#include "SignalView.h"

#include "DialogSeam.h"
#include "ReadingsWriter.h"
#include "SignalFrame.h"
#include "SignalPlot.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QElapsedTimer>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QImage>
#include <QImageWriter>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSaveFile>
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

QString oneLine(QString text)
{
    text.replace('\r', ' ');
    text.replace('\n', ' ');
    return text;
}

void setLabelText(QLabel* label, const QString& text)
{
    if (label->text() != text)
        label->setText(text);
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

QByteArray signalCsvText(const SignalFrame& f, const std::array<bool, 4>& shown)
{
    QByteArray out;
    const auto line = [&](const char* key, const QString& value) {
        out += "# ";
        out += key;
        out += ": ";
        out += oneLine(value).toUtf8();
        out += '\n';
    };
    QStringList channels;
    for (std::size_t c = 0; c < 4; ++c)
        if (shown[c] && f.channels[c].present)
            channels << QString::number(c + 1);
    line("frame", QString::number(f.frame));
    line("sample_rate_hz", numberText(f.sampleRate));
    line("samples_per_channel", QString::number(f.samplesPerChannel));
    line("spectrum_length", QString::number(f.spectrumLength));
    line("method", f.method);
    line("amplitude", f.amplitudeType);
    line("channels", channels.join(' '));
    out += "kind,channel,x,y_min,y_max\n";

    const bool timed = std::isfinite(f.sampleRate) && f.sampleRate > 0;
    for (std::size_t c = 0; c < 4; ++c) {
        const ChannelTrace& t = f.channels[c];
        if (!shown[c] || !t.present)
            continue;
        const QByteArray channel = QByteArray::number(static_cast<int>(c) + 1);
        const std::size_t b = std::min(t.envelopeMin.size(), t.envelopeMax.size());
        // the bucket's first sample, as the frame defines its buckets
        const auto n = static_cast<unsigned long long>(f.samplesPerChannel > 0 ? f.samplesPerChannel : static_cast<long long>(b));
        for (std::size_t i = 0; i < b; ++i) {
            const auto first = static_cast<unsigned long long>(static_cast<unsigned __int128>(i) * n / b);
            out += "waveform," + channel + ',';
            if (timed)
                out += numberText(static_cast<double>(first) / f.sampleRate).toLatin1();
            out += ',' + numberText(t.envelopeMin[i]).toLatin1() + ',' + numberText(t.envelopeMax[i]).toLatin1() + '\n';
        }
        const std::size_t points = std::min(t.spectrumHz.size(), t.spectrumDbV.size());
        for (std::size_t i = 0; i < points; ++i)
            out += "spectrum," + channel + ',' + numberText(t.spectrumHz[i]).toLatin1() + ',' +
                   numberText(t.spectrumDbV[i]).toLatin1() + ",\n";
        if (t.hasPeak)
            out += "peak," + channel + ',' + numberText(t.peakHz).toLatin1() + ',' + numberText(t.peakDbV).toLatin1() + ",\n";
    }
    return out;
}

SignalView::SignalView(DialogSeam& dialogs, QWidget* parent) : QWidget(parent, Qt::Tool), _dialogs(dialogs)
{
    setObjectName("SignalView");
    setWindowTitle("Сигнал и спектр");

    auto* top = new QVBoxLayout(this);
    auto* channels = new QGridLayout;
    for (int ch = 0; ch < 4; ++ch) {
        const auto c = static_cast<std::size_t>(ch);
        auto* box = new QCheckBox(QString("Канал %1").arg(ch + 1), this);
        box->setObjectName(QString("SignalChannel%1CheckBox").arg(ch + 1));
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

    _frameLabel = new QLabel(signalFrameText(nullptr), this);
    _frameLabel->setObjectName("SignalFrameLabel");
    _frameLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    top->addWidget(_frameLabel);

    _waveform = new SignalWaveformPlot(this);
    _spectrum = new SignalSpectrumPlot(this);
    top->addWidget(_waveform, 1);
    top->addWidget(_spectrum, 1);

    auto* bottom = new QHBoxLayout;
    _fitBox = new QCheckBox("По сигналу", this);
    _fitBox->setObjectName("SignalFitCheckBox");
    _logBox = new QCheckBox("Лог. шкала частот", this);
    _logBox->setObjectName("SignalLogFrequencyCheckBox");
    _holdBox = new QCheckBox("Стоп-кадр", this);
    _holdBox->setObjectName("SignalHoldCheckBox");
    _cursorLabel = new QLabel(this);
    _cursorLabel->setObjectName("SignalCursorLabel");
    _cursorLabel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    _cursorLabel->setMinimumWidth(280);
    _csvButton = new QPushButton("Экспорт CSV…", this);
    _csvButton->setObjectName("SignalExportCsvButton");
    _pngButton = new QPushButton("Экспорт PNG…", this);
    _pngButton->setObjectName("SignalExportPngButton");
    for (QWidget* w : std::initializer_list<QWidget*>{_fitBox, _logBox, _holdBox})
        bottom->addWidget(w);
    bottom->addSpacing(12);
    bottom->addWidget(_cursorLabel, 1);
    bottom->addWidget(_csvButton);
    bottom->addWidget(_pngButton);
    top->addLayout(bottom);

    for (int ch = 0; ch < 4; ++ch) {
        connect(_channelBoxes[static_cast<std::size_t>(ch)], &QCheckBox::toggled, this, [this, ch](bool on) {
            _waveform->setChannelShown(ch, on);
            _spectrum->setChannelShown(ch, on);
        });
    }
    connect(_fitBox, &QCheckBox::toggled, _waveform, &SignalWaveformPlot::setFitToData);
    connect(_logBox, &QCheckBox::toggled, _spectrum, &SignalSpectrumPlot::setLogFrequency);
    // the label alone: a plot hidden while the view is being destroyed still reports
    for (SignalPlot* plot : std::initializer_list<SignalPlot*>{_waveform, _spectrum})
        connect(plot, &SignalPlot::cursorMoved, _cursorLabel, [label = _cursorLabel](const QString& text) { setLabelText(label, text); });
    connect(_csvButton, &QPushButton::clicked, this, &SignalView::exportCsv);
    connect(_pngButton, &QPushButton::clicked, this, &SignalView::exportPng);

    _csvButton->setEnabled(false);
    _pngButton->setEnabled(false);
    resize(1000, 700);
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
    for (std::size_t c = 0; c < 4; ++c)
        setLabelText(_readingsLabels[c], signalReadingsText(_frame ? _frame->channels[c] : ChannelTrace()));
    setLabelText(_frameLabel, signalFrameText(_frame.get()));
    _csvButton->setEnabled(_frame != nullptr);
    _pngButton->setEnabled(_frame != nullptr);
}

std::array<bool, 4> SignalView::exportedChannels() const
{
    std::array<bool, 4> shown{};
    for (std::size_t c = 0; c < 4; ++c)
        shown[c] = _frame && _channelBoxes[c]->isChecked() && _frame->channels[c].present;
    return shown;
}

void SignalView::showWriteFailure(const QString& path, const QString& reason)
{
    _dialogs.messageBox(this, "Не могу записать файл " + QDir::toNativeSeparators(path) + ": " + reason, "Экспорт",
                        MsgIcon::Warning);
}

QString SignalView::askExportPath(const char* dialogName, const QString& defaultFileName, const QString& filter)
{
    FileDialogRequest request;
    request.name = dialogName;
    request.save = true;
    request.defaultFileName = defaultFileName;
    request.confirmOverwrite = true;
    request.filter = filter;
    return _dialogs.fileDialog(this, request);
}

void SignalView::exportCsv()
{
    if (!_frame) {
        _dialogs.messageBox(this, "Нет данных для экспорта", "Экспорт", MsgIcon::Information);
        return;
    }
    // what is shown now is exported, whatever frames arrive while the dialog is open
    const std::shared_ptr<const SignalFrame> frame = _frame;
    const std::array<bool, 4> shown = exportedChannels();
    const QString path = askExportPath("SignalExportCsvDialog", "signal.csv", "Файлы CSV (*.csv)");
    if (path.isEmpty())
        return;
    const QByteArray text = signalCsvText(*frame, shown);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        showWriteFailure(path, file.errorString());
}

void SignalView::exportPng()
{
    if (!_frame) {
        _dialogs.messageBox(this, "Нет данных для экспорта", "Экспорт", MsgIcon::Information);
        return;
    }
    if (layout())
        layout()->activate();
    const QImage image = grab().toImage();
    const QString path = askExportPath("SignalExportPngDialog", "signal.png", "Изображения PNG (*.png)");
    if (path.isEmpty())
        return;
    QImageWriter writer(path, "png");
    if (!writer.write(image))
        showWriteFailure(path, writer.errorString());
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
