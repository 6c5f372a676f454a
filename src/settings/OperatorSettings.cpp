#include "OperatorSettings.h"

#include "IniFile.h"
#include "SettingsKeys.h"

#include <cstdint>

namespace qmx {
namespace {

namespace S = settings;

// Item counts of the window's selectors.
constexpr int kDataFormats = 2;
constexpr int kCurrentSources = 2;
constexpr int kRates = 16;
constexpr int kRanges = 2;
constexpr int kMethods = 2;

// A selector set to an index read from the file: an index outside its items leaves it
// without a selection.
int selectIndex(int index, int items) { return index >= 0 && index < items ? index : -1; }

}  // namespace

OperatorSettings readOperatorSettings(const IniFile& f, bool icp)
{
    OperatorSettings s;
    s.crateSerial = f.ReadString(S::kDiscovery, S::kCrateSerial, "");
    s.moduleSlot = f.ReadInteger(S::kDiscovery, S::kModuleSlot, S::kModuleSlotDefault);

    s.computationMethod = f.ReadString(S::kModule, S::kComputationMethod, S::kComputationMethodDefault);
    s.amplitudeType = f.ReadString(S::kModule, S::kAmplitudeType, S::kAmplitudeTypeDefault);
    s.maxAcquisitionTime = f.ReadFloat(S::kModule, S::kMaxAcquisitionTime, S::kMaxAcquisitionTimeDefault);
    s.dataFormat = selectIndex(f.ReadInteger(S::kModule, S::kDataFormat, S::kDataFormatDefault), kDataFormats);
    // Without ICP capability the current selector stays empty and its key is not read.
    s.currentSource =
        icp ? selectIndex(f.ReadInteger(S::kModule, S::kCurrentSource, S::kCurrentSourceDefault), kCurrentSources) : -1;
    s.rateIndex = selectIndex(f.ReadInteger(S::kModule, S::kAdcRate, S::kAdcRateDefault), kRates);
    s.referenceChannel =
        static_cast<std::uint16_t>(f.ReadInteger(S::kModule, S::kReferenceChannel, S::kReferenceChannelDefault));

    const bool allChannels = f.ReadBool(S::kModule, S::kAllChannels, S::kAllChannelsDefault);
    const int modes = icp ? 3 : 2;
    int groupMode = f.ReadInteger(S::kModule, S::kGroupConnectionMode, S::kConnectionModeDefault);
    if (!icp && groupMode == 2)
        groupMode = 0;
    s.groupConnectionMode = selectIndex(groupMode, modes);
    s.groupDiffRange = selectIndex(f.ReadInteger(S::kModule, S::kGroupDiffRange, S::kDiffRangeDefault), kRanges);
    s.groupIcpRange = selectIndex(f.ReadInteger(S::kModule, S::kGroupIcpRange, S::kIcpRangeDefault), kRanges);
    s.groupMethod = selectIndex(f.ReadInteger(S::kModule, S::kGroupMethod, S::kMethodDefault), kMethods);

    // The group value, or the channel's own key when the group selector has no selection.
    auto groupOrOwn = [&](int group, const std::string& key, int ch, int def, int items) {
        return group == -1 ? selectIndex(f.ReadInteger(S::kModule, S::channelKey(key, ch), def), items) : group;
    };
    for (int ch = 0; ch < 4; ++ch) {
        OperatorChannelSettings& c = s.channels[static_cast<std::size_t>(ch)];
        c.enabled = allChannels || f.ReadBool(S::kModule, S::channelKey(S::kChannelEnabled, ch), S::kChannelEnabledDefault);
        c.connectionMode = groupOrOwn(s.groupConnectionMode, S::kChannelConnectionMode, ch, S::kConnectionModeDefault, modes);
        c.diffRange = groupOrOwn(s.groupDiffRange, S::kChannelDiffRange, ch, S::kDiffRangeDefault, kRanges);
        c.icpRange = groupOrOwn(s.groupIcpRange, S::kChannelIcpRange, ch, S::kIcpRangeDefault, kRanges);
        c.method = groupOrOwn(s.groupMethod, S::kChannelMethod, ch, S::kMethodDefault, kMethods);
    }
    return s;
}

void writeFactoryApplicationSettings(IniFile& f)
{
    f.WriteString(S::kApp, S::kAutoSave, "0");
    f.WriteInteger(S::kApp, S::kWindowTop, -1);
    f.WriteInteger(S::kApp, S::kWindowLeft, -1);
    f.WriteInteger(S::kApp, S::kCoefSource, 0);
    f.WriteString(S::kDiscovery, S::kCrateSerial, "");
    f.WriteInteger(S::kDiscovery, S::kModuleSlot, -1);
}

void writeFactoryModuleSettings(IniFile& f)
{
    f.WriteString(S::kModule, S::kComputationMethod, "fft");
    f.WriteString(S::kModule, S::kAmplitudeType, "rms");
    f.WriteFloat(S::kModule, S::kMaxAcquisitionTime, 0.75);
    f.WriteInteger(S::kModule, S::kDataFormat, 0);
    f.WriteInteger(S::kModule, S::kCurrentSource, 0);
    f.WriteInteger(S::kModule, S::kAdcRate, 15);
    f.WriteString(S::kModule, S::kAllChannels, "0");
    for (int ch = 0; ch < 4; ++ch)
        f.WriteString(S::kModule, S::channelKey(S::kChannelEnabled, ch), "1");
    struct Group {
        const std::string& group;
        const std::string& channel;
        int value;
    };
    for (const Group& g : {Group{S::kGroupConnectionMode, S::kChannelConnectionMode, 0},
                           Group{S::kGroupDiffRange, S::kChannelDiffRange, 1}, Group{S::kGroupIcpRange, S::kChannelIcpRange, 1},
                           Group{S::kGroupMethod, S::kChannelMethod, 1}}) {
        f.WriteInteger(S::kModule, g.group, g.value);
        for (int ch = 0; ch < 4; ++ch)
            f.WriteInteger(S::kModule, S::channelKey(g.channel, ch), g.value);
    }
    // Differential ranges first (2 V, then 10 V: DC, AC, FR, PH), then ICP (1 V, then 5 V: AC, FR, PH).
    for (double range : {2.0, 10.0})
        for (S::PrecisionRow row : {S::DcDiff, S::AcDiff, S::FrDiff, S::PhDiff})
            f.WriteInteger(S::kModule, S::precisionKey(row, range), S::kPrecisionRows[row].defaultDigits);
    for (double range : {1.0, 5.0})
        for (S::PrecisionRow row : {S::AcIcp, S::FrIcp, S::PhIcp})
            f.WriteInteger(S::kModule, S::precisionKey(row, range), S::kPrecisionRows[row].defaultDigits);
}

void writeOperatorSettings(IniFile& f, const OperatorSettings& s, bool icp)
{
    // One replacement of the file for all the keys, or none when a write is refused.
    IniFile::Update update(f);
    f.WriteInteger(S::kModule, S::kDataFormat, s.dataFormat);
    if (icp)
        f.WriteInteger(S::kModule, S::kCurrentSource, s.currentSource);
    f.WriteInteger(S::kModule, S::kAdcRate, s.rateIndex);
    bool all = true;
    for (const OperatorChannelSettings& c : s.channels)
        all = all && c.enabled;
    f.WriteString(S::kModule, S::kAllChannels, all ? "1" : "0");
    for (int ch = 0; ch < 4; ++ch)
        f.WriteBool(S::kModule, S::channelKey(S::kChannelEnabled, ch), s.channels[static_cast<std::size_t>(ch)].enabled);
    struct Group {
        const std::string& group;
        int groupValue;
        const std::string& channel;
        int OperatorChannelSettings::*own;
    };
    for (const Group& g : {Group{S::kGroupConnectionMode, s.groupConnectionMode, S::kChannelConnectionMode,
                                 &OperatorChannelSettings::connectionMode},
                           Group{S::kGroupDiffRange, s.groupDiffRange, S::kChannelDiffRange, &OperatorChannelSettings::diffRange},
                           Group{S::kGroupIcpRange, s.groupIcpRange, S::kChannelIcpRange, &OperatorChannelSettings::icpRange},
                           Group{S::kGroupMethod, s.groupMethod, S::kChannelMethod, &OperatorChannelSettings::method}}) {
        f.WriteInteger(S::kModule, g.group, g.groupValue);
        for (int ch = 0; ch < 4; ++ch)
            f.WriteInteger(S::kModule, S::channelKey(g.channel, ch), s.channels[static_cast<std::size_t>(ch)].*g.own);
    }
    update.commit();
}

}  // namespace qmx
