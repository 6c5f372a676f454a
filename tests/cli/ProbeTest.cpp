// qmx58-probe end to end: the program as a child process against the simulated crate server
// running in this process on a free port (QMX_SERVER_PORT), with signals whose readings are
// known; the output parsed back and held against the true signals; every exit code; Ctrl-C.

#include "IniFile.h"
#include "MainThread.h"
#include "OperatorSettings.h"
#include "Rig.h"
#include "SettingsKeys.h"
#include "SimulatedServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <map>

// The program runs as a child of this multi-threaded test process (the simulated server's
// threads); the child only execs, so ThreadSanitizer may let such a fork go on.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace {

using namespace qmx;
namespace S = qmx::settings;

// At 117187.5 Hz and M = 16384 (the "fft" frame for 0.1 s) bin 140 is 1001.358 Hz: every tone
// sits on a bin, so amplitude, frequency and phase come out exact but for quantisation.
constexpr double kTone = 140 * 117187.5 / 16384;

const std::string kRig = R"(
crate CLI-10 type 10
  slot 3 qmx58 C58-0301 icp yes
    channel 0 sine 1.0 1001.3580322265625 0
    channel 1 sine 0.5 1001.3580322265625 30
    channel 2 sine 2.0 1001.3580322265625 -100
    channel 3 dc -0.75
  slot 4 qmx58 C58-0401 icp no
    channel 0 sine 1.0 1001.3580322265625 0
    channel 1 sine 1.0 1001.3580322265625 0
    channel 2 sine 1.0 1001.3580322265625 45
    fault overload 1
  slot 5 module 0x2310
  slot 6 qmx58 C58-0601 icp no
    fault fail-setadc
  slot 7 qmx58 C58-0701 icp no
    fault fail-start
  slot 8 qmx58 C58-0801 icp no
    channel 0 sine 1.0 1001.3580322265625 0
    coef 1 0 15 0 1
    coef 1 1 15 0 1
    channel 2 dc 0.5
    channel 3 dc -0.75
crate CLI-21 type 21
  slot 1 qmx58 C58-0101 icp no
    channel 0 sine 1.0 1001.3580322265625 0
    channel 1 dc 0.5
)";

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kSlowdown = 3;
#else
constexpr double kSlowdown = 1;
#endif

struct Result {
    int code = -1;
    QByteArray out, err;
};

// A CSV row's fields, by column.
using Row = QStringList;
enum Column { Time, Frame, Channel, Mode, Value, Frequency, Phase, Status };

double number(const QString& field)
{
    bool ok = false;
    const double v = field.toDouble(&ok);  // "." only, whatever the locale
    EXPECT_TRUE(ok) << "'" << field.toStdString() << "'";
    return v;
}

// The CSV back: comment lines into `header` (key -> value); rows checked for their shape:
// whole frames only, numbered from 1, channels 1..4 in order, UTC times with milliseconds.
std::vector<Row> parseCsv(const QByteArray& text, std::map<QString, QString>* header = nullptr)
{
    std::vector<Row> rows;
    bool headerRow = false;
    for (const QString& line : QString::fromUtf8(text).split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith("# ")) {
            EXPECT_FALSE(headerRow) << "comments come first";
            const auto colon = line.indexOf(": ");
            if (header && colon > 0)
                (*header)[line.mid(2, colon - 2)] = line.mid(colon + 2);
        } else if (!headerRow) {
            EXPECT_EQ(line, "time_utc,frame,channel,mode,value_mV,frequency_kHz,phase_deg,status");
            headerRow = true;
        } else {
            const Row r = line.split(',');
            EXPECT_EQ(r.size(), 8) << line.toStdString();
            if (r.size() != 8)
                continue;
            const int n = static_cast<int>(rows.size());
            EXPECT_EQ(r[Frame].toInt(), n / 4 + 1);
            EXPECT_EQ(r[Channel].toInt(), n % 4 + 1);
            EXPECT_TRUE(QDateTime::fromString(r[Time], Qt::ISODateWithMs).isValid() && r[Time].endsWith('Z') &&
                        r[Time].size() == 24)
                << r[Time].toStdString();
            rows.push_back(r);
        }
    }
    EXPECT_TRUE(headerRow);
    EXPECT_EQ(rows.size() % 4, 0u);
    return rows;
}

class Probe : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(server.start(kRig, fast));
    }

    // Runs the program to its end; `env` adds to the environment (QMX_SERVER_PORT included).
    Result probe(const QStringList& args, const std::map<QString, QString>& env = {}, int timeoutMs = 60000,
                 const QString& program = QMX_PROBE_PROGRAM)
    {
        QProcess p;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const auto& [k, v] : env)
            e.insert(k, v);
        p.setProcessEnvironment(e);
        p.start(program, args);
        EXPECT_TRUE(p.waitForStarted());
        EXPECT_TRUE(p.waitForFinished(timeoutMs)) << args.join(' ').toStdString();
        Result r;
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = p.readAllStandardOutput();
        r.err = p.readAllStandardError();
        return r;
    }

    // A settings file with the given module keys (and discovery keys, by their names).
    QString settingsFile(const std::map<std::string, std::string>& module, const std::map<std::string, std::string>& discovery = {})
    {
        const QString path = dir.filePath("probe.ini");
        IniFile f(path.toStdString());
        IniFile::Update update(f);
        for (const auto& [k, v] : module)
            f.WriteString(S::kModule, k, v);
        for (const auto& [k, v] : discovery)
            f.WriteString(S::kDiscovery, k, v);
        update.commit();
        return path;
    }
    // Options that never read a settings file beside the program.
    QStringList measure(QStringList more) const
    {
        return QStringList{"measure", "--settings", dir.filePath("absent.ini")} + more;
    }

    bool fast = true;
    QTemporaryDir dir;
    qmxtest::SimulatedServer server;
};

TEST_F(Probe, ScanListsTheDefaultRig)
{
    ASSERT_TRUE(server.start(sim::defaultRigText()));
    const Result text = probe({"scan"});
    ASSERT_EQ(text.code, 0) << text.err.toStdString();
    EXPECT_TRUE(text.err.isEmpty());
    const QStringList lines = QString::fromUtf8(text.out).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 8) << text.out.toStdString();
    EXPECT_EQ(lines[0], "crate 1  SIM-A8-0001  type 10 QMX-A8  data-rate limit 2000 KB/s");
    EXPECT_EQ(lines[2].simplified(), "2 QMX58-2 SIM58-0201 12 yes");
    EXPECT_EQ(lines[3].simplified(), "5 0x2310");
    EXPECT_EQ(lines[5], "crate 2  SIM-A1-0002  type 21 QMX-A1  data-rate limit 800 KB/s");
    EXPECT_EQ(lines[7].simplified(), "1 QMX58-1 SIM58-0101 11 no");

    // The JSON, parsed back and summed up crate by crate.
    const Result json = probe({"scan", "--json"});
    ASSERT_EQ(json.code, 0);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.out, &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    QStringList summary;
    for (const QJsonValue& c : doc.object()["crates"].toArray()) {
        const QJsonObject o = c.toObject();
        QString line = QString("%1 %2 %3 %4 %5:").arg(o["number"].toInt()).arg(o["serial"].toString()).arg(o["type"].toInt())
                           .arg(o["type_name"].toString()).arg(o["data_rate_limit_kBps"].toDouble());
        for (const QJsonValue& m : o["modules"].toArray()) {
            const QJsonObject mo = m.toObject();
            line += QString(" [%1 %2 %3").arg(mo["slot"].toInt()).arg(mo["module_id"].toString()).arg(mo["name"].toString());
            if (mo.contains("serial"))
                line += QString(" %1 %2 %3").arg(mo["serial"].toString()).arg(mo["firmware"].toInt()).arg(mo["icp_capable"].toBool() ? "icp" : "-");
            line += "]";
        }
        summary << line;
    }
    EXPECT_EQ(summary.join('\n').toStdString(),
              "1 SIM-A8-0001 10 QMX-A8 2000: [2 0x1818 QMX58-2 SIM58-0201 12 icp] [5 0x2310 0x2310] "
              "[7 0x1818 QMX58-2 SIM58-0702 12 icp]\n"
              "2 SIM-A1-0002 21 QMX-A1 800: [1 0x1818 QMX58-1 SIM58-0101 11 -]");
}

TEST_F(Probe, ReadingsOfKnownSignals)
{
    // Channel 4 measures DC (its own key: the group DC/AC is -1); the options set the rest.
    const QString ini = settingsFile({{S::kGroupMethod, "-1"}, {S::channelKey(S::kChannelMethod, 3), "0"}});
    const QString csv = dir.filePath("readings.csv");
    // A Russian locale (decimal comma) changes nothing in the output.
    const Result r = probe({"measure", "--settings", ini, "--crate", "CLI-10", "--slot", "3", "--time", "0.1", "--frames", "3",
                            "--bits", "20", "--rate", "117187.5", "--output", csv},
                           {{"LC_ALL", "ru_RU.UTF-8"}});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());
    QFile f(csv);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    std::map<QString, QString> header;
    const std::vector<Row> rows = parseCsv(f.readAll(), &header);
    ASSERT_EQ(rows.size(), 12u);
    EXPECT_EQ(header["crate_serial"], "CLI-10");
    EXPECT_EQ(header["slot"], "3");
    EXPECT_EQ(header["module_serial"], "C58-0301");
    EXPECT_EQ(header["rate_hz"], "117187.5");
    EXPECT_EQ(header["bits"], "20");
    EXPECT_EQ(header["method"], "fft");
    EXPECT_EQ(header["amplitude"], "rms");
    EXPECT_EQ(header["acquisition_time_s"], "0.1");
    EXPECT_TRUE(header["frame"].startsWith("16384 samples per channel")) << header["frame"].toStdString();
    EXPECT_EQ(header["reference_channel"], "1");
    EXPECT_EQ(header["program_version"], QMX_PROBE_VERSION);

    const double rms[3] = {1000 / std::sqrt(2.0), 500 / std::sqrt(2.0), 2000 / std::sqrt(2.0)};
    const double phase[3] = {0, 30, -100};  // against channel 1
    for (const Row& row : rows) {
        SCOPED_TRACE((row[Frame] + row[Channel]).toStdString());
        EXPECT_EQ(row[Status], "ok");
        if (row[Channel].toInt() == 4) {
            EXPECT_EQ(row[Mode], "dc");
            EXPECT_NEAR(number(row[Value]), -750.0, 0.05);
            EXPECT_TRUE(row[Frequency].isEmpty() && row[Phase].isEmpty());
            continue;
        }
        const int ch = row[Channel].toInt() - 1;
        EXPECT_EQ(row[Mode], "ac");
        EXPECT_NEAR(number(row[Value]), rms[ch], 0.05);
        EXPECT_NEAR(number(row[Frequency]), kTone / 1000, 1e-5);
        EXPECT_NEAR(number(row[Phase]), phase[ch], 0.11);
    }
    EXPECT_EQ(rows[0][Phase], "0") << "the reference shows no shift";
    // Full precision: more digits than any display mask.
    EXPECT_GT(rows[1][Value].size(), 10);

    // "sum" with the peak amplitude as JSON Lines on standard output: one object per frame,
    // no frequency or phase.
    const Result j = probe(measure({"--crate", "CLI-10", "--slot", "3", "--method", "sum", "--amplitude", "peak", "--time",
                                    "0.2", "--frames", "2", "--format", "jsonl", "--channels", "1,4", "--mode", "ac"}));
    ASSERT_EQ(j.code, 0) << j.err.toStdString();
    const QList<QByteArray> lines = j.out.trimmed().split('\n');
    ASSERT_EQ(lines.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject o = QJsonDocument::fromJson(lines[i]).object();
        EXPECT_EQ(o["frame"].toInt(), i + 1);
        const QJsonArray channels = o["channels"].toArray();
        ASSERT_EQ(channels.size(), 4);
        const QJsonObject c1 = channels[0].toObject();
        EXPECT_EQ(c1["status"].toString(), "ok");
        EXPECT_NEAR(c1["value_mV"].toDouble(), 1000.0, 2.0);  // the sums' window, not a whole number of periods
        EXPECT_TRUE(c1["frequency_kHz"].isNull() && c1["phase_deg"].isNull());
        EXPECT_EQ(channels[1].toObject()["status"].toString(), "off");
        EXPECT_TRUE(channels[1].toObject()["value_mV"].isNull());
        EXPECT_NEAR(channels[3].toObject()["value_mV"].toDouble(), 0.0, 0.05) << "a DC level measured as AC";
    }
}

TEST_F(Probe, OverloadAndAnUnmeasuredReference)
{
    // Channel 2 overloads; as the reference it leaves the others without a phase.
    const Result r = probe(measure({"--crate", "CLI-10", "--slot", "4", "--bits", "24", "--rate", "58593.75", "--channels",
                                    "1,2,3", "--reference", "2", "--time", "0.1", "--frames", "1"}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    // Per channel: mode, status, and which of value (v), frequency (f) and phase (p) are given.
    QStringList shown;
    for (const Row& row : parseCsv(r.out))
        shown << row[Mode] + " " + row[Status] + " " + (row[Value].isEmpty() ? "" : "v") +
                     (row[Frequency].isEmpty() ? "" : "f") + (row[Phase].isEmpty() ? "" : "p");
    EXPECT_EQ(shown.join('|').toStdString(), "ac ok vf|ac overload |ac ok vf| off ");
}

// What the method cannot measure is written as such, and the run goes on: a channel whose
// input is exactly zero (its offset calibrated to 0) is "no-signal" with its message once on
// standard error, a DC level measured as AC has no tone, and both leave the reference's phase
// to the channels that carry a tone. The shortest time at the slowest rate gives the shortest
// frame the methods need, and reads a DC level right.
TEST_F(Probe, NoSignalAndTheShortestFrame)
{
    const Result r = probe(measure({"--crate", "CLI-10", "--slot", "8", "--mode", "ac", "--time", "0.1", "--duration", "1"}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const std::vector<Row> rows = parseCsv(r.out);
    ASSERT_GE(rows.size(), 8u) << "more than one frame: the run went on";
    for (std::size_t i = 0; i < rows.size(); i += 4) {
        EXPECT_EQ(rows[i][Status], "ok");
        EXPECT_EQ(rows[i][Phase], "0");
        for (std::size_t ch : {1u, 2u}) {
            const Row& row = rows[i + ch];
            EXPECT_EQ(row[Status], "no-signal") << ch;
            EXPECT_FALSE(row[Value].isEmpty()) << "the measured value is given";
            EXPECT_TRUE(row[Frequency].isEmpty() && row[Phase].isEmpty());
        }
    }
    EXPECT_EQ(number(rows[1][Value]), 0.0);
    EXPECT_EQ(QString::fromUtf8(r.err).count("Опаньки!!!"), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.startsWith("channel 2: ")) << r.err.toStdString();

    for (const char* method : {"sum", "fft"}) {
        SCOPED_TRACE(method);
        std::map<QString, QString> header;
        const Result dc = probe(measure({"--crate", "CLI-10", "--slot", "8", "--channels", "4", "--reference", "4", "--mode", "dc", "--rate",
                                         "610.3515625", "--time", "0.001", "--method", method}));
        ASSERT_EQ(dc.code, 0) << dc.err.toStdString();
        const std::vector<Row> one = parseCsv(dc.out, &header);
        ASSERT_EQ(one.size(), 4u);
        EXPECT_TRUE(header["frame"].startsWith(QString("%1 samples per channel").arg(kMinFrameSamples)))
            << header["frame"].toStdString();
        EXPECT_NEAR(number(one[3][Value]), -750.0, 0.05);
    }
}

// Frames follow each other without the window's pauses: numbered from 1 without a gap,
// their times in order, and every frame reads the same signal. The crate server is named by
// --server-port, over an environment that points at nothing.
TEST_F(Probe, BackToBackFramesByServerPort)
{
    const Result r = probe(measure({"--server-port", QString::number(server->port()), "--crate", "CLI-10", "--slot", "3",
                                    "--channels", "1,2", "--time", "0.1", "--rate", "117187.5", "--frames", "8"}),
                           {{"QMX_SERVER_PORT", QString::number(qmxtest::deadPort())}});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const std::vector<Row> rows = parseCsv(r.out);
    ASSERT_EQ(rows.size(), 32u);
    QDateTime last;
    for (std::size_t i = 0; i < rows.size(); i += 4) {
        SCOPED_TRACE(i / 4 + 1);
        const QDateTime t = QDateTime::fromString(rows[i][Time], Qt::ISODateWithMs);
        EXPECT_TRUE(!last.isValid() || last <= t);
        last = t;
        for (std::size_t ch = 0; ch < 4; ++ch)
            EXPECT_EQ(rows[i + ch][Time], rows[i][Time]) << "one time per frame";
        EXPECT_NEAR(number(rows[i][Value]), 1000 / std::sqrt(2.0), 0.05);
        EXPECT_NEAR(number(rows[i + 1][Value]), 500 / std::sqrt(2.0), 0.05);
        EXPECT_NEAR(number(rows[i + 1][Phase]), 30, 0.11);
        EXPECT_EQ(rows[i + 2][Status], "off");
    }
}

TEST_F(Probe, DataRateLimitOfATypeTwentyOneCrate)
{
    // Two channels of 20-bit data at 117187.5 Hz: 937.5 KB/s, beyond the 800 KB/s of type 21.
    const Result r = probe(measure({"--crate", "CLI-21", "--channels", "1,2", "--bits", "20", "--rate", "117187.5"}));
    EXPECT_EQ(r.code, 4);
    EXPECT_EQ(QString::fromUtf8(r.err),
              "При выбранных параметрах сбора данных скорость передачи этой информации модулем QMX58 составляет 937.5 "
              "Кбайт/с, что превышает маскимально допустимую для крейта QMX-A1 величину 800.0 Кбайт/с !!! "
              "\nРекомендуется либо снизить частоту преобразования АЦП, либо уменьшить кол-во активных каналов, либо "
              "сократить разрядность данных!!!\n");
    EXPECT_TRUE(r.out.isEmpty()) << "nothing was acquired";
    // One channel (468.75 KB/s) passes.
    const Result one = probe(measure({"--crate", "CLI-21", "--channels", "1", "--rate", "117187.5", "--time", "0.1"}));
    EXPECT_EQ(one.code, 0) << one.err.toStdString();
    EXPECT_EQ(parseCsv(one.out).size(), 4u);
}

TEST_F(Probe, ExitCodes)
{
    // 2: refused options, one line naming the option, before any crate is asked.
    server.stop();
    const std::vector<std::pair<QStringList, QString>> usage = {
        {{"measure", "--rate", "1000"}, "--rate"},
        {{"measure", "--bits", "16"}, "--bits"},
        {{"measure", "--range", "3"}, "--range"},
        {{"measure", "--channels", "0,5"}, "--channels"},
        {{"measure", "--reference", "5"}, "--reference"},
        {{"measure", "--input", "ac"}, "--input"},
        {{"measure", "--time", "-1"}, "--time"},
        {{"measure", "--time", "0.0005"}, "--time"},
        {{"measure", "--time", "100000"}, "--time"},
        {{"measure", "--frames", "0"}, "--frames"},
        {{"measure", "--frames", "2", "--continuous"}, "--continuous"},
        {{"measure", "--format", "xml"}, "--format"},
        {{"measure", "--slot"}, "--slot"},
        {{"measure", "--colour", "red"}, "--colour"},
        {{"scan", "--csv"}, "--csv"},
        {{"probe"}, "probe"},
        {{"measure", "--rate", "610.35", "--rate", "1220.7"}, "--rate"},
        {{"measure", "--samples", "5"}, "--samples"},
        {{"record", "--format", "wav", "--frames", "2"}, "--frames"},
        {{"record", "--format", "wav", "--samples", "5", "--duration", "1"}, "--duration"},
        {{"scan", "--server-port", "0"}, "--server-port"},
        {{"record", "--samples", "5"}, "--format"},
    };
    for (const auto& [args, option] : usage) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const Result r = probe(args);
        EXPECT_EQ(r.code, 2);
        EXPECT_TRUE(r.err.startsWith("qmx58-probe: ")) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(option.toUtf8()));
        EXPECT_EQ(r.err.count('\n'), 1);
        EXPECT_TRUE(r.out.isEmpty());
    }
    for (const QStringList& args : {QStringList{"--help"}, QStringList{"record", "--help"}, QStringList{"help", "scan"}}) {
        const Result help = probe(args);
        EXPECT_EQ(help.code, 0);
        EXPECT_TRUE(help.out.startsWith("Usage: qmx58-probe")) << help.out.toStdString();
    }
    const Result version = probe({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out, QByteArray("qmx58-probe " QMX_PROBE_VERSION "\n"));

    // 3: no crate server, no such crate, no QMX58 in the slot.
    const Result none = probe(measure({}));
    EXPECT_EQ(none.code, 3);
    EXPECT_EQ(QString::fromUtf8(none.err), "Не могу найти ни одного QMX крейта!\n");
    EXPECT_EQ(probe({"scan"}).code, 3);
    ASSERT_TRUE(server.start(kRig));
    EXPECT_EQ(probe(measure({"--crate", "NO-SUCH"})).code, 3);
    EXPECT_EQ(probe(measure({"--crate", "3"})).code, 3);
    const Result foreign = probe(measure({"--crate", "1", "--slot", "5"}));
    EXPECT_EQ(foreign.code, 3);
    EXPECT_TRUE(foreign.err.contains("--slot"));

    // 2 again: values the chosen module cannot take, found before it is configured.
    EXPECT_EQ(probe(measure({"--crate", "CLI-21", "--input", "icp"})).code, 2);
    EXPECT_EQ(probe(measure({"--crate", "CLI-21", "--icp-current", "1"})).code, 2);
    EXPECT_EQ(probe(measure({"--crate", "CLI-21", "--range", "5"})).code, 2);
    EXPECT_EQ(probe(measure({"--crate", "CLI-10", "--slot", "3", "--input", "icp", "--mode", "dc"})).code, 2);

    // 4 and 5: the run's own messages, 4 before the module is configured, 5 after.
    const QString unchosen = settingsFile({{S::kDataFormat, "-1"}});
    const std::vector<std::tuple<QStringList, int, QString>> runs = {
        {measure({"--crate", "CLI-10", "--slot", "3", "--channels", "2", "--reference", "1"}), 4,
         "Опорный канал сдвига фаз не является активным!!!"},
        {{"measure", "--settings", unchosen, "--crate", "CLI-10", "--slot", "3"}, 4, "Не выбран формат данных АЦП!"},
        {measure({"--crate", "CLI-10", "--slot", "6"}), 4, "QMX58_SetADC() --> BAD!!!"},
        {measure({"--crate", "CLI-10", "--slot", "7"}), 5, "Не могу выполнить запуск сбора кадра данных!!!"},
    };
    for (const auto& [args, code, message] : runs) {
        SCOPED_TRACE(message.toStdString());
        const Result r = probe(args);
        EXPECT_EQ(r.code, code);
        EXPECT_EQ(QString::fromUtf8(r.err), message + "\n");
    }
}

TEST_F(Probe, SettingsFileIsReadAndWrittenOnlyWithSave)
{
    // A missing file: the factory values, and no file made.
    const QString absent = dir.filePath("absent.ini");
    const Result defaults = probe({"measure", "--settings", absent, "--crate", "CLI-10", "--time", "0.05"});
    ASSERT_EQ(defaults.code, 0) << defaults.err.toStdString();
    EXPECT_FALSE(QFile::exists(absent));
    std::map<QString, QString> header;
    const std::vector<Row> rows = parseCsv(defaults.out, &header);
    EXPECT_EQ(header["slot"], "3") << "the crate's first module";
    EXPECT_EQ(header["rate_hz"], "117187.5");
    EXPECT_EQ(header["bits"], "20");
    for (const Row& row : rows)
        EXPECT_EQ(row[Mode], "ac");

    // The file's crate and slot, and its rate; the file is left as it was.
    const QString ini = settingsFile({{S::kAdcRate, "12"}, {S::kComputationMethod, "sum"}},
                                     {{S::kCrateSerial, "CLI-10"}, {S::kModuleSlot, "4"}});
    QFile f(ini);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray before = f.readAll();
    f.close();
    const Result fromFile = probe({"measure", "--settings", ini, "--time", "0.05"});
    ASSERT_EQ(fromFile.code, 0) << fromFile.err.toStdString();
    header.clear();
    parseCsv(fromFile.out, &header);
    EXPECT_EQ(header["slot"], "4");
    EXPECT_EQ(header["rate_hz"], "39062.5");
    EXPECT_EQ(header["method"], "sum");
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before);
    f.close();

    // --save writes what the window's Save writes; the keys it does not write stay.
    const Result saved = probe({"measure", "--settings", ini, "--save", "--channels", "1,3", "--rate", "610.35", "--bits",
                                "24", "--range", "2", "--time", "0.05"});
    ASSERT_EQ(saved.code, 0) << saved.err.toStdString();
    IniFile back(ini.toStdString());
    const OperatorSettings s = readOperatorSettings(back, false);
    EXPECT_EQ(s.rateIndex, 0);
    EXPECT_EQ(s.dataFormat, 1);
    EXPECT_EQ(s.groupDiffRange, 0);
    for (int ch = 0; ch < 4; ++ch) {
        EXPECT_EQ(s.channels[static_cast<std::size_t>(ch)].enabled, ch == 0 || ch == 2);
        EXPECT_EQ(s.channels[static_cast<std::size_t>(ch)].diffRange, 0);
    }
    EXPECT_EQ(s.computationMethod, "sum");
    EXPECT_EQ(s.moduleSlot, 4);
}

class PacedProbe : public Probe {
protected:
    PacedProbe() { fast = false; }
};

TEST_F(PacedProbe, InterruptStopsWithinASecondKeepingWholeFrames)
{
    // Frames of 1 s of data at the real conversion rate; Ctrl-C in the middle of the second.
    const QString csv = dir.filePath("interrupted.csv");
    QProcess p;
    p.start(QMX_PROBE_PROGRAM, measure({"--crate", "CLI-10", "--slot", "3", "--rate", "610.35", "--method", "sum", "--time",
                                        "1", "--continuous", "--output", csv}));
    ASSERT_TRUE(p.waitForStarted());
    auto framesWritten = [&] {
        QFile f(csv);
        return f.open(QIODevice::ReadOnly) ? f.readAll().count(",4,") : 0;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return framesWritten() >= 1; }, static_cast<int>(20000 * kSlowdown)));
    QTest::qWait(400);
    QElapsedTimer t;
    t.start();
    ::kill(static_cast<pid_t>(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_LT(t.elapsed(), 1000 * kSlowdown);
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 130);
    EXPECT_TRUE(p.readAllStandardError().isEmpty());
    QFile f(csv);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const std::vector<Row> rows = parseCsv(f.readAll());
    EXPECT_GE(rows.size(), 4u);
    for (const Row& row : rows)
        EXPECT_EQ(row[Status], "ok");

    // The module was stopped and closed: its connection is gone, and it measures again at once.
    EXPECT_TRUE(QTest::qWaitFor([&] { return server->activeConnections() == 0; }, 2000));
    const Result again = probe(measure({"--crate", "CLI-10", "--slot", "3", "--time", "0.05", "--channels", "1"}));
    EXPECT_EQ(again.code, 0) << again.err.toStdString();
    EXPECT_EQ(parseCsv(again.out).size(), 4u);

    // SIGTERM inside the first frame: the header and no frame.
    QProcess q;
    q.start(QMX_PROBE_PROGRAM, measure({"--crate", "CLI-10", "--slot", "3", "--rate", "610.35", "--time", "5", "--method",
                                        "sum"}));
    ASSERT_TRUE(q.waitForStarted());
    ASSERT_TRUE(QTest::qWaitFor([&] { return q.bytesAvailable() > 0 || q.state() != QProcess::Running; }, 20000));
    QTest::qWait(300);
    t.restart();
    q.terminate();
    ASSERT_TRUE(q.waitForFinished(10000));
    EXPECT_LT(t.elapsed(), 1000 * kSlowdown);
    EXPECT_EQ(q.exitCode(), 130);
    EXPECT_TRUE(parseCsv(q.readAllStandardOutput()).empty());
}

// SIGHUP (the terminal closed) ends a run as SIGTERM does; --timeout ends it with its own
// exit code. Both keep the frames written and stop the module.
TEST_F(PacedProbe, HangupAndTimeoutEndTheRun)
{
    const QString csv = dir.filePath("hup.csv");
    QProcess p;
    p.start(QMX_PROBE_PROGRAM, measure({"--crate", "CLI-10", "--slot", "3", "--rate", "9765.625", "--method", "sum",
                                        "--time", "0.2", "--continuous", "--output", csv}));
    ASSERT_TRUE(p.waitForStarted());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            QFile f(csv);
            return (f.open(QIODevice::ReadOnly) && f.readAll().count(",4,") >= 2) || p.state() != QProcess::Running;
        },
        20000));
    ::kill(static_cast<pid_t>(p.processId()), SIGHUP);
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 130);
    QFile f(csv);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_GE(parseCsv(f.readAll()).size(), 8u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return server->activeConnections() == 0; }, 2000));

    const Result timed = probe(measure({"--crate", "CLI-10", "--slot", "3", "--rate", "9765.625", "--method", "sum",
                                        "--time", "0.2", "--continuous", "--timeout", "1.5"}));
    EXPECT_EQ(timed.code, 124) << timed.err.toStdString();
    EXPECT_GE(parseCsv(timed.out).size(), 4u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return server->activeConnections() == 0; }, 2000));
}

}  // namespace

namespace {

// A portable copy in a folder whose name is no valid UTF-8 (named in another encoding): its
// version is found, and its settings file beside it is the one it reads.
TEST_F(Probe, PortableCopyInAFolderNamedInAnotherEncoding)
{
    const std::string folder = QFile::encodeName(dir.path()).toStdString() + "/caf\xe9";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    {
        QFile program(QMX_PROBE_PROGRAM);
        ASSERT_TRUE(program.open(QIODevice::ReadOnly));
        const QByteArray bytes = program.readAll();
        const std::string copy = folder + "/qmx58-probe";
        const int fd = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0755);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())), bytes.size());
        ::close(fd);
        IniFile f(folder + "/" + S::kFileName);
        IniFile::Update update(f);
        f.WriteString(S::kModule, S::kComputationMethod, "sum");
        f.WriteString(S::kDiscovery, S::kCrateSerial, "CLI-10");
        update.commit();
    }
    // The shell names the folder by its bytes; the program finds itself through the kernel.
    auto run = [&](const QString& args) {
        return probe({"-c", QString("cd \"$(printf '%s/caf\\351' \"$0\")\" && exec ./qmx58-probe %1").arg(args), dir.path()},
                     {}, 60000, "/bin/bash");
    };
    const Result version = run("--version");
    ASSERT_EQ(version.code, 0) << version.err.toStdString();
    EXPECT_TRUE(version.out.startsWith("qmx58-probe 1.")) << version.out.toStdString();
    const Result measured = run("measure --time 0.05");
    ASSERT_EQ(measured.code, 0) << measured.err.toStdString();
    std::map<QString, QString> header;
    parseCsv(measured.out, &header);
    EXPECT_EQ(header["method"], "sum") << "the settings file beside the copy";
}

}  // namespace
