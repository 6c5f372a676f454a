// The options of measure and record applied over the operator settings, the way the window's
// common controls set them: an option changes all four channels at once, and a value the
// module or the channels' connection modes cannot take is refused naming the option.

#include "CliOptions.h"

namespace qmx::cli {
namespace {

const char* modeName(int mode)
{
    static const char* const kModeNames[] = {"diff", "diff-ac", "icp"};
    return kModeNames[mode];
}

// --range: 1 or 5 V for ICP inputs, 2 or 10 V for the differential ones; every enabled
// channel's input must take it.
bool applyRange(const RunOptions& o, OperatorSettings& s, QString& error)
{
    if (!o.rangeVolts)
        return true;
    const double v = *o.rangeVolts;
    const bool icpRange = v == 1 || v == 5;
    for (std::size_t ch = 0; ch < 4; ++ch) {
        const OperatorChannelSettings& c = s.channels[ch];
        if (c.enabled && c.connectionMode >= 0 && (c.connectionMode == 2) != icpRange) {
            error = QString("--range: %1 V is not a range of channel %2's %3 input (%4)")
                        .arg(v)
                        .arg(ch + 1)
                        .arg(modeName(c.connectionMode))
                        .arg(c.connectionMode == 2 ? "1 or 5 V" : "2 or 10 V");
            return false;
        }
    }
    const int index = (v == 2 || v == 1) ? 0 : 1;
    if (icpRange) {
        s.groupIcpRange = index;
        for (OperatorChannelSettings& c : s.channels)
            c.icpRange = index;
    } else {
        s.groupDiffRange = index;
        for (OperatorChannelSettings& c : s.channels)
            c.diffRange = index;
    }
    return true;
}

// --mode: dc only where every enabled channel has the DC-coupled differential input.
bool applyMode(const RunOptions& o, OperatorSettings& s, QString& error)
{
    if (!o.channelMethod)
        return true;
    if (*o.channelMethod == 0) {
        for (std::size_t ch = 0; ch < 4; ++ch) {
            const OperatorChannelSettings& c = s.channels[ch];
            if (c.enabled && (c.connectionMode == 1 || c.connectionMode == 2)) {
                error = QString("--mode: dc needs the diff input; channel %1's %2 input measures AC only")
                            .arg(ch + 1)
                            .arg(modeName(c.connectionMode));
                return false;
            }
        }
    }
    s.groupMethod = *o.channelMethod;
    for (OperatorChannelSettings& c : s.channels)
        c.method = *o.channelMethod;
    return true;
}

}  // namespace

bool applyOptions(const RunOptions& o, bool icp, OperatorSettings& s, QString& error)
{
    if (o.rateIndex)
        s.rateIndex = *o.rateIndex;
    if (o.dataFormat)
        s.dataFormat = *o.dataFormat;
    if (o.method)
        s.computationMethod = *o.method;
    if (o.amplitudeType)
        s.amplitudeType = *o.amplitudeType;
    if (o.time)
        s.maxAcquisitionTime = *o.time;
    if (o.referenceChannel)
        s.referenceChannel = *o.referenceChannel;
    if (o.currentSource) {
        if (!icp) {
            error = "--icp-current: this module (QMX58-1) has no ICP current source";
            return false;
        }
        s.currentSource = *o.currentSource;
    }
    if (o.channels)
        for (std::size_t ch = 0; ch < 4; ++ch)
            s.channels[ch].enabled = (*o.channels)[ch];
    if (o.connectionMode) {
        if (*o.connectionMode == 2 && !icp) {
            error = "--input: icp needs an ICP-capable module (QMX58-2); this one is a QMX58-1";
            return false;
        }
        s.groupConnectionMode = *o.connectionMode;
        for (OperatorChannelSettings& c : s.channels)
            c.connectionMode = *o.connectionMode;
    }
    return applyRange(o, s, error) && applyMode(o, s, error);
}

}  // namespace qmx::cli
