#include "SignalExport.h"

#include "ReadingsWriter.h"
#include "SignalFrame.h"

#include <QIODevice>

#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace qmx {

namespace {

QString orUnknown(const QString& s) { return s.trimmed().isEmpty() ? QStringLiteral("?") : oneLine(s.trimmed()); }

// Bytes are written in pieces of about this size, so a long frame never needs its whole text
// in memory at once.
constexpr qsizetype kChunk = 1 << 20;

bool flush(QIODevice& out, QByteArray& buffer, bool force)
{
    if (!force && buffer.size() < kChunk)
        return true;
    const bool ok = out.write(buffer) == buffer.size();
    buffer.clear();
    return ok;
}

void appendShortest(QByteArray& out, double v)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, static_cast<qsizetype>(r.ptr - buf));
}

void putU32(QByteArray& b, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b += static_cast<char>((v >> (8 * i)) & 0xFFu);
}
void putU16(QByteArray& b, quint16 v)
{
    b += static_cast<char>(v & 0xFFu);
    b += static_cast<char>(v >> 8);
}

std::vector<int> exportedChannels(const SignalFrame& f, const std::array<bool, 4>& shown)
{
    std::vector<int> channels;
    for (int c = 0; c < 4; ++c)
        if (shown[static_cast<std::size_t>(c)] && signalHasSamples(f, c))
            channels.push_back(c);
    return channels;
}

}  // namespace

QByteArray shortestFloatText(float v)
{
    if (!std::isfinite(v))
        return {};
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return QByteArray(buf, static_cast<qsizetype>(r.ptr - buf));
}

bool signalHasSamples(const SignalFrame& f, int channel)
{
    if (channel < 0 || channel > 3)
        return false;
    const ChannelTrace& t = f.channels[static_cast<std::size_t>(channel)];
    return t.present && f.samplesPerChannel > 0 && t.samples.size() == static_cast<std::size_t>(f.samplesPerChannel);
}

QStringList signalExportHeader(const SignalFrame& f, const std::array<bool, 4>& shown, const SignalExportInfo& info)
{
    QStringList lines;
    QStringList channels;
    for (std::size_t c = 0; c < 4; ++c)
        if (shown[c] && f.channels[c].present)
            channels << QString::number(c + 1);
    lines << "crate_serial: " + orUnknown(info.crateSerial);
    lines << "module_serial: " + orUnknown(info.moduleSerial);
    lines << "time_utc: " + (info.timeUtc.isValid() ? info.timeUtc.toUTC().toString(Qt::ISODate) : QStringLiteral("?"));
    lines << "frame: " + QString::number(f.frame);
    lines << "sample_rate_hz: " + numberText(f.sampleRate);
    lines << "samples_per_channel: " + QString::number(f.samplesPerChannel);
    lines << "spectrum_length: " + QString::number(f.spectrumLength);
    lines << "method: " + oneLine(f.method);
    lines << "amplitude: " + oneLine(f.amplitudeType);
    lines << "channels: " + channels.join(' ');
    for (std::size_t c = 0; c < 4; ++c) {
        const ChannelTrace& t = f.channels[c];
        if (!shown[c] || !t.present)
            continue;
        QString text = QString("range %1 V, %2, %3").arg(numberText(t.rangeVolts), t.acMode ? "AC" : "DC", t.icp ? "ICP" : "differential");
        if (t.overloaded)
            text += ", overload";
        if (t.averaging == SpectrumAveraging::Rms)
            text += QString(", spectrum RMS average of %1 frames").arg(t.averagedFrames);
        else if (t.averaging == SpectrumAveraging::PeakHold)
            text += QString(", spectrum peak hold of %1 frames").arg(t.averagedFrames);
        lines << QString("channel_%1: %2").arg(c + 1).arg(text);
    }
    return lines;
}

QByteArray signalCsvText(const SignalFrame& f, const std::array<bool, 4>& shown, const SignalExportInfo& info)
{
    QByteArray out;
    for (const QString& line : signalExportHeader(f, shown, info))
        out += "# " + line.toUtf8() + '\n';
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

bool writeSignalSamplesCsv(QIODevice& out, const SignalFrame& f, const std::array<bool, 4>& shown, const SignalExportInfo& info)
{
    const std::vector<int> channels = exportedChannels(f, shown);
    QByteArray buffer;
    buffer.reserve(kChunk + 4096);
    for (const QString& line : signalExportHeader(f, shown, info))
        buffer += "# " + line.toUtf8() + '\n';
    buffer += "t_s";
    for (int c : channels)
        buffer += ",ch" + QByteArray::number(c + 1) + "_V";
    buffer += '\n';
    const bool timed = std::isfinite(f.sampleRate) && f.sampleRate > 0;
    const long long m = channels.empty() ? 0 : f.samplesPerChannel;
    for (long long i = 0; i < m; ++i) {
        if (timed)
            appendShortest(buffer, static_cast<double>(i) / f.sampleRate);
        for (int c : channels) {
            buffer += ',';
            buffer += shortestFloatText(f.channels[static_cast<std::size_t>(c)].samples[static_cast<std::size_t>(i)]);
        }
        buffer += '\n';
        if (!flush(out, buffer, false))
            return false;
    }
    return flush(out, buffer, true);
}

bool writeSignalWav(QIODevice& out, const SignalFrame& f, const std::array<bool, 4>& shown, const SignalExportInfo& info,
                    QString* error)
{
    const std::vector<int> channels = exportedChannels(f, shown);
    const auto k = static_cast<quint32>(channels.size());
    const auto m = static_cast<quint64>(channels.empty() ? 0 : f.samplesPerChannel);
    const quint64 dataBytes = m * k * 4;
    // The format's rate is whole hertz; the exact one is in the comment.
    const double rounded = std::isfinite(f.sampleRate) ? std::round(f.sampleRate) : 0;
    const auto rate = static_cast<quint32>(std::clamp(rounded, 1.0, 4.0e9));

    QByteArray comment = signalExportHeader(f, shown, info).join('\n').toUtf8();
    comment += '\0';
    if (comment.size() % 2)
        comment += '\0';
    QByteArray date = (info.timeUtc.isValid() ? info.timeUtc.toUTC().toString(Qt::ISODate) : QString()).toLatin1();
    date += '\0';
    if (date.size() % 2)
        date += '\0';
    QByteArray list = "INFO";
    list += "ICMT";
    putU32(list, static_cast<quint32>(comment.size()));
    list += comment;
    list += "ICRD";
    putU32(list, static_cast<quint32>(date.size()));
    list += date;

    const quint64 riffSize = 4 + (8 + 18) + (8 + 4) + (8 + static_cast<quint64>(list.size())) + (8 + dataBytes);
    if (riffSize > 0xFFFFFFFFull) {
        if (error)
            *error = "кадр слишком длинный для файла WAV (более 4 ГиБ)";
        return false;
    }
    QByteArray h = "RIFF";
    putU32(h, static_cast<quint32>(riffSize));
    h += "WAVE";
    h += "fmt ";
    putU32(h, 18);
    putU16(h, 3);  // IEEE float
    putU16(h, static_cast<quint16>(k));
    putU32(h, rate);
    putU32(h, static_cast<quint32>(std::min<quint64>(quint64(rate) * k * 4, 0xFFFFFFFFull)));
    putU16(h, static_cast<quint16>(k * 4));
    putU16(h, 32);
    putU16(h, 0);
    h += "fact";
    putU32(h, 4);
    putU32(h, static_cast<quint32>(m));
    h += "LIST";
    putU32(h, static_cast<quint32>(list.size()));
    h += list;
    h += "data";
    putU32(h, static_cast<quint32>(dataBytes));
    if (out.write(h) != h.size())
        return false;

    QByteArray buffer;
    buffer.reserve(kChunk + 64);
    for (quint64 i = 0; i < m; ++i) {
        for (int c : channels) {
            const float v = f.channels[static_cast<std::size_t>(c)].samples[static_cast<std::size_t>(i)];
            quint32 bits;
            std::memcpy(&bits, &v, 4);
            putU32(buffer, bits);
        }
        if (!flush(out, buffer, false))
            return false;
    }
    return flush(out, buffer, true);
}

}  // namespace qmx
