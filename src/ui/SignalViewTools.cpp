// The signal view's options as text and its exports: asking for the file, writing it through a
// temporary file renamed into place, and the PNG's picture.
#include "SignalView.h"

#include "DialogSeam.h"
#include "ReadingsWriter.h"
#include "SignalFrame.h"
#include "SignalPlot.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFontMetrics>
#include <QImageWriter>
#include <QLayout>
#include <QRegularExpression>
#include <QPainter>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSpinBox>

#include <cmath>
#include <optional>

namespace qmx {

namespace {

// "1" / "0" (and true / false, yes / no) as a flag; anything else is no answer.
std::optional<bool> flagOf(const QString& text)
{
    const QString t = text.trimmed().toLower();
    if (t == "1" || t == "true" || t == "yes" || t == "on")
        return true;
    if (t == "0" || t == "false" || t == "no" || t == "off")
        return false;
    return std::nullopt;
}

// A whole number within [lo, hi]; anything else is no answer.
std::optional<int> intOf(const QString& text, int lo, int hi)
{
    bool ok = false;
    const long long v = text.trimmed().toLongLong(&ok);
    if (!ok || v < lo || v > hi)
        return std::nullopt;
    return static_cast<int>(v);
}

}  // namespace

QMap<QString, QString> SignalView::saveOptions() const
{
    QMap<QString, QString> o;
    QStringList channels;
    for (int c = 0; c < 4; ++c)
        if (_channelBoxes[static_cast<std::size_t>(c)]->isChecked())
            channels << QString::number(c + 1);
    o["channels"] = channels.join(' ');
    o["log_frequency"] = _logBox->isChecked() ? "1" : "0";
    o["fit"] = _fitBox->isChecked() ? "1" : "0";
    o["spectrum_unit"] = _unitCombo->currentIndex() == 1 ? "V" : "dBV";
    const char* modes[] = {"off", "rms", "peak"};
    o["averaging"] = modes[std::clamp(_averagingCombo->currentIndex(), 0, 2)];
    o["average_count"] = QString::number(_averageCount->value());
    o["trigger"] = _triggerBox->isChecked() ? "1" : "0";
    o["trigger_channel"] = QString::number(_triggerChannel->currentIndex() + 1);
    o["trigger_level"] = numberText(_triggerLevel->value());
    o["trigger_edge"] = _triggerEdge->currentIndex() == 1 ? "falling" : "rising";
    o["cursors"] = _cursorsBox->isChecked() ? "1" : "0";
    o["cursor_channel"] = QString::number(_cursorChannel->currentIndex() + 1);
    return o;
}

void SignalView::restoreOptions(const QMap<QString, QString>& o)
{
    const auto text = [&](const char* key) { return o.value(key); };
    // channels: numbers 1..4 apart by spaces or commas; none that reads is the default (all)
    std::array<bool, 4> shown{true, true, true, true};
    if (o.contains("channels")) {
        std::array<bool, 4> listed{};
        bool valid = true;
        for (const QString& part : text("channels").split(QRegularExpression("[ ,;]+"), Qt::SkipEmptyParts)) {
            const std::optional<int> ch = intOf(part, 1, 4);
            if (!ch) {
                valid = false;
                break;
            }
            listed[static_cast<std::size_t>(*ch - 1)] = true;
        }
        if (valid)
            shown = listed;
    }
    for (std::size_t c = 0; c < 4; ++c)
        _channelBoxes[c]->setChecked(shown[c]);
    _logBox->setChecked(flagOf(text("log_frequency")).value_or(false));
    _fitBox->setChecked(flagOf(text("fit")).value_or(false));
    _unitCombo->setCurrentIndex(text("spectrum_unit").trimmed() == "V" ? 1 : 0);
    const QString mode = text("averaging").trimmed();
    _averagingCombo->setCurrentIndex(mode == "rms" ? 1 : mode == "peak" ? 2 : 0);
    _averageCount->setValue(intOf(text("average_count"), 1, _averageCount->maximum()).value_or(16));
    _triggerChannel->setCurrentIndex(intOf(text("trigger_channel"), 1, 4).value_or(1) - 1);
    bool ok = false;
    const double level = text("trigger_level").trimmed().toDouble(&ok);
    _triggerLevel->setValue(ok && std::isfinite(level) ? std::clamp(level, _triggerLevel->minimum(), _triggerLevel->maximum()) : 0.0);
    _triggerEdge->setCurrentIndex(text("trigger_edge").trimmed() == "falling" ? 1 : 0);
    _triggerBox->setChecked(flagOf(text("trigger")).value_or(false));
    _cursorChannel->setCurrentIndex(intOf(text("cursor_channel"), 1, 4).value_or(1) - 1);
    _cursorsBox->setChecked(flagOf(text("cursors")).value_or(false));
    applyTrigger();
    applyCursors();
    applyAveraging();
}

// ---- exports

SignalExportInfo SignalView::exportInfo(const QDateTime& timeUtc) const
{
    SignalExportInfo info;
    info.crateSerial = _crateSerial;
    info.moduleSerial = _moduleSerial;
    info.timeUtc = timeUtc;
    return info;
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

QString SignalView::defaultName(const QString& stem, const QString& suffix, const QDateTime& timeUtc)
{
    const QString base = stem + '-' + timeUtc.toUTC().toString("yyyyMMdd-HHmmss");
    QString name = base + suffix;
    for (int n = 2; _offeredNames.contains(name); ++n)
        name = base + '-' + QString::number(n) + suffix;
    _offeredNames << name;
    return name;
}

void SignalView::writeExport(const QString& path, std::function<bool(QIODevice&, QString&)> write)
{
    // One export at a time: a second waits for the first to end.
    finishExport();
    // The file is written on a worker thread (the window never waits on the disk), through a
    // temporary file beside the target renamed into place when complete: a failed export
    // leaves whatever was there before. The outcome comes back to the window thread.
    _exportThread = std::thread([this, path, write = std::move(write)] {
        QString error;
        bool ok = false;
        const QFileInfo target(path);
        if (target.exists() && !target.isFile()) {
            // A device or a pipe is written in place: renaming a file over it would replace it.
            QFile file(path);
            if (file.open(QIODevice::WriteOnly)) {
                ok = write(file, error) && file.flush();
                if (!ok && error.isEmpty())
                    error = file.errorString();
            } else {
                error = file.errorString();
            }
        } else {
            QSaveFile file(path);
            if (file.open(QIODevice::WriteOnly)) {
                ok = write(file, error);
                if (!ok) {
                    if (error.isEmpty())
                        error = file.errorString();
                    file.cancelWriting();
                } else if (!file.commit()) {
                    ok = false;
                    error = file.errorString();
                }
            } else {
                error = file.errorString();
            }
        }
        QMetaObject::invokeMethod(
            this,
            [this, path, ok, error] {
                if (!ok)
                    showWriteFailure(path, error);
                emit exportFinished(path, ok);
            },
            Qt::QueuedConnection);
    });
}

void SignalView::finishExport()
{
    if (_exportThread.joinable())
        _exportThread.join();
}

void SignalView::exportShownFrame(const char* dialogName, const QString& stem, const QString& suffix, const QString& filter,
                                  const FrameWriter& write)
{
    if (!_frame) {
        _dialogs.messageBox(this, "Нет данных для экспорта", "Экспорт", MsgIcon::Information);
        return;
    }
    // what is shown now is exported, whatever frames arrive while the dialog is open
    const std::shared_ptr<const SignalFrame> frame = _frame;
    const std::array<bool, 4> shown = exportedChannels();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString path = askExportPath(dialogName, defaultName(stem, suffix, now), filter);
    if (path.isEmpty())
        return;
    const SignalExportInfo info = exportInfo(now);
    writeExport(path, [frame, shown, info, write](QIODevice& out, QString& error) { return write(out, *frame, shown, info, error); });
}

void SignalView::exportCsv()
{
    exportShownFrame("SignalExportCsvDialog", "signal", ".csv", "Файлы CSV (*.csv)",
                     [](QIODevice& out, const SignalFrame& frame, const std::array<bool, 4>& shown, const SignalExportInfo& info,
                        QString&) {
                         const QByteArray text = signalCsvText(frame, shown, info);
                         return out.write(text) == text.size();
                     });
}

void SignalView::exportSamplesCsv()
{
    exportShownFrame("SignalExportSamplesCsvDialog", "signal-samples", ".csv", "Файлы CSV (*.csv)",
                     [](QIODevice& out, const SignalFrame& frame, const std::array<bool, 4>& shown, const SignalExportInfo& info,
                        QString&) { return writeSignalSamplesCsv(out, frame, shown, info); });
}

void SignalView::exportWav()
{
    exportShownFrame("SignalExportWavDialog", "signal", ".wav", "Звуковые файлы WAV (*.wav)",
                     [](QIODevice& out, const SignalFrame& frame, const std::array<bool, 4>& shown, const SignalExportInfo& info,
                        QString& error) { return writeSignalWav(out, frame, shown, info, &error); });
}

QImage SignalView::renderPicture(const QDateTime& timeUtc)
{
    if (layout())
        layout()->activate();
    const SignalExportInfo info = exportInfo(timeUtc);
    QStringList caption;
    caption << QString("Сигнал и спектр · крейт %1 · модуль %2 · %3 UTC")
                   .arg(info.crateSerial.isEmpty() ? QStringLiteral("?") : info.crateSerial,
                        info.moduleSerial.isEmpty() ? QStringLiteral("?") : info.moduleSerial,
                        timeUtc.toUTC().toString("yyyy-MM-dd HH:mm:ss"));
    caption << signalFrameText(_frame.get());
    if (_frame) {
        QStringList channels;
        for (std::size_t c = 0; c < 4; ++c) {
            const ChannelTrace& t = _frame->channels[c];
            if (t.present && _channelBoxes[c]->isChecked())
                channels << QString("канал %1: ±%2 В, %3, %4%5")
                                .arg(c + 1)
                                .arg(numberText(t.rangeVolts), t.acMode ? "AC" : "DC", t.icp ? "ICP" : "диф.",
                                     t.overloaded ? ", перегрузка" : "");
        }
        caption << channels.join(" · ");
    }
    const QFontMetrics fm(font());
    const int captionHeight = fm.height() * static_cast<int>(caption.size()) + 8;
    const int w = std::max(_waveform->width(), _spectrum->width());
    QImage image(QSize(w, captionHeight + _waveform->height() + _spectrum->height()), QImage::Format_RGB32);
    image.fill(palette().color(QPalette::Window));
    QPainter p(&image);
    p.setFont(font());
    p.setPen(palette().color(QPalette::WindowText));
    for (int i = 0; i < caption.size(); ++i)
        p.drawText(6, 4 + fm.ascent() + i * fm.height(), caption[i]);
    _waveform->renderPlot(p, QRect(0, captionHeight, _waveform->width(), _waveform->height()));
    _spectrum->renderPlot(p, QRect(0, captionHeight + _waveform->height(), _spectrum->width(), _spectrum->height()));
    return image;
}

void SignalView::exportPng()
{
    if (!_frame) {
        _dialogs.messageBox(this, "Нет данных для экспорта", "Экспорт", MsgIcon::Information);
        return;
    }
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QImage image = renderPicture(now);
    const QString path = askExportPath("SignalExportPngDialog", defaultName("signal", ".png", now), "Изображения PNG (*.png)");
    if (path.isEmpty())
        return;
    writeExport(path, [image](QIODevice& out, QString& error) {
        QImageWriter writer(&out, "png");
        if (writer.write(image))
            return true;
        // the device's own reason (a full disk) says more than the image writer's
        if (out.errorString().isEmpty() || out.errorString() == "Unknown error")
            error = writer.errorString();
        return false;
    });
}

}  // namespace qmx
