#include "ReadingsWriter.h"

#include "ChannelMeasurement.h"

#include <QFileDevice>
#include <QIODevice>

#include <charconv>
#include <cmath>

namespace qmx {
namespace {

// A header value on one line.
QString oneLine(QString text)
{
    text.replace('\r', ' ');
    text.replace('\n', ' ');
    return text;
}

QByteArray optionalNumber(const std::optional<double>& v, const char* absent)
{
    return v ? numberText(*v).toLatin1() : QByteArray(absent);
}

}  // namespace

const char* statusText(ChannelStatus status)
{
    switch (status) {
    case ChannelStatus::Ok: return "ok";
    case ChannelStatus::Overload: return "overload";
    case ChannelStatus::Off: return "off";
    case ChannelStatus::NoSignal: return "no-signal";
    }
    return "off";
}

QString numberText(double value)
{
    if (!std::isfinite(value))
        return QString();
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    return QString::fromLatin1(buf, static_cast<int>(r.ptr - buf));
}

QString utcText(const QDateTime& time) { return time.toUTC().toString(Qt::ISODateWithMs); }

std::array<ChannelRow, 4> frameRows(const RunSettings& s, const FrameResults& r)
{
    const bool fft = s.ComputationMethod == "fft";
    const std::size_t ref = static_cast<std::size_t>(s.ReferenceChannel);
    // A phase difference needs the reference's phase: measured only on an AC channel of the
    // run that did not overload.
    const bool referencePhase = ref < 4 && r.ChannelActive[ref] && !r.OverloadFlags[ref] &&
                                s.Channels[ref].ChannelMode == 1 && std::isfinite(r.Phase[ref]);
    std::array<ChannelRow, 4> rows{};
    for (std::size_t ch = 0; ch < 4; ++ch) {
        ChannelRow& row = rows[ch];
        row.channel = static_cast<int>(ch) + 1;
        if (!r.ChannelActive[ch]) {
            row.status = ChannelStatus::Off;
            continue;
        }
        const int mode = s.Channels[ch].ChannelMode;
        row.mode = mode == 0 ? "dc" : "ac";
        if (r.OverloadFlags[ch]) {
            row.status = ChannelStatus::Overload;
            continue;
        }
        row.status = ChannelStatus::Ok;
        if (mode == 0) {
            row.valueMilliVolts = r.DcValue[ch] * 1000.0;
        } else {
            row.valueMilliVolts = r.AcValue[ch] * 1000.0;
            if (fft) {
                row.frequencyKiloHertz = r.Frequency[ch] * 0.001;
                if (referencePhase || ch == ref)
                    row.phaseDegrees = correctPhaseOnce(r.Phase[ref] - r.Phase[ch]);
            }
        }
        // A spectrum without a peak, or a reading that is no number, measured nothing.
        const bool noPeak = mode == 1 && fft && !(r.AcValue[ch] > 0);
        if (noPeak || !std::isfinite(*row.valueMilliVolts)) {
            row = ChannelRow{row.channel, row.mode, std::nullopt, std::nullopt, std::nullopt, ChannelStatus::NoSignal};
            continue;
        }
        if (row.frequencyKiloHertz && !std::isfinite(*row.frequencyKiloHertz))
            row.frequencyKiloHertz.reset();
        if (row.phaseDegrees && !std::isfinite(*row.phaseDegrees))
            row.phaseDegrees.reset();
    }
    return rows;
}

ReadingsWriter::ReadingsWriter(QIODevice& device, ReadingsFormat format) : _device(device), _format(format) {}

bool ReadingsWriter::put(const QByteArray& bytes)
{
    if (_device.write(bytes) != bytes.size()) {
        _error = _device.errorString();
        return false;
    }
    if (auto* file = qobject_cast<QFileDevice*>(&_device); file && !file->flush()) {
        _error = file->errorString();
        return false;
    }
    return true;
}

bool ReadingsWriter::writeHeader(const ReadingsRunInfo& i, bool columnNames)
{
    if (_format != ReadingsFormat::Csv)
        return true;
    QString text;
    auto line = [&](const char* key, const QString& value) { text += QString("# %1: %2\n").arg(key, oneLine(value)); };
    line("crate_serial", i.crateSerial);
    line("slot", QString::number(i.slot));
    line("module_serial", i.moduleSerial);
    line("rate_hz", numberText(i.rateHz));
    line("bits", QString::number(i.bits));
    line("method", i.method);
    line("amplitude", i.amplitudeType);
    line("acquisition_time_s", numberText(i.acquisitionTime));
    if (i.samplesPerChannel > 0 && i.rateHz > 0)
        line("frame", QString("%1 samples per channel, %2 s")
                          .arg(i.samplesPerChannel)
                          .arg(numberText(static_cast<double>(i.samplesPerChannel) / i.rateHz)));
    line("reference_channel", QString::number(i.referenceChannel));
    line("program_version", i.programVersion);
    if (columnNames)
        text += "time_utc,frame,channel,mode,value_mV,frequency_kHz,phase_deg,status\n";
    return put(text.toUtf8());
}

bool ReadingsWriter::writeFrame(const QDateTime& timeUtc, long long frame, const RunSettings& s, const FrameResults& r)
{
    const std::array<ChannelRow, 4> rows = frameRows(s, r);
    const QByteArray time = utcText(timeUtc).toLatin1();
    QByteArray out;
    if (_format == ReadingsFormat::Csv) {
        for (const ChannelRow& row : rows) {
            out += time + ',' + QByteArray::number(frame) + ',' + QByteArray::number(row.channel) + ',' + row.mode + ',' +
                   optionalNumber(row.valueMilliVolts, "") + ',' + optionalNumber(row.frequencyKiloHertz, "") + ',' +
                   optionalNumber(row.phaseDegrees, "") + ',' + statusText(row.status) + '\n';
        }
    } else {
        out = "{\"time_utc\":\"" + time + "\",\"frame\":" + QByteArray::number(frame) + ",\"channels\":[";
        for (const ChannelRow& row : rows) {
            if (row.channel > 1)
                out += ',';
            out += "{\"channel\":" + QByteArray::number(row.channel) + ",\"mode\":" +
                   (*row.mode ? '"' + QByteArray(row.mode) + '"' : QByteArray("null")) +
                   ",\"value_mV\":" + optionalNumber(row.valueMilliVolts, "null") +
                   ",\"frequency_kHz\":" + optionalNumber(row.frequencyKiloHertz, "null") +
                   ",\"phase_deg\":" + optionalNumber(row.phaseDegrees, "null") + ",\"status\":\"" +
                   statusText(row.status) + "\"}";
        }
        out += "]}\n";
    }
    return put(out);
}

}  // namespace qmx
