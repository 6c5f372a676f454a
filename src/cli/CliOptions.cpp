#include "CliOptions.h"

#include "RateTable.h"
#include "SettingsKeys.h"

#include <cmath>

namespace qmx::cli {
namespace {

constexpr unsigned bit(CommandKind k) { return static_cast<unsigned>(k); }
constexpr unsigned kScan = bit(CommandKind::Scan);
constexpr unsigned kMeasure = bit(CommandKind::Measure);
constexpr unsigned kRecord = bit(CommandKind::Record);
constexpr unsigned kRun = kMeasure | kRecord;
constexpr unsigned kAll = kScan | kRun;

// Options of one group exclude each other.
constexpr int kUntil = 1;

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

QString quoted(const QString& v) { return "'" + v + "'"; }

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

// The longest runs the options accept: far beyond any test stand's day, short of overflow.
constexpr double kMaxSeconds = 1e7;
constexpr long long kMaxCount = 1LL << 52;

QString setCrate(const QString& v, RunOptions& o)
{
    if (v.trimmed().isEmpty())
        return "a crate serial or number is required";
    o.crate = v.trimmed();
    return {};
}

QString setSlot(const QString& v, RunOptions& o)
{
    long long n = 0;
    if (!parseInt(v, n) || n < 1 || n > 16)
        return quoted(v) + " is not a slot (1..16)";
    o.slot = static_cast<int>(n);
    return {};
}

QString setSettings(const QString& v, RunOptions& o)
{
    if (v.isEmpty())
        return "a file name is required";
    o.settingsFile = v;
    return {};
}

QString setRate(const QString& v, RunOptions& o)
{
    double hz = 0;
    const int i = parseDouble(v, hz) ? rateIndexOf(hz) : -1;
    if (i < 0)
        return quoted(v) + " is not one of the rates " + rateList() + " Hz";
    o.rateIndex = i;
    return {};
}

QString setBits(const QString& v, RunOptions& o)
{
    if (v != "20" && v != "24")
        return quoted(v) + " is not a data width (20 or 24)";
    o.dataFormat = v == "24" ? 1 : 0;
    return {};
}

QString setChannels(const QString& v, RunOptions& o)
{
    std::array<bool, 4> on{};
    for (const QString& p : v.split(',')) {
        long long n = 0;
        if (!parseInt(p, n) || n < 1 || n > 4)
            return quoted(v) + " is not a list of channels 1..4 (e.g. 1,2,4)";
        on[static_cast<std::size_t>(n - 1)] = true;
    }
    o.channels = on;
    return {};
}

QString setInput(const QString& v, RunOptions& o)
{
    static const QStringList modes = {"diff", "diff-ac", "icp"};
    if (!modes.contains(v))
        return quoted(v) + " is not an input mode (diff, diff-ac or icp)";
    o.connectionMode = static_cast<int>(modes.indexOf(v));
    return {};
}

QString setRange(const QString& v, RunOptions& o)
{
    double r = 0;
    if (!parseDouble(v, r) || (r != 1 && r != 2 && r != 5 && r != 10))
        return quoted(v) + " is not an input range (2 or 10 differential, 1 or 5 ICP)";
    o.rangeVolts = r;
    return {};
}

QString setMode(const QString& v, RunOptions& o)
{
    if (v != "dc" && v != "ac")
        return quoted(v) + " is not a mode (dc or ac)";
    o.channelMethod = v == "ac" ? 1 : 0;
    return {};
}

QString setMethod(const QString& v, RunOptions& o)
{
    if (v != "sum" && v != "fft")
        return quoted(v) + " is not a method (sum or fft)";
    o.method = v.toStdString();
    return {};
}

QString setAmplitude(const QString& v, RunOptions& o)
{
    if (v != "rms" && v != "peak")
        return quoted(v) + " is not an amplitude type (rms or peak)";
    o.amplitudeType = v == "rms" ? "rms" : "amp";  // the settings file's word for the peak
    return {};
}

QString setTime(const QString& v, RunOptions& o)
{
    double t = 0;
    if (!parseDouble(v, t) || !(t >= settings::kAcquisitionTimeMin && t <= settings::kAcquisitionTimeMax))
        return quoted(v) + " is not a number of seconds from 0.001 to 100";
    o.time = t;
    return {};
}

QString setReference(const QString& v, RunOptions& o)
{
    long long n = 0;
    if (!parseInt(v, n) || n < 1 || n > 4)
        return quoted(v) + " is not a channel (1..4)";
    o.referenceChannel = static_cast<int>(n - 1);
    return {};
}

QString setIcpCurrent(const QString& v, RunOptions& o)
{
    if (v != "0" && v != "1")
        return quoted(v) + " is not a current source (0 = 2.86 mA, 1 = 10 mA)";
    o.currentSource = v == "1" ? 1 : 0;
    return {};
}

QString setFrames(const QString& v, RunOptions& o)
{
    long long n = 0;
    if (!parseInt(v, n) || n < 1 || n > kMaxCount)
        return quoted(v) + " is not a number of frames (1 or more)";
    o.until = RunOptions::Until::Frames;
    o.frames = n;
    return {};
}

QString setDuration(const QString& v, RunOptions& o)
{
    double s = 0;
    if (!parseDouble(v, s) || !(s > 0) || s > kMaxSeconds)
        return quoted(v) + " is not a positive number of seconds (up to 1e7)";
    o.until = RunOptions::Until::Duration;
    o.durationSeconds = s;
    return {};
}

QString setSamples(const QString& v, RunOptions& o)
{
    long long n = 0;
    if (!parseInt(v, n) || n < 1 || n > kMaxCount)
        return quoted(v) + " is not a number of samples (1 or more)";
    o.until = RunOptions::Until::Samples;
    o.samples = n;
    return {};
}

QString setContinuous(const QString&, RunOptions& o)
{
    o.until = RunOptions::Until::Continuous;
    return {};
}

QString setReadingsFormat(const QString& v, RunOptions& o)
{
    if (v != "csv" && v != "jsonl")
        return quoted(v) + " is not a format (csv or jsonl)";
    o.format = v == "csv" ? ReadingsFormat::Csv : ReadingsFormat::JsonLines;
    return {};
}

QString setSampleFormat(const QString& v, RunOptions& o)
{
    if (v == "wav")
        o.sampleFormat = SampleFormat::Wav;
    else if (v == "f32")
        o.sampleFormat = SampleFormat::F32;
    else if (v == "csv")
        o.sampleFormat = SampleFormat::Csv;
    else
        return quoted(v) + " is not a sample format (wav, f32 or csv)";
    return {};
}

QString setOutput(const QString& v, RunOptions& o)
{
    if (v.isEmpty())
        return "a file name is required";
    o.output = v;
    return {};
}

QString setSave(const QString&, RunOptions& o)
{
    o.save = true;
    return {};
}

QString setJson(const QString&, RunOptions& o)
{
    o.json = true;
    return {};
}

QString setServerPort(const QString& v, RunOptions& o)
{
    long long n = 0;
    if (!parseInt(v, n) || n < 1 || n > 65535)
        return quoted(v) + " is not a TCP port (1..65535)";
    o.serverPort = static_cast<int>(n);
    return {};
}

QString setTimeout(const QString& v, RunOptions& o)
{
    double s = 0;
    if (!parseDouble(v, s) || !(s > 0) || s > kMaxSeconds)
        return quoted(v) + " is not a positive number of seconds (up to 1e7)";
    o.timeoutSeconds = s;
    return {};
}

QString nothing(const QString&, RunOptions&) { return {}; }

const CommandRow* commandOf(CommandKind k)
{
    for (const CommandRow& c : commandTable())
        if (c.kind == k)
            return &c;
    return nullptr;
}

const CommandRow* commandNamed(const QString& word)
{
    for (const CommandRow& c : commandTable())
        if (word == c.word)
            return &c;
    return nullptr;
}

// "--rate HZ" (or "-h, --help") as --help lists it.
QString optionLabel(const OptionRow& o)
{
    QString label = o.shortName ? QString(o.shortName) + ", " + o.name : QString(o.name);
    if (o.value)
        label += QString(" ") + o.value;
    return label;
}

// `text` broken into lines of at most `width` characters, each but the first indented.
QString wrapped(const QString& text, int indent, int width)
{
    QString out;
    int column = indent;
    for (const QString& word : text.split(' ', Qt::SkipEmptyParts)) {
        if (column > indent && column + 1 + word.size() > width) {
            out += "\n" + QString(indent, ' ');
            column = indent;
        } else if (column > indent) {
            out += ' ';
            ++column;
        }
        out += word;
        column += static_cast<int>(word.size());
    }
    return out;
}

}  // namespace

const std::vector<OptionRow>& optionTable()
{
    static const std::vector<OptionRow> table = {
        {"--help", "-h", nullptr, kAll, 0, "show this help and exit", nothing},
        {"--json", nullptr, nullptr, kScan, 0, "write the scan as one JSON document", setJson},
        {"--crate", nullptr, "SERIAL|N", kRun, 0, "crate by serial or by its number in the scan", setCrate},
        {"--slot", nullptr, "N", kRun, 0, "slot of the QMX58 (1..16)", setSlot},
        {"--settings", nullptr, "FILE", kRun, 0, "settings file to read instead of the window's (measure --save writes it)",
         setSettings},
        {"--rate", nullptr, "HZ", kRun, 0, "conversion rate, one of the 16 rates (610.35 ... 117187.5)", setRate},
        {"--bits", nullptr, "20|24", kRun, 0, "data width", setBits},
        {"--channels", nullptr, "1,2,4", kRun, 0, "the channels to acquire; the others are off", setChannels},
        {"--input", nullptr, "diff|diff-ac|icp", kRun, 0, "input connection mode (icp: QMX58-2 only)", setInput},
        {"--range", nullptr, "V", kRun, 0, "input range: 2 or 10 (differential), 1 or 5 (ICP)", setRange},
        {"--icp-current", nullptr, "N", kRun, 0, "ICP current source: 0 = 2.86 mA, 1 = 10 mA (QMX58-2 only)",
         setIcpCurrent},
        {"--mode", nullptr, "dc|ac", kMeasure, 0, "what the channels report (dc: differential input only)", setMode},
        {"--method", nullptr, "sum|fft", kMeasure, 0, "window-weighted sums or the windowed spectrum", setMethod},
        {"--amplitude", nullptr, "rms|peak", kMeasure, 0, "AC value as RMS or as the peak of a sine", setAmplitude},
        {"--time", nullptr, "S", kMeasure, 0, "maximum acquisition time of a frame, 0.001 to 100 seconds", setTime},
        {"--reference", nullptr, "N", kMeasure, 0, "phase reference channel (1..4)", setReference},
        {"--frames", nullptr, "N", kMeasure, kUntil, "stop after N frames (default 1)", setFrames},
        {"--duration", nullptr, "S", kMeasure, kUntil, "stop after S seconds", setDuration},
        {"--continuous", nullptr, nullptr, kMeasure, kUntil, "run until interrupted (Ctrl-C)", setContinuous},
        {"--duration", nullptr, "S", kRecord, kUntil,
         "stop after S seconds of signal (S times the rate, rounded, samples per channel)", setDuration},
        {"--samples", nullptr, "N", kRecord, kUntil, "stop after N samples per channel", setSamples},
        {"--format", nullptr, "csv|jsonl", kMeasure, 0, "output format (default csv)", setReadingsFormat},
        {"--format", nullptr, "wav|f32|csv", kRecord, 0, "sample format (required)", setSampleFormat},
        {"--output", nullptr, "FILE", kMeasure, 0, "write the readings to FILE instead of standard output", setOutput},
        {"--output", nullptr, "FILE", kRecord, 0,
         "write the samples to FILE instead of standard output, and the run's description to FILE.json", setOutput},
        {"--save", nullptr, nullptr, kMeasure, 0,
         "write the data width, ICP current, rate and channel settings to the settings file, as the window's Save "
         "does",
         setSave},
        {"--server-port", nullptr, "N", kAll, 0, "TCP port of the crate server on 127.0.0.1 (replaces QMX_SERVER_PORT)",
         setServerPort},
        {"--timeout", nullptr, "S", kAll, 0,
         "end the whole run after S seconds, the module stopped and closed, with exit code 124", setTimeout},
    };
    return table;
}

const std::vector<CommandRow>& commandTable()
{
    static const char* const kSettingsNote =
        "The settings come from the window's Qmx58_Probe.ini: beside the program when its folder is writable, else "
        "(and always for an installed program) in $XDG_CONFIG_HOME/qmx58-probe or ~/.config/qmx58-probe. --settings "
        "FILE names another; when the file is missing the factory values are used and nothing is created. The options "
        "override them for this run and change all four channels at once.\n";
    static const char* const kExitNote =
        "Exit codes: 0 done, 2 usage, 3 no crate or module, 4 configuration refused, 5 acquisition failed (or the "
        "output could not be written), 124 --timeout ran out, 130 interrupted (Ctrl-C, SIGTERM, SIGHUP).\n";
    static const std::string measureNotes = std::string(kSettingsNote) +
        "\nCSV columns: time_utc,frame,channel,mode,value_mV,frequency_kHz,phase_deg,status\n"
        "status: ok, uncertain, overload, off, no-signal.\n" + kExitNote;
    static const std::string recordNotes = std::string(kSettingsNote) +
        "\nThe samples are volts after the factory calibration (and, for ICP inputs, the removal of the ICP lag), of "
        "the chosen channels in channel order, from one start of the module to the end of the run without a gap. "
        "Formats:\n"
        "  wav   32-bit IEEE float WAV (format 3), one channel per input; the header holds the rate\n"
        "        rounded to a whole hertz, the exact rate is in the LIST/INFO comment and in FILE.json\n"
        "  f32   raw little-endian float32, interleaved by channel, e.g. for Python:\n"
        "        numpy.frombuffer(data, dtype='<f4').reshape(-1, channels)\n"
        "  csv   time_s,ch1_V,... : time from the start in seconds, full precision\n"
        "Without --output the samples go to standard output and the run's description to standard error as '# key: "
        "value' lines. Overload (24-bit status) and clipping (20-bit full-scale codes) are reported per block on "
        "standard error and in FILE.json. Without --duration or --samples the recording runs until Ctrl-C; a receive "
        "fault ends it with everything received written (exit code 5).\n\n" + kExitNote;
    static const std::vector<CommandRow> table = {
        {CommandKind::Scan, "scan", "[--json]",
         "lists every crate (number, serial, type, data-rate limit) and the module in every occupied slot (QMX58 "
         "name, serial, firmware, ICP capability).",
         "Exit codes: 0 a usable QMX58 found, 2 usage, 3 no crate list or no usable QMX58, 124 --timeout ran out.\n"},
        {CommandKind::Measure, "measure", "[options]", "configures a QMX58 and writes the readings of each frame.",
         measureNotes.c_str()},
        {CommandKind::Record, "record", "--format wav|f32|csv [options]",
         "configures a QMX58 and records its calibrated samples, gapless, to a file or standard output.",
         recordNotes.c_str()},
    };
    return table;
}

QString usageText(CommandKind command)
{
    const CommandRow* c = commandOf(command);
    QString text;
    if (!c) {
        text = "Usage: qmx58-probe scan [--json]\n"
               "       qmx58-probe measure [options]\n"
               "       qmx58-probe record --format wav|f32|csv [options]\n"
               "       qmx58-probe help [COMMAND] | --help | --version\n\n";
        for (const CommandRow& s : commandTable())
            text += QString("%1 %2\n").arg(s.word, -8).arg(wrapped(s.summary, 9, 92));
        text += "\n'qmx58-probe COMMAND --help' lists the options of COMMAND.\n" +
                wrapped("Exit codes: 0 done, 2 usage, 3 no crate or module, 4 configuration refused, 5 acquisition "
                        "failed, 124 timed out, 130 interrupted.",
                        0, 92) +
                "\n";
        return text;
    }
    text = QString("Usage: qmx58-probe %1 %2\n\n%1 %3\n\n").arg(c->word, c->synopsis, wrapped(c->summary, 0, 92));
    for (const OptionRow& o : optionTable()) {
        if (!(o.commands & static_cast<unsigned>(command)))
            continue;
        const QString label = optionLabel(o);
        const QString help = wrapped(o.help, 26, 96);
        text += label.size() <= 22 ? QString("  %1  %2\n").arg(label, -22).arg(help)
                                   : QString("  %1\n%2%3\n").arg(label, QString(26, ' '), help);
    }
    const QStringList notes = QString(c->notes).split('\n');
    text += "\n";
    for (const QString& line : notes) {
        if (line.isEmpty())
            text += "\n";
        else if (line.startsWith(' '))
            text += line + "\n";  // a list line, as written
        else
            text += wrapped(line, 0, 92) + "\n";
    }
    while (text.endsWith("\n\n"))
        text.chop(1);
    return text;
}

namespace {

// "help [COMMAND]", "--help", "-h" and "--version" before any command. True when the line is
// one of them (and `error` empty when it is right).
bool helpOrVersion(const QStringList& args, Command& cmd, QString& error)
{
    const QString first = args.first();
    if (first == "--version") {
        cmd.kind = CommandKind::Version;
        return true;
    }
    if (first != "--help" && first != "-h" && first != "help")
        return false;
    cmd.kind = CommandKind::Help;
    if (first == "help" && args.size() > 1) {
        const CommandRow* c = commandNamed(args[1]);
        if (!c || args.size() > 2)
            error = QString("help: no command '%1' (scan, measure or record)").arg(args.mid(1).join(' '));
        else
            cmd.helpFor = c->kind;
    }
    return true;
}

// The row of `name` for the command, or null with the reason: unknown, or another command's.
const OptionRow* findOption(const QString& name, const CommandRow& command, QString& error)
{
    const unsigned mine = static_cast<unsigned>(command.kind);
    QStringList others;
    for (const OptionRow& o : optionTable()) {
        if (name != o.name && !(o.shortName && name == o.shortName))
            continue;
        if (o.commands & mine)
            return &o;
        for (const CommandRow& c : commandTable())
            if ((o.commands & static_cast<unsigned>(c.kind)) && !others.contains(c.word))
                others << c.word;
    }
    if (others.isEmpty())
        error = QString("%1: unknown option '%2'").arg(command.word, name);
    else
        error = QString("%1: %2 is an option of %3, not of %1").arg(command.word, name, others.join(" and "));
    return nullptr;
}

}  // namespace

bool parseCommandLine(const QStringList& args, Command& cmd, QString& error)
{
    cmd = Command{};
    error.clear();
    if (args.isEmpty()) {
        error = "a command is required (scan, measure or record); see --help";
        return false;
    }
    if (helpOrVersion(args, cmd, error))
        return error.isEmpty();
    const CommandRow* command = commandNamed(args.first());
    if (!command) {
        error = QString("unknown command '%1' (scan, measure or record); see --help").arg(args.first());
        return false;
    }
    cmd.kind = command->kind;
    // --help anywhere asks for the command's help, whatever else the line holds.
    if (args.contains("--help") || args.contains("-h")) {
        cmd.helpFor = cmd.kind;
        cmd.kind = CommandKind::Help;
        return true;
    }

    std::vector<const OptionRow*> given;
    for (int i = 1; i < args.size(); ++i) {
        QString name = args[i];
        std::optional<QString> value;
        if (name.startsWith("--") && name.contains('=')) {
            value = name.mid(name.indexOf('=') + 1);
            name = name.left(name.indexOf('='));
        }
        const OptionRow* row = findOption(name, *command, error);
        if (!row)
            return false;
        for (const OptionRow* g : given) {
            if (g == row)
                error = QString("%1: given twice").arg(name);
            else if (row->group != 0 && g->group == row->group)
                error = QString("%1: excludes %2").arg(name, g->name);
            if (!error.isEmpty())
                return false;
        }
        given.push_back(row);
        if (!row->value && value) {
            error = QString("%1: takes no value").arg(name);
            return false;
        }
        if (row->value && !value) {
            if (i + 1 >= args.size()) {
                error = QString("%1: a value is required (%2)").arg(name, row->value);
                return false;
            }
            value = args[++i];
        }
        const QString why = row->apply(value.value_or(QString()), cmd.options);
        if (!why.isEmpty()) {
            error = name + ": " + why;
            return false;
        }
    }
    if (cmd.kind == CommandKind::Record && !cmd.options.sampleFormat) {
        error = "record: --format wav|f32|csv is required";
        return false;
    }
    return true;
}

}  // namespace qmx::cli
