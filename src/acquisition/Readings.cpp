#include "Readings.h"

#include "ChannelMeasurement.h"

#include <cmath>

namespace qmx {
namespace {

void addWhy(ChannelReading& r, const QString& line)
{
    if (!r.why.isEmpty())
        r.why += '\n';
    r.why += line;
}

QString doubtText(unsigned doubts)
{
    QString text;
    auto add = [&](const char* line) {
        if (!text.isEmpty())
            text += '\n';
        text += line;
    };
    if (doubts & kDoubtNearDc)
        add("тон слишком близко к нулевой частоте: его спектр сливается с постоянной составляющей");
    if (doubts & kDoubtNearNyquist)
        add("тон слишком близко к половине частоты преобразования");
    if (doubts & kDoubtSecondTone)
        add("рядом с тоном есть второй тон: он входит в сумму и искажает напряжение, частоту и фазу");
    return text;
}

// A channel whose tone was measured: AC, "fft", not overloaded, found above the noise.
bool carriesTone(const RunSettings& s, const FrameResults& r, std::size_t ch)
{
    return ch < 4 && r.ChannelActive[ch] && !r.OverloadFlags[ch] && s.Channels[ch].ChannelMode == 1 && r.Tone[ch] &&
           !r.Silent[ch] && std::isfinite(r.Phase[ch]) && std::isfinite(r.Frequency[ch]) && r.AcValue[ch] > 0;
}

}  // namespace

const char* statusText(ChannelStatus status)
{
    switch (status) {
    case ChannelStatus::Ok: return "ok";
    case ChannelStatus::Overload: return "overload";
    case ChannelStatus::Off: return "off";
    case ChannelStatus::NoSignal: return "no-signal";
    case ChannelStatus::Uncertain: return "uncertain";
    }
    return "off";
}

std::array<ChannelReading, 4> decideReadings(const RunSettings& s, const FrameResults& r)
{
    const bool fft = s.ComputationMethod == "fft";
    const std::size_t ref = static_cast<std::size_t>(s.ReferenceChannel);
    const bool referenceTone = fft && carriesTone(s, r, ref);
    // One bin of the frame: the frequencies of two channels agree when they differ by less.
    const double bin = r.SamplesPerChannel > 0 && r.SampleRate > 0 ? r.SampleRate / static_cast<double>(r.SamplesPerChannel) : 0.0;
    const auto icpUncertain = [&](std::size_t ch) {
        return s.Channels[ch].InputMode == 2 && r.SampleRate > 0 && r.Frequency[ch] > kIcpAccurateBand * r.SampleRate;
    };
    std::array<ChannelReading, 4> out{};
    for (std::size_t ch = 0; ch < 4; ++ch) {
        ChannelReading& row = out[ch];
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
        const double value = (mode == 0 ? r.DcValue[ch] : r.AcValue[ch]) * 1000.0;
        if (!std::isfinite(value)) {
            row.status = ChannelStatus::NoSignal;
            addWhy(row, "значение не является числом");
            continue;
        }
        row.valueMilliVolts = value;
        row.status = ChannelStatus::Ok;
        if (mode != 1 || !fft)
            continue;
        if (r.Silent[ch] || !r.Tone[ch]) {
            row.status = ChannelStatus::NoSignal;
            addWhy(row, r.Silent[ch] ? "нет сигнала: в спектре нет ничего, кроме нуля"
                                     : "нет сигнала: ни один тон не выделяется над шумом");
            continue;
        }
        if (!std::isfinite(r.Frequency[ch]))
            continue;
        row.frequencyKiloHertz = r.Frequency[ch] * 0.001;
        if (r.Doubts[ch] != kDoubtNone) {
            row.status = ChannelStatus::Uncertain;
            addWhy(row, doubtText(r.Doubts[ch]));
        }
        if (icpUncertain(ch)) {
            row.status = ChannelStatus::Uncertain;
            addWhy(row, QString("тон выше %1 частоты преобразования: запаздывание ICP входа исправлено неточно")
                            .arg(kIcpAccurateBand));
        }
        if (!referenceTone) {
            if (ch != ref)
                addWhy(row, "нет фазы: опорный канал не несёт тона");
            continue;
        }
        if (ch != ref && !(std::fabs(r.Frequency[ch] - r.Frequency[ref]) <= bin)) {
            addWhy(row, "нет фазы: частота отличается от частоты опорного канала больше чем на один бин");
            continue;
        }
        const double d = correctPhaseOnce(r.Phase[ref] - r.Phase[ch]);
        if (!std::isfinite(d))
            continue;
        row.phaseDegrees = d;
        if (ch != ref && (r.Doubts[ref] != kDoubtNone || icpUncertain(ref))) {
            row.status = ChannelStatus::Uncertain;
            addWhy(row, QString("фаза измерена против недостоверного опорного канала %1").arg(ref + 1));
        }
    }
    return out;
}

}  // namespace qmx
