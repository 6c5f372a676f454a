#include "CliOptions.h"

#include "RateTable.h"
#include "SettingsKeys.h"

#include <cmath>
#include <functional>
#include <map>

namespace qmx::cli {
namespace {

bool parseDouble(const QString& text, double& out)
{
    bool ok = false;
    out = text.trimmed().toDouble(&ok);  // QString::toDouble is locale-independent ("." only)
    return ok && std::isfinite(out);
}

bool parseInt(const QString& text, long long& out)
{
    bool ok = false;
    out = text.trimmed().toLongLong(&ok, 10);
    return ok;
}

QString rateList()
{
    QStringList rates;
    for (const RateEntry& r : Qmx58RateTable)
        rates << QString::number(r.hz, 'g', 12);
    return rates.join(", ");
}

// Index of the rate within half a hertz of `hz` (the list texts round to that), or -1.
int rateIndexOf(double hz)
{
    for (std::size_t i = 0; i < Qmx58RateTable.size(); ++i)
        if (std::fabs(Qmx58RateTable[i].hz - hz) <= 0.5 + 1e-9)
            return static_cast<int>(i);
    return -1;
}

}  // namespace

QString usageText()
{
    return QStringLiteral(
        "Usage: qmx58-probe scan [--json]\n"
        "       qmx58-probe measure [options]\n"
        "       qmx58-probe --help | --version\n"
        "\n"
        "scan     lists every crate (number, serial, type, data-rate limit) and the module in\n"
        "         every occupied slot (QMX58 name, serial, firmware, ICP capability).\n"
        "measure  configures a QMX58 and writes the readings of each frame.\n"
        "\n"
        "The settings come from the window's Qmx58_Probe.ini: beside the program when its folder\n"
        "is writable, else (and always for an installed program) in $XDG_CONFIG_HOME/qmx58-probe\n"
        "or ~/.config/qmx58-probe. --settings FILE names another; when the file is missing the\n"
        "factory values are used and nothing is created. The options below override them for\n"
        "this run and change all four channels at once.\n"
        "\n"
        "  --crate SERIAL|N      crate by serial or by its number in the scan\n"
        "  --slot N              slot of the QMX58 (1..16)\n"
        "  --settings FILE       settings file to read (and to write with --save)\n"
        "  --rate HZ             conversion rate, one of the 16 rates (610.35 ... 117187.5)\n"
        "  --bits 20|24          data width\n"
        "  --channels 1,2,4      the channels to acquire; the others are off\n"
        "  --input diff|diff-ac|icp   input connection mode (icp: QMX58-2 only)\n"
        "  --range V             input range: 2 or 10 (differential), 1 or 5 (ICP)\n"
        "  --mode dc|ac          what the channels report (dc: differential input only)\n"
        "  --method sum|fft      window-weighted sums or the windowed spectrum\n"
        "  --amplitude rms|peak  AC value as RMS or as the peak of a sine\n"
        "  --time S              maximum acquisition time of a frame, 0.001 to 100 seconds\n"
        "  --reference N         phase reference channel (1..4)\n"
        "  --icp-current N       ICP current source: 0 = 2.86 mA, 1 = 10 mA (QMX58-2 only)\n"
        "  --frames N            stop after N frames (default 1)\n"
        "  --duration S          stop after S seconds\n"
        "  --continuous          run until interrupted (Ctrl-C)\n"
        "  --format csv|jsonl    output format (default csv)\n"
        "  --output FILE         write the readings to FILE instead of standard output\n"
        "  --save                write the data width, ICP current, rate and channel settings\n"
        "                        to the settings file, as the window's Save does\n"
        "\n"
        "CSV columns: time_utc,frame,channel,mode,value_mV,frequency_kHz,phase_deg,status\n"
        "status: ok, overload, off, no-signal.\n"
        "Exit codes: 0 done, 2 usage, 3 no crate or module, 4 configuration refused,\n"
        "5 acquisition failed, 130 interrupted.\n");
}

bool parseCommandLine(const QStringList& args, Command& cmd, QString& error)
{
    cmd = Command{};
    if (args.isEmpty()) {
        error = "a command is required (scan or measure); see --help";
        return false;
    }
    for (const QString& a : args) {
        if (a == "--help" || a == "-h") {
            cmd.kind = Command::Kind::Help;
            return true;
        }
    }
    const QString first = args.first();
    if (first == "--version") {
        cmd.kind = Command::Kind::Version;
        return true;
    }
    if (first == "scan") {
        cmd.kind = Command::Kind::Scan;
    } else if (first == "measure") {
        cmd.kind = Command::Kind::Measure;
    } else {
        error = QString("unknown command '%1' (scan or measure); see --help").arg(first);
        return false;
    }

    MeasureOptions& m = cmd.measure;
    int untilOptions = 0;
    // Each option with a value: its check, which sets the field or says why not.
    using Check = std::function<QString(const QString&)>;
    const std::map<QString, Check> valued = {
        {"--crate", [&](const QString& v) -> QString {
             if (v.trimmed().isEmpty())
                 return "a crate serial or number is required";
             m.crate = v.trimmed();
             return {};
         }},
        {"--slot", [&](const QString& v) -> QString {
             long long n = 0;
             if (!parseInt(v, n) || n < 1 || n > 16)
                 return "'" + v + "' is not a slot (1..16)";
             m.slot = static_cast<int>(n);
             return {};
         }},
        {"--settings", [&](const QString& v) -> QString {
             if (v.isEmpty())
                 return "a file name is required";
             m.settingsFile = v;
             return {};
         }},
        {"--rate", [&](const QString& v) -> QString {
             double hz = 0;
             const int i = parseDouble(v, hz) ? rateIndexOf(hz) : -1;
             if (i < 0)
                 return "'" + v + "' is not one of the rates " + rateList() + " Hz";
             m.rateIndex = i;
             return {};
         }},
        {"--bits", [&](const QString& v) -> QString {
             if (v != "20" && v != "24")
                 return "'" + v + "' is not a data width (20 or 24)";
             m.dataFormat = v == "24" ? 1 : 0;
             return {};
         }},
        {"--channels", [&](const QString& v) -> QString {
             std::array<bool, 4> on{};
             const QStringList parts = v.split(',');
             for (const QString& p : parts) {
                 long long n = 0;
                 if (!parseInt(p, n) || n < 1 || n > 4)
                     return "'" + v + "' is not a list of channels 1..4 (e.g. 1,2,4)";
                 on[static_cast<std::size_t>(n - 1)] = true;
             }
             m.channels = on;
             return {};
         }},
        {"--input", [&](const QString& v) -> QString {
             static const QStringList modes = {"diff", "diff-ac", "icp"};
             if (!modes.contains(v))
                 return "'" + v + "' is not an input mode (diff, diff-ac or icp)";
             m.connectionMode = static_cast<int>(modes.indexOf(v));
             return {};
         }},
        {"--range", [&](const QString& v) -> QString {
             double r = 0;
             if (!parseDouble(v, r) || (r != 1 && r != 2 && r != 5 && r != 10))
                 return "'" + v + "' is not an input range (2 or 10 differential, 1 or 5 ICP)";
             m.rangeVolts = r;
             return {};
         }},
        {"--mode", [&](const QString& v) -> QString {
             if (v != "dc" && v != "ac")
                 return "'" + v + "' is not a mode (dc or ac)";
             m.channelMethod = v == "ac" ? 1 : 0;
             return {};
         }},
        {"--method", [&](const QString& v) -> QString {
             if (v != "sum" && v != "fft")
                 return "'" + v + "' is not a method (sum or fft)";
             m.method = v.toStdString();
             return {};
         }},
        {"--amplitude", [&](const QString& v) -> QString {
             if (v != "rms" && v != "peak")
                 return "'" + v + "' is not an amplitude type (rms or peak)";
             // The settings file's word for the peak amplitude.
             m.amplitudeType = v == "rms" ? "rms" : "amp";
             return {};
         }},
        {"--time", [&](const QString& v) -> QString {
             double t = 0;
             if (!parseDouble(v, t) || !(t >= settings::kAcquisitionTimeMin && t <= settings::kAcquisitionTimeMax))
                 return "'" + v + "' is not a number of seconds from 0.001 to 100";
             m.time = t;
             return {};
         }},
        {"--reference", [&](const QString& v) -> QString {
             long long n = 0;
             if (!parseInt(v, n) || n < 1 || n > 4)
                 return "'" + v + "' is not a channel (1..4)";
             m.referenceChannel = static_cast<int>(n - 1);
             return {};
         }},
        {"--icp-current", [&](const QString& v) -> QString {
             if (v != "0" && v != "1")
                 return "'" + v + "' is not a current source (0 = 2.86 mA, 1 = 10 mA)";
             m.currentSource = v == "1" ? 1 : 0;
             return {};
         }},
        {"--frames", [&](const QString& v) -> QString {
             long long n = 0;
             if (!parseInt(v, n) || n < 1)
                 return "'" + v + "' is not a positive number of frames";
             m.until = MeasureOptions::Until::Frames;
             m.frames = n;
             ++untilOptions;
             return {};
         }},
        {"--duration", [&](const QString& v) -> QString {
             double s = 0;
             if (!parseDouble(v, s) || !(s > 0))
                 return "'" + v + "' is not a positive number of seconds";
             m.until = MeasureOptions::Until::Duration;
             m.durationSeconds = s;
             ++untilOptions;
             return {};
         }},
        {"--format", [&](const QString& v) -> QString {
             if (v != "csv" && v != "jsonl")
                 return "'" + v + "' is not a format (csv or jsonl)";
             m.format = v == "csv" ? ReadingsFormat::Csv : ReadingsFormat::JsonLines;
             return {};
         }},
        {"--output", [&](const QString& v) -> QString {
             if (v.isEmpty())
                 return "a file name is required";
             m.output = v;
             return {};
         }},
    };

    for (int i = 1; i < args.size(); ++i) {
        QString name = args[i];
        std::optional<QString> value;
        if (name.startsWith("--") && name.contains('=')) {
            value = name.mid(name.indexOf('=') + 1);
            name = name.left(name.indexOf('='));
        }
        if (cmd.kind == Command::Kind::Scan) {
            if (name == "--json" && !value) {
                cmd.json = true;
                continue;
            }
            error = QString("scan: unknown option '%1'").arg(args[i]);
            return false;
        }
        if ((name == "--continuous" || name == "--save") && !value) {
            if (name == "--save") {
                m.save = true;
            } else {
                m.until = MeasureOptions::Until::Continuous;
                ++untilOptions;
            }
            continue;
        }
        const auto option = valued.find(name);
        if (option == valued.end()) {
            error = QString("measure: unknown option '%1'").arg(args[i]);
            return false;
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                error = name + ": a value is required";
                return false;
            }
            value = args[++i];
        }
        const QString why = option->second(*value);
        if (!why.isEmpty()) {
            error = name + ": " + why;
            return false;
        }
    }
    if (untilOptions > 1) {
        error = "--frames, --duration and --continuous exclude each other";
        return false;
    }
    return true;
}

bool applyOptions(const MeasureOptions& o, bool icp, OperatorSettings& s, QString& error)
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
    static const char* const kModeNames[] = {"diff", "diff-ac", "icp"};
    auto modeName = [](int mode) { return kModeNames[mode]; };
    if (o.rangeVolts) {
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
    }
    if (o.channelMethod) {
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
    }
    return true;
}

}  // namespace qmx::cli
