#include "SampleFormats.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <charconv>
#include <cmath>
#include <cstring>

namespace qmx::cli {
namespace {

static_assert(sizeof(float) == 4, "float32 samples");

void put16(QByteArray& b, std::uint16_t v)
{
    const char bytes[2] = {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
    b.append(bytes, 2);
}

void put32(QByteArray& b, std::uint32_t v)
{
    const char bytes[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                           static_cast<char>((v >> 16) & 0xFF), static_cast<char>(v >> 24)};
    b.append(bytes, 4);
}

// Shortest text that reads back as the same double.
void putNumber(QByteArray& out, double v)
{
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, v);
    out.append(text, static_cast<qsizetype>(r.ptr - text));
}

QString numberText(double v)
{
    QByteArray b;
    putNumber(b, v);
    return QString::fromLatin1(b);
}

// The exact rate and the run's identity, one line, for the WAV file's comment.
QByteArray wavComment(const RecordInfo& info)
{
    QStringList parts;
    parts << "rate_hz=" + numberText(info.rateHz) << "crate=" + info.crateSerial << QString("slot=%1").arg(info.slot)
          << "module=" + info.module + " " + info.moduleSerial << QString("bits=%1").arg(info.bits);
    QStringList channels, ranges, inputs;
    for (const RecordedChannel& c : info.channels) {
        channels << QString::number(c.number);
        ranges << numberText(c.rangeVolts);
        inputs << c.input;
    }
    parts << "channels=" + channels.join(',') << "inputs=" + inputs.join(',') << "ranges_v=" + ranges.join(',')
          << "start_utc=" + info.startUtc << "unit=V";
    return parts.join("; ").toUtf8();
}

}  // namespace

void RecordSummary::addOverload(int channel, long long first, long long end)
{
    for (auto it = overloads.rbegin(); it != overloads.rend(); ++it) {
        if (it->channel != channel)
            continue;
        if (it->end == first) {
            it->end = end;
            return;
        }
        break;
    }
    overloads.push_back({channel, first, end});
}

const char* formatName(SampleFormat f)
{
    switch (f) {
    case SampleFormat::Wav: return "wav";
    case SampleFormat::F32: return "f32";
    case SampleFormat::Csv: return "csv";
    }
    return "";
}

QByteArray wavHeader(const RecordInfo& info, std::uint64_t dataBytes, bool sizesKnown)
{
    const auto K = static_cast<std::uint16_t>(info.channels.size());
    const auto rate = static_cast<std::uint32_t>(std::llround(info.rateHz));
    QByteArray comment = wavComment(info);
    comment.append('\0');
    if (comment.size() % 2 != 0)
        comment.append('\0');
    const std::uint32_t frames = K ? static_cast<std::uint32_t>(dataBytes / (4u * K)) : 0;

    QByteArray fmt;
    put16(fmt, 3);  // IEEE float
    put16(fmt, K);
    put32(fmt, rate);
    put32(fmt, rate * 4u * K);
    put16(fmt, static_cast<std::uint16_t>(4 * K));
    put16(fmt, 32);
    put16(fmt, 0);  // no extension

    QByteArray list("INFO");
    list += "ICMT";
    put32(list, static_cast<std::uint32_t>(comment.size()));
    list += comment;

    QByteArray h("RIFF");
    put32(h, 0);  // set below
    h += "WAVE";
    h += "fmt ";
    put32(h, static_cast<std::uint32_t>(fmt.size()));
    h += fmt;
    h += "fact";
    put32(h, 4);
    put32(h, sizesKnown ? frames : 0xFFFFFFFFu);
    h += "LIST";
    put32(h, static_cast<std::uint32_t>(list.size()));
    h += list;
    h += "data";
    put32(h, sizesKnown ? static_cast<std::uint32_t>(dataBytes) : 0xFFFFFFFFu);
    const std::uint64_t riff = static_cast<std::uint64_t>(h.size()) - 8 + dataBytes;
    const std::uint32_t riffField = sizesKnown ? static_cast<std::uint32_t>(riff) : 0xFFFFFFFFu;
    QByteArray riffBytes;
    put32(riffBytes, riffField);
    std::memcpy(h.data() + 4, riffBytes.constData(), 4);
    return h;
}

std::uint64_t wavDataLimit(const RecordInfo& info, std::size_t headerBytes)
{
    const std::uint64_t frame = 4u * info.channels.size();
    const std::uint64_t room = 0xFFFFFFFFull - (headerBytes - 8);
    return frame ? room / frame * frame : 0;
}

QByteArray csvHeader(const RecordInfo& info)
{
    QByteArray h("time_s");
    for (const RecordedChannel& c : info.channels)
        h += ",ch" + QByteArray::number(c.number) + "_V";
    return h + "\n";
}

void appendCsv(const SampleBlock& b, double rateHz, QByteArray& out)
{
    out.reserve(out.size() + static_cast<qsizetype>(b.conversions) * (16 + 24 * b.channels));
    const double* v = b.values;
    for (std::int64_t m = 0; m < b.conversions; ++m) {
        putNumber(out, static_cast<double>(b.first + m) / rateHz);
        for (int j = 0; j < b.channels; ++j) {
            out.append(',');
            putNumber(out, *v++);
        }
        out.append('\n');
    }
}

void appendFloat32(const SampleBlock& b, QByteArray& out)
{
    const std::int64_t n = b.conversions * b.channels;
    const qsizetype at = out.size();
    out.resize(at + static_cast<qsizetype>(n * 4));
    char* p = out.data() + at;
    for (std::int64_t i = 0; i < n; ++i) {
        const float f = static_cast<float>(b.values[i]);
        std::uint32_t w;
        std::memcpy(&w, &f, 4);
        // Little-endian whatever the machine.
        p[0] = static_cast<char>(w & 0xFF);
        p[1] = static_cast<char>((w >> 8) & 0xFF);
        p[2] = static_cast<char>((w >> 16) & 0xFF);
        p[3] = static_cast<char>(w >> 24);
        p += 4;
    }
}

QByteArray describeJson(const RecordInfo& info, const RecordSummary* summary)
{
    QJsonArray channels;
    for (const RecordedChannel& c : info.channels)
        channels.append(QJsonObject{{"channel", c.number}, {"input", c.input}, {"range_v", c.rangeVolts}, {"unit", "V"}});
    QJsonObject o{{"program", "qmx58-probe"},
                  {"program_version", info.programVersion},
                  {"format", formatName(info.format)},
                  {"crate_serial", info.crateSerial},
                  {"crate_type", info.crateType},
                  {"slot", info.slot},
                  {"module", info.module},
                  {"module_serial", info.moduleSerial},
                  {"firmware", info.firmware},
                  {"rate_hz", info.rateHz},
                  {"bits", info.bits},
                  {"channels", channels},
                  {"icp_current", info.icpCurrent.isEmpty() ? QJsonValue() : QJsonValue(info.icpCurrent)},
                  {"icp_lag_removed", info.icpLagRemoved},
                  {"block_samples", static_cast<double>(info.blockSamples)},
                  {"start_utc", info.startUtc}};
    if (info.format == SampleFormat::Wav)
        o.insert("wav_header_rate_hz", static_cast<double>(std::llround(info.rateHz)));
    if (summary) {
        o.insert("samples", static_cast<double>(summary->samples));
        o.insert("duration_s", static_cast<double>(summary->samples) / info.rateHz);
        o.insert("end", summary->end);
        QJsonArray overloads;
        for (const OverloadSpan& s : summary->overloads)
            overloads.append(QJsonObject{{"channel", s.channel},
                                         {"first_sample", static_cast<double>(s.first)},
                                         {"end_sample", static_cast<double>(s.end)},
                                         {"kind", info.bits == 24 ? "overload" : "clipping"}});
        o.insert("overloads", overloads);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Indented);
}

QStringList describeLines(const RecordInfo& info)
{
    QStringList channels, inputs, ranges;
    for (const RecordedChannel& c : info.channels) {
        channels << QString::number(c.number);
        inputs << c.input;
        ranges << numberText(c.rangeVolts);
    }
    QStringList lines = {
        "# format: " + QString(formatName(info.format)),
        "# crate_serial: " + info.crateSerial + " (" + info.crateType + ")",
        QString("# slot: %1").arg(info.slot),
        "# module: " + info.module + " " + info.moduleSerial + QString(" firmware %1").arg(info.firmware),
        "# rate_hz: " + numberText(info.rateHz),
        QString("# bits: %1").arg(info.bits),
        "# channels: " + channels.join(','),
        "# inputs: " + inputs.join(','),
        "# ranges_v: " + ranges.join(','),
    };
    if (!info.icpCurrent.isEmpty())
        lines << "# icp_current: " + info.icpCurrent;
    lines << QString("# icp_lag_removed: %1").arg(info.icpLagRemoved ? "yes" : "no")
          << QString("# block_samples: %1").arg(info.blockSamples) << "# start_utc: " + info.startUtc
          << "# unit: V";
    return lines;
}

}  // namespace qmx::cli
