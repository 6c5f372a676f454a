// The option table of qmx58-probe: what the parser refuses (one line naming the option), what
// a whole command line comes to, and the manual page held against the table so the two never
// disagree about which command takes which option.

#include "CliOptions.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <set>
#include <utility>

namespace {

using namespace qmx::cli;

TEST(CliOptions, RefusalsNameTheOption)
{
    const std::vector<std::pair<QStringList, QString>> refused = {
        // given twice, in either spelling
        {{"measure", "--rate", "610.35", "--rate", "1220.7"}, "--rate: given twice"},
        {{"record", "--format", "wav", "--output=a", "--output", "b"}, "--output: given twice"},
        {{"scan", "--json", "--json"}, "--json: given twice"},
        // an option of another command
        {{"measure", "--samples", "10"}, "--samples is an option of record, not of measure"},
        {{"record", "--format", "wav", "--method", "fft"}, "--method is an option of measure, not of record"},
        {{"scan", "--crate", "1"}, "--crate is an option of measure and record, not of scan"},
        {{"record", "--format", "f32", "--save"}, "--save is an option of measure, not of record"},
        // a value out of its range or list
        {{"scan", "--server-port", "0"}, "--server-port: '0' is not a TCP port"},
        {{"measure", "--server-port", "65536"}, "--server-port: '65536'"},
        {{"record", "--format", "wav", "--server-port", "port"}, "--server-port: 'port'"},
        {{"measure", "--timeout", "0"}, "--timeout: '0'"},
        {{"measure", "--timeout", "nan"}, "--timeout: 'nan'"},
        {{"record", "--format", "wav", "--samples", "0"}, "--samples: '0'"},
        {{"record", "--format", "wav", "--duration", "-2"}, "--duration: '-2'"},
        {{"record", "--format", "jsonl"}, "--format: 'jsonl' is not a sample format"},
        {{"measure", "--format", "wav"}, "--format: 'wav' is not a format (csv or jsonl)"},
        // excluding each other, flags with values, values missing, a command without its format
        {{"record", "--format", "wav", "--samples", "5", "--duration", "1"}, "--duration: excludes --samples"},
        {{"measure", "--continuous=1"}, "--continuous: takes no value"},
        {{"record", "--format"}, "--format: a value is required"},
        {{"record", "--samples", "5"}, "record: --format wav|f32|csv is required"},
        {{"help", "calibrate"}, "help: no command 'calibrate'"},
    };
    for (const auto& [args, message] : refused) {
        SCOPED_TRACE(args.join(' ').toStdString());
        Command c;
        QString error;
        EXPECT_FALSE(parseCommandLine(args, c, error));
        EXPECT_TRUE(error.contains(message)) << error.toStdString();
        EXPECT_FALSE(error.contains('\n'));
    }
}

TEST(CliOptions, AWholeRecordLine)
{
    Command c;
    QString error;
    ASSERT_TRUE(parseCommandLine({"record", "--crate", "CR-1", "--slot=3", "--rate", "610.35", "--bits", "24",
                                  "--channels", "4,1", "--input", "icp", "--range", "5", "--icp-current", "1", "--format",
                                  "csv", "--output", "x.csv", "--duration", "2.5", "--server-port", "40123", "--timeout",
                                  "9"},
                                 c, error))
        << error.toStdString();
    const RunOptions& o = c.options;
    EXPECT_EQ(c.kind, CommandKind::Record);
    EXPECT_EQ(*o.crate, "CR-1");
    EXPECT_EQ(*o.slot, 3);
    EXPECT_EQ(*o.rateIndex, 0);
    EXPECT_EQ(*o.dataFormat, 1);
    EXPECT_EQ(*o.channels, (std::array<bool, 4>{true, false, false, true}));
    EXPECT_EQ(*o.connectionMode, 2);
    EXPECT_EQ(*o.rangeVolts, 5.0);
    EXPECT_EQ(*o.currentSource, 1);
    EXPECT_EQ(*o.sampleFormat, SampleFormat::Csv);
    EXPECT_EQ(*o.output, "x.csv");
    EXPECT_EQ(o.until, RunOptions::Until::Duration);
    EXPECT_EQ(o.durationSeconds, 2.5);
    EXPECT_EQ(*o.serverPort, 40123);
    EXPECT_EQ(*o.timeoutSeconds, 9.0);

    // --help anywhere is the command's help; "help COMMAND" alike.
    ASSERT_TRUE(parseCommandLine({"record", "--rate", "1", "--help"}, c, error));
    EXPECT_EQ(c.kind, CommandKind::Help);
    EXPECT_EQ(c.helpFor, CommandKind::Record);
    ASSERT_TRUE(parseCommandLine({"help", "scan"}, c, error));
    EXPECT_EQ(c.helpFor, CommandKind::Scan);
    const QString help = usageText(CommandKind::Record);
    EXPECT_TRUE(help.contains("  --samples N") && help.contains("numpy.frombuffer(data, dtype='<f4')"));
    EXPECT_FALSE(help.contains("--frames"));
}

// The manual page's OPTIONS section has a subsection per group of commands ("Options of
// every command", "measure and record", "record", ...); the options it tags there, paired
// with those commands, are exactly the table's.
TEST(CliOptions, ManualPageAgreesWithTheTable)
{
    QFile page(QMX_PROBE_MANPAGE);
    ASSERT_TRUE(page.open(QIODevice::ReadOnly)) << QMX_PROBE_MANPAGE;
    const QStringList lines = QString::fromUtf8(page.readAll()).split('\n');
    using Pair = std::pair<std::string, std::string>;  // option, command
    std::set<Pair> manual, table;
    const QStringList commands = {"scan", "measure", "record"};
    static const QRegularExpression option(R"(\\-\\-[a-z0-9]+(?:\\-[a-z0-9]+)*)");
    bool inOptions = false;
    QStringList section;
    for (int i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        if (line.startsWith(".SH")) {
            inOptions = line.startsWith(".SH OPTIONS");
            section.clear();
        } else if (inOptions && line.startsWith(".SS")) {
            section.clear();
            for (const QString& c : commands)
                if (line.contains("every command") || line.split(' ').contains(c))
                    section << c;
        } else if (inOptions && line == ".TP" && i + 1 < lines.size()) {
            EXPECT_FALSE(section.isEmpty()) << "an option outside a command's subsection: " << lines[i + 1].toStdString();
            for (auto m = option.globalMatch(lines[i + 1]); m.hasNext();) {
                const QString name = m.next().captured().replace("\\-", "-");
                for (const QString& c : section)
                    manual.insert({name.toStdString(), c.toStdString()});
            }
        }
    }
    for (const OptionRow& o : optionTable())
        for (const CommandRow& c : commandTable())
            if (o.commands & static_cast<unsigned>(c.kind))
                table.insert({o.name, c.word});
    for (const Pair& p : table)
        EXPECT_TRUE(manual.count(p)) << p.first << " of " << p.second << " is missing from the manual page";
    for (const Pair& p : manual)
        EXPECT_TRUE(table.count(p)) << p.first << " of " << p.second << " is in the manual page, not in the table";
}

}  // namespace
