#pragma once
// The command line of qmx58-probe: the command and its options, checked for form before
// anything reaches a crate (a value outside its list is refused here, naming the option),
// and the operator settings the options override once the module is known.

#include "OperatorSettings.h"
#include "ReadingsWriter.h"

#include <QString>
#include <QStringList>

#include <array>
#include <optional>
#include <string>

namespace qmx::cli {

// Exit codes of the program.
enum ExitCode : int {
    kExitDone = 0,
    kExitUsage = 2,
    kExitNoModule = 3,
    kExitRefused = 4,
    kExitAcquisition = 5,
    kExitInterrupted = 130,
};

struct MeasureOptions {
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

    enum class Until { Frames, Duration, Continuous };
    Until until = Until::Frames;
    long long frames = 1;
    double durationSeconds = 0;

    ReadingsFormat format = ReadingsFormat::Csv;
    std::optional<QString> output;
    bool save = false;
};

struct Command {
    enum class Kind { Help, Version, Scan, Measure };
    Kind kind = Kind::Help;
    bool json = false;  // scan --json
    MeasureOptions measure;
};

// Parses the arguments after the program name. False with a one-line `error` that names the
// offending option or word.
bool parseCommandLine(const QStringList& arguments, Command& command, QString& error);

// Applies the options over the settings read from the file, for a module with or without
// ICP capability, the way the window's common controls would set them (an option changes all
// four channels). False with a one-line `error` naming the option when the module or the
// channels' connection modes cannot take a value.
bool applyOptions(const MeasureOptions& options, bool icpCapable, OperatorSettings& settings, QString& error);

QString usageText();

}  // namespace qmx::cli
