#pragma once
// The operator settings a measurement run needs, read from the settings file without a
// window: the same keys, read defaults and resolution as the window's LoadSettings (group
// keys win over channel keys unless -1, indices outside a selector's items read as -1, the
// ICP items only for an ICP-capable module), so that a program without widgets measures
// exactly what the window would with the same file. Precisions, the window position and the
// auto-save flag are display matters and are not read here.

#include <array>
#include <string>

namespace qmx {

class IniFile;

struct OperatorChannelSettings {
    bool enabled = true;
    int connectionMode = 0;  // 0 differential, 1 differential AC-coupled, 2 ICP; -1 none
    int diffRange = 1;       // index into DiffRanges; -1 none
    int icpRange = 1;        // index into IcpRanges; -1 none
    int method = 1;          // 0 DC, 1 AC; -1 none

    bool operator==(const OperatorChannelSettings& o) const
    {
        return enabled == o.enabled && connectionMode == o.connectionMode && diffRange == o.diffRange &&
               icpRange == o.icpRange && method == o.method;
    }
};

struct OperatorSettings {
    // Discovery: the crate and slot to select (empty / -1: the first crate, its first module).
    std::string crateSerial;
    int moduleSlot = -1;

    std::string computationMethod = "fft";  // "fft"; any other text is "sum"
    std::string amplitudeType = "rms";      // "rms"; any other text is the peak amplitude
    double maxAcquisitionTime = 1.0;        // seconds
    int dataFormat = 0;                     // 0 20-bit, 1 24-bit; -1 none
    int currentSource = 0;                  // 0 2.86 mA, 1 10 mA; -1 none (always without ICP)
    int rateIndex = 15;                     // 0..15 into Qmx58RateTable; -1 none
    int referenceChannel = 0;               // the file's 16-bit value, 0..3 meaningful

    // The common selectors as the window shows them after loading: the group key, or -1 when
    // it is -1 or outside the items (the channels then read their own keys). The run's ICP
    // phase correction follows the common connection mode.
    int groupConnectionMode = 0;
    int groupDiffRange = 1;
    int groupIcpRange = 1;
    int groupMethod = 1;

    std::array<OperatorChannelSettings, 4> channels{};

    bool operator==(const OperatorSettings& o) const
    {
        return crateSerial == o.crateSerial && moduleSlot == o.moduleSlot && computationMethod == o.computationMethod &&
               amplitudeType == o.amplitudeType && maxAcquisitionTime == o.maxAcquisitionTime &&
               dataFormat == o.dataFormat && currentSource == o.currentSource && rateIndex == o.rateIndex &&
               referenceChannel == o.referenceChannel && groupConnectionMode == o.groupConnectionMode &&
               groupDiffRange == o.groupDiffRange && groupIcpRange == o.groupIcpRange && groupMethod == o.groupMethod &&
               channels == o.channels;
    }
    bool operator!=(const OperatorSettings& o) const { return !(*this == o); }
};

// Reads the settings as the window's LoadSettings resolves them; a missing file or key gives
// the read defaults. `icpCapable`: the module offers the ICP connection mode and current.
OperatorSettings readOperatorSettings(const IniFile& file, bool icpCapable);

// Writes what the window's SaveIniFile writes for the module: data width, ICP current (only
// with ICP capability), rate, the all-channels flag (set only when all four are on), each
// channel's enable flag, and for connection mode, differential range, ICP range and DC/AC
// the common value followed by each channel's, in one replacement of the file. Throws
// IniWriteError when the file system refuses it (the file then stays as it was).
void writeOperatorSettings(IniFile& file, const OperatorSettings& settings, bool icpCapable);

// The factory settings, in the two parts the program writes them in: the application part
// (auto-save off, no window position, the first coefficient source, no crate or slot) and the
// module part (every key of the module with its factory value, precisions included), each
// key in its place and order of the factory file.
void writeFactoryApplicationSettings(IniFile& file);
void writeFactoryModuleSettings(IniFile& file);

}  // namespace qmx
