#pragma once
// The command line of qmx58-probe: one table of every option of every command, which drives
// the parsing, each command's --help and (held against it by a test) the manual page. An
// option is checked for form before anything reaches a crate: a value outside its list or
// range, an option given twice and an option of another command are refused here, naming it.
// The operator settings the options override are applied once the module is known.

#include "OperatorSettings.h"
#include "ReadingsWriter.h"

#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace qmx::cli {

// Exit codes of the program.
enum ExitCode : int {
    kExitDone = 0,
    kExitUsage = 2,
    kExitNoModule = 3,
    kExitRefused = 4,
    kExitAcquisition = 5,
    kExitTimedOut = 124,  // --timeout ran out (the module stopped and closed)
    kExitInterrupted = 130,
};

enum class SampleFormat { Wav, F32, Csv };

// Everything the options of scan, measure and record set.
struct RunOptions {
    std::optional<QString> crate;  // serial, or the crate's number in the scan (1..)
    std::optional<int> slot;       // 1..16
    std::optional<QString> settingsFile;
    std::optional<int> rateIndex;   // into Qmx58RateTable
    std::optional<int> dataFormat;  // 0 20-bit, 1 24-bit
    std::optional<std::array<bool, 4>> channels;
    std::optional<int> connectionMode;  // 0 diff, 1 diff-ac, 2 icp
    std::optional<double> rangeVolts;   // 2 or 10 (differential), 1 or 5 (ICP)
    std::optional<int> channelMethod;   // 0 DC, 1 AC
    std::optional<std::string> method;  // "sum" or "fft"
    std::optional<std::string> amplitudeType;  // "rms" or "amp" (the settings file's peak)
    std::optional<double> time;         // seconds
    std::optional<int> referenceChannel;  // 0..3
    std::optional<int> currentSource;   // 0 2.86 mA, 1 10 mA

    // How long a run lasts. measure: frames (default 1), wall-clock seconds or until
    // interrupted; record: samples per channel, seconds of signal, or until interrupted.
    enum class Until { Default, Frames, Duration, Samples, Continuous };
    Until until = Until::Default;
    long long frames = 1;
    double durationSeconds = 0;
    long long samples = 0;

    ReadingsFormat format = ReadingsFormat::Csv;
    std::optional<SampleFormat> sampleFormat;  // record: required
    std::optional<QString> output;
    bool save = false;

    std::optional<int> serverPort;        // replaces QMX_SERVER_PORT
    std::optional<double> timeoutSeconds;  // the whole run

    bool json = false;  // scan --json
};
// The name the measure command's code has always used for its options.
using MeasureOptions = RunOptions;

// The commands; a bit each, so an option row names the commands that take it.
enum class CommandKind : unsigned { Help = 1, Version = 2, Scan = 4, Measure = 8, Record = 16 };

struct Command {
    CommandKind kind = CommandKind::Help;
    // Help: the command whose help is wanted (Help for the program's overview).
    CommandKind helpFor = CommandKind::Help;
    RunOptions options;

    // The former spellings, kept for the callers that use them.
    using Kind = CommandKind;
};

// One row of the option table.
struct OptionRow {
    const char* name;       // "--rate"
    const char* shortName;  // "-h" or nullptr
    const char* value;      // the value's placeholder ("HZ"), nullptr for a flag
    unsigned commands;      // CommandKind bits
    int group;              // options of one nonzero group exclude each other
    const char* help;       // what it does, for --help and the manual page
    // Sets the option's field from its value, or returns why the value is refused.
    QString (*apply)(const QString& value, RunOptions& options);
};

// The whole table, in the order --help lists it.
const std::vector<OptionRow>& optionTable();
// The command words and what each does (first line of its --help).
struct CommandRow {
    CommandKind kind;
    const char* word;      // "measure"
    const char* synopsis;  // after "qmx58-probe measure"
    const char* summary;
    const char* notes;     // the rest of its --help, after the options
};
const std::vector<CommandRow>& commandTable();

// Parses the arguments after the program name. False with a one-line `error` that names the
// offending option or word.
bool parseCommandLine(const QStringList& arguments, Command& command, QString& error);

// Applies the options over the settings read from the file, for a module with or without
// ICP capability, the way the window's common controls would set them (an option changes all
// four channels). False with a one-line `error` naming the option when the module or the
// channels' connection modes cannot take a value.
bool applyOptions(const RunOptions& options, bool icpCapable, OperatorSettings& settings, QString& error);

// The program's overview (no command) or a command's help, from the tables.
QString usageText(CommandKind command = CommandKind::Help);

}  // namespace qmx::cli
