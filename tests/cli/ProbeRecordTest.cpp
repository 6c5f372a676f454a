// qmx58-probe record end to end: the program as a child process against the simulated crate
// server in this process on a free port, recording sines the rig makes exactly, read back from
// every format and held sample by sample against the true signal (so a lost or repeated
// sample at any receive block boundary shows); overload and clipping reports; and the ways a
// recording ends early: Ctrl-C, SIGHUP, --timeout, a receive fault, a full device, a stalled
// reader, a FIFO nobody opens. Each leaves valid files and the module stopped.

#include "SimulatedServer.h"
#include "qmx58api.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kFs = 117187.5;
constexpr double kTone = 140 * kFs / 16384;  // 1001.358 Hz

const std::string kRig = R"(
crate REC-10 type 10
  slot 2 qmx58 R58-0201 icp yes
    icp-phase 1001.3580322265625 3.5 0 0 0
    channel 0 sine 1.0 1001.3580322265625 0
    channel 1 sine 0.5 1001.3580322265625 30
    channel 2 dc 0.25 sine 1.5 37.5 -100
    channel 3 sine 0.8 440 10
  slot 4 qmx58 R58-0401 icp no
    channel 0 sine 1.0 1001.3580322265625 0
    channel 1 sine 1.0 1001.3580322265625 0
    fault overload 1
  slot 6 qmx58 R58-0601 icp no
    channel 0 sine 1.0 1001.3580322265625 0
    fault short 30000
)";

// The true input of slot 2's channel (0..3) at conversion n.
double truth(int channel, long long n, double fs = kFs)
{
    const double t = static_cast<double>(n) / fs;
    switch (channel) {
    case 0: return 1.0 * std::sin(2 * kPi * kTone * t);
    case 1: return 0.5 * std::sin(2 * kPi * kTone * t + 30 * kPi / 180);
    case 2: return 0.25 + 1.5 * std::sin(2 * kPi * 37.5 * t - 100 * kPi / 180);
    default: return 0.8 * std::sin(2 * kPi * 440 * t + 10 * kPi / 180);
    }
}

// One 20-bit step of the +-2 V range, twice (the calibration is undone within one step).
constexpr double kStep20 = 2.0 / (1 << 19);

struct Samples {
    int channels = 0;
    std::vector<double> values;  // interleaved
    long long frames() const { return channels ? static_cast<long long>(values.size()) / channels : 0; }
    double at(long long n, int j) const { return values[static_cast<std::size_t>(n * channels + j)]; }
};

// The little-endian 32-bit word at `at` of `bytes` (0 past its end).
std::uint32_t le32(const QByteArray& bytes, qsizetype at)
{
    std::uint32_t v = 0;
    if (at >= 0 && at + 4 <= bytes.size())
        std::memcpy(&v, bytes.constData() + at, 4);
    return v;
}

// A WAV file checked for its form: RIFF and data sizes that match the file, format 3, 32
// bits; its samples, rate and comment returned.
::testing::AssertionResult readWav(const QByteArray& file, Samples& out, std::uint32_t& rate, QByteArray& comment)
{
    if (file.size() < 12 || file.left(4) != "RIFF" || file.mid(8, 4) != "WAVE")
        return ::testing::AssertionFailure() << "not a RIFF WAVE file";
    if (le32(file, 4) != static_cast<std::uint32_t>(file.size() - 8))
        return ::testing::AssertionFailure() << "RIFF size " << le32(file, 4) << " for " << file.size();
    long long pos = 12, frames = -1;
    bool fmt = false;
    while (pos + 8 <= file.size()) {
        const QByteArray id = file.mid(pos, 4);
        const std::uint32_t size = le32(file, pos + 4);
        const char* body = file.constData() + pos + 8;
        if (id == "fmt ") {
            if (size < 16 || pos + 8 + 16 > file.size())
                return ::testing::AssertionFailure() << "a short fmt chunk";
            std::uint16_t tag, channels, bits;
            std::memcpy(&tag, body, 2);
            std::memcpy(&channels, body + 2, 2);
            std::memcpy(&bits, body + 14, 2);
            rate = le32(file, pos + 12);
            if (tag != 3 || bits != 32)
                return ::testing::AssertionFailure() << "format " << tag << ", " << bits << " bits";
            out.channels = channels;
            fmt = true;
        } else if (id == "fact") {
            frames = le32(file, pos + 8);
        } else if (id == "LIST") {
            const long long at = file.indexOf("ICMT", pos);
            if (at > 0)
                comment = QByteArray(file.constData() + at + 8);
        } else if (id == "data") {
            if (!fmt || pos + 8 + static_cast<long long>(size) != file.size())
                return ::testing::AssertionFailure() << "data size " << size << " at " << pos << " in " << file.size();
            if (size % (4 * out.channels) != 0)
                return ::testing::AssertionFailure() << "data of " << size << " bytes: a torn sample frame";
            if (frames != static_cast<long long>(size / 4 / out.channels))
                return ::testing::AssertionFailure() << "fact " << frames << " for " << size << " data bytes";
            out.values.resize(size / 4);
            for (std::size_t i = 0; i < out.values.size(); ++i) {
                float f;
                std::memcpy(&f, body + 4 * i, 4);
                out.values[i] = f;
            }
            return ::testing::AssertionSuccess();
        }
        pos += 8 + size + (size & 1);
    }
    return ::testing::AssertionFailure() << "no data chunk";
}

Samples readF32(const QByteArray& bytes, int channels)
{
    Samples s;
    s.channels = channels;
    EXPECT_EQ(bytes.size() % (4 * channels), 0);
    s.values.resize(static_cast<std::size_t>(bytes.size() / 4));
    for (std::size_t i = 0; i < s.values.size(); ++i) {
        float f;
        std::memcpy(&f, bytes.constData() + 4 * i, 4);
        s.values[i] = f;
    }
    return s;
}

// CSV rows back, each checked whole: the time column n / rate exactly, one value per channel.
Samples readCsv(const QByteArray& text, const QString& header, double fs)
{
    Samples s;
    const QList<QByteArray> lines = text.split('\n');
    EXPECT_TRUE(text.isEmpty() || text.endsWith('\n')) << "whole rows only";
    EXPECT_EQ(QString::fromUtf8(lines.value(0)), header);
    s.channels = static_cast<int>(header.count(','));
    for (int i = 1; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        const QList<QByteArray> f = lines[i].split(',');
        EXPECT_EQ(f.size(), s.channels + 1) << lines[i].toStdString();
        if (f.size() != s.channels + 1)
            break;
        EXPECT_EQ(f[0].toDouble(), static_cast<double>(i - 1) / fs) << "row " << i;
        for (int j = 1; j <= s.channels; ++j)
            s.values.push_back(f[j].toDouble());
    }
    return s;
}

// Every sample against the true signal of slot 2's `channels`; the worst error returned, and
// the first sample off by more than `tolerance` named. A sample lost or repeated anywhere
// puts every later one off by up to 2 pi f / Fs of the amplitude (54 mV at 1 kHz).
double worstError(const Samples& s, const std::vector<int>& channels, double tolerance, double fs = kFs)
{
    double worst = 0;
    for (long long n = 0; n < s.frames(); ++n)
        for (int j = 0; j < s.channels; ++j) {
            const double e = std::fabs(s.at(n, j) - truth(channels[static_cast<std::size_t>(j)], n, fs));
            if (e > tolerance && worst <= tolerance)
                ADD_FAILURE() << "sample " << n << " of channel " << channels[static_cast<std::size_t>(j)] + 1 << " off by " << e;
            worst = std::max(worst, e);
        }
    return worst;
}

struct Result {
    int code = -1;
    QByteArray out, err;
};

class Record : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(server.start(kRig, fast));
    }

    QStringList record(const QStringList& more) const
    {
        return QStringList{"record", "--settings", dir.filePath("absent.ini"), "--crate", "REC-10"} + more;
    }

    Result probe(const QStringList& args, int timeoutMs = 60000)
    {
        QProcess p;
        p.start(QMX_PROBE_PROGRAM, args);
        EXPECT_TRUE(p.waitForStarted());
        EXPECT_TRUE(p.waitForFinished(timeoutMs)) << args.join(' ').toStdString();
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
                p.readAllStandardError()};
    }

    QJsonObject sideFile(const QString& path)
    {
        QFile f(path + ".json");
        EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
        return QJsonDocument::fromJson(f.readAll()).object();
    }

    static QByteArray contents(const QString& path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    bool fast = true;
    QTemporaryDir dir;
    qmxtest::SimulatedServer server;
};

// Twelve blocks of 0.1 s in each format, read back sample by sample against the rig's sines:
// gapless across every block boundary, within the quantisation step, the rates and the run's
// description where the format keeps them.
TEST_F(Record, EveryFormatReadsBackTheSignalWithoutAGap)
{
    const long long N = 12 * 11718 + 777;  // the last block short
    const QStringList common = {"--slot", "2", "--range", "2", "--bits", "20", "--input", "diff", "--rate", "117187.5",
                                "--samples", QString::number(N)};
    const std::vector<int> all = {0, 1, 2, 3};

    const QString wav = dir.filePath("rec.wav");
    const Result w = probe(record(common + QStringList{"--format", "wav", "--output", wav}));
    ASSERT_EQ(w.code, 0) << w.err.toStdString();
    EXPECT_TRUE(w.out.isEmpty() && w.err.isEmpty()) << w.err.toStdString();
    Samples s;
    std::uint32_t rate = 0;
    QByteArray comment;
    ASSERT_TRUE(readWav(contents(wav), s, rate, comment));
    EXPECT_EQ(rate, 117188u) << "the rate rounded";
    EXPECT_TRUE(comment.contains("rate_hz=117187.5;")) << comment.toStdString();
    ASSERT_EQ(s.channels, 4);
    ASSERT_EQ(s.frames(), N);
    EXPECT_LT(worstError(s, all, 2 * kStep20 + 1e-7), 2 * kStep20 + 1e-7);
    const QJsonObject side = sideFile(wav);
    EXPECT_EQ(side["rate_hz"].toDouble(), kFs);
    EXPECT_EQ(side["samples"].toDouble(), static_cast<double>(N));
    EXPECT_EQ(side["end"].toString(), "done");
    EXPECT_EQ(side["crate_serial"].toString(), "REC-10");
    EXPECT_EQ(side["module_serial"].toString(), "R58-0201");
    EXPECT_EQ(side["bits"].toInt(), 20);
    EXPECT_TRUE(QDateTime::fromString(side["start_utc"].toString(), Qt::ISODateWithMs).isValid());
    const QJsonArray channels = side["channels"].toArray();
    ASSERT_EQ(channels.size(), 4);
    EXPECT_EQ(channels[2].toObject()["range_v"].toDouble(), 2.0);
    EXPECT_EQ(channels[2].toObject()["input"].toString(), "diff");
    EXPECT_TRUE(side["overloads"].toArray().isEmpty());
    // The block boundaries named by the side file, one by one: the samples on both sides of
    // each are the true signal's neighbours (nothing lost or repeated there).
    const long long block = static_cast<long long>(side["block_samples"].toDouble());
    ASSERT_GT(block, 0);
    ASSERT_GE(N / block, 12);
    for (long long b = block; b < N; b += block)
        for (long long n : {b - 1, b})
            EXPECT_NEAR(s.at(n, 0), truth(0, n), 2 * kStep20) << "boundary " << b;

    // f32 on standard output: two channels, the description on standard error.
    const Result f = probe(record(common + QStringList{"--format", "f32", "--channels", "2,4"}));
    ASSERT_EQ(f.code, 0) << f.err.toStdString();
    const Samples fs = readF32(f.out, 2);
    ASSERT_EQ(fs.frames(), N);
    EXPECT_LT(worstError(fs, {1, 3}, 2 * kStep20 + 1e-7), 2 * kStep20 + 1e-7);
    EXPECT_TRUE(f.err.contains("# rate_hz: 117187.5\n")) << f.err.toStdString();
    EXPECT_TRUE(f.err.contains("# channels: 2,4\n"));

    // CSV at the slowest (fractional) rate in 24-bit data: times n / rate, full precision.
    const double slow = 610.3515625;
    const QString csv = dir.filePath("rec.csv");
    const Result c = probe(record({"--slot", "2", "--range", "2", "--bits", "24", "--input", "diff", "--rate", "610.35",
                                   "--channels", "3", "--duration", "0.5", "--format", "csv", "--output", csv}));
    ASSERT_EQ(c.code, 0) << c.err.toStdString();
    const Samples cs = readCsv(contents(csv), "time_s,ch3_V", slow);
    EXPECT_EQ(cs.frames(), std::llround(0.5 * slow));
    EXPECT_LT(worstError(cs, {2}, 2 * 2.0 / (1 << 23), slow), 2 * 2.0 / (1 << 23));
    EXPECT_EQ(sideFile(csv)["rate_hz"].toDouble(), slow);
}

// The ICP lag comes out of the recorded samples, across block boundaries too (there the
// library's conversion carries its state from block to block).
TEST_F(Record, IcpLagIsRemovedAcrossBlocks)
{
    const QString wav = dir.filePath("icp.wav");
    const Result r = probe(record({"--slot", "2", "--input", "icp", "--range", "1", "--channels", "1", "--rate",
                                   "117187.5", "--samples", "60000", "--format", "wav", "--output", wav}));
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    Samples s;
    std::uint32_t rate = 0;
    QByteArray comment;
    ASSERT_TRUE(readWav(contents(wav), s, rate, comment));
    ASSERT_EQ(s.frames(), 60000);
    // Uncorrected, a 3.5 degree lag is 61 mV off at the peak; the filter leaves microvolts.
    EXPECT_LT(worstError(s, {0}, 1e-4), 1e-4);
    EXPECT_TRUE(sideFile(wav)["icp_lag_removed"].toBool());
}

// An ICP input carrying what no prediction can continue (wide-band noise, and spikes just
// before the first block boundaries): every recorded sample equals what one conversion of the
// whole acquisition gives, so no block boundary rests on a guess. The same connection's first
// start gives the same noise, so the reference is the library's conversion of a second
// acquisition in one call.
TEST_F(Record, IcpNoiseAndSpikesAreExactAcrossBlocks)
{
    ASSERT_TRUE(server.start(R"(
crate ICPN-1 type 10
  slot 3 qmx58 N58-0301 icp yes
    icp-phase 1000 20 0 0 0
    channel 0 noise 0.3 spike 2.0 11700 spike -1.5 23420
)"));
    constexpr int N = 40000;
    const QString out = dir.filePath("noise.f32");
    const Result r = probe({"record", "--settings", dir.filePath("absent.ini"), "--crate", "ICPN-1", "--slot", "3",
                            "--input", "icp", "--range", "5", "--channels", "1", "--rate", "117187.5", "--bits", "24",
                            "--samples", QString::number(N), "--format", "f32", "--output", out});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const Samples got = readF32(contents(out), 1);
    ASSERT_EQ(got.frames(), N);

    Qmx58Handle h{};
    ASSERT_EQ(QMX58_Open(&h, 0x7F000001, 11111, "ICPN-1", 3), QMX58_OK);
    ASSERT_EQ(QMX58_GetConfig(&h), QMX58_OK);
    h.rateCode = 0;
    h.dataFormat = 1;
    h.channels[0].enabled = 1;
    h.channels[0].inputRangeIndex = 1;
    h.channels[0].icpSensorMode = 1;
    ASSERT_EQ(QMX58_SetADC(&h), QMX58_OK);
    ASSERT_EQ(QMX58_Start(&h), QMX58_OK);
    std::vector<std::uint32_t> words(2 * (N + 1000));
    ASSERT_EQ(QMX58_Recv(&h, words.data(), nullptr, static_cast<std::uint32_t>(words.size()), 10000),
              static_cast<std::int32_t>(words.size()));
    ASSERT_EQ(QMX58_Stop(&h), QMX58_OK);
    std::vector<double> reference(words.size() / 2);
    auto count = static_cast<std::int32_t>(words.size());
    ASSERT_EQ(QMX58_ProcessData(&h, words.data(), reference.data(), &count,
                                QMX58_PD_OFFSET | QMX58_PD_SCALE | QMX58_PD_VOLTS | QMX58_PD_ICP_PHASE, nullptr),
              QMX58_OK);
    QMX58_Close(&h);

    int off = 0;
    double worst = 0;
    for (int n = 0; n < N; ++n) {
        const double e = std::fabs(got.values[static_cast<std::size_t>(n)] - reference[static_cast<std::size_t>(n)]);
        if (e > 1e-6 && off++ < 3)
            ADD_FAILURE() << "sample " << n << " off by " << e;
        worst = std::max(worst, e);
    }
    EXPECT_LT(worst, 1e-6) << off << " samples off";
}

// Overload (24-bit status) and clipping (20-bit full-scale codes) of channel 2, reported per
// block on standard error and as one span in the side file.
TEST_F(Record, OverloadAndClippingAreReported)
{
    for (const char* bits : {"24", "20"}) {
        SCOPED_TRACE(bits);
        const QString out = dir.filePath(QString("over%1.f32").arg(bits));
        const Result r = probe({"record", "--settings", dir.filePath("absent.ini"), "--crate", "REC-10", "--slot", "4",
                                "--channels", "1,2", "--range", "2", "--bits", bits, "--rate", "58593.75", "--samples", "30000",
                                "--format", "f32", "--output", out});
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        const QString kind = QString(bits) == "24" ? "overload" : "clipping";
        const QStringList lines = QString::fromUtf8(r.err).split('\n', Qt::SkipEmptyParts);
        ASSERT_GE(lines.size(), 5) << "one per block of 5859 samples";
        for (const QString& line : lines)
            EXPECT_TRUE(line.startsWith(kind + ": channel 2, samples ")) << line.toStdString();
        const QJsonArray spans = sideFile(out)["overloads"].toArray();
        ASSERT_EQ(spans.size(), 1);
        const QJsonObject span = spans[0].toObject();
        EXPECT_EQ(span["channel"].toInt(), 2);
        EXPECT_EQ(span["first_sample"].toDouble(), 0.0);
        EXPECT_EQ(span["end_sample"].toDouble(), 30000.0);
        EXPECT_EQ(span["kind"].toString(), kind);
    }
}

// Failures of the run's ends: a receive fault (the module stops sending), a full device and a
// file that may grow no further. All exit with 5 and keep what was written valid.
TEST_F(Record, ReceiveAndWriteFaultsEndTheRunCleanly)
{
    // Slot 6 sends 30000 words, then nothing: the block times out.
    const QString wav = dir.filePath("short.wav");
    const Result r = probe(record({"--slot", "6", "--channels", "1", "--rate", "117187.5", "--format", "wav", "--output",
                                   wav}));
    EXPECT_EQ(r.code, 5);
    EXPECT_TRUE(r.err.contains("Приняты не все требуемые данные с АЦП модуля!")) << r.err.toStdString();
    Samples s;
    std::uint32_t rate = 0;
    QByteArray comment;
    ASSERT_TRUE(readWav(contents(wav), s, rate, comment));
    EXPECT_EQ(s.frames(), 30000) << "everything received is written";
    EXPECT_TRUE(sideFile(wav)["end"].toString().startsWith("receive fault")) << sideFile(wav)["end"].toString().toStdString();
    EXPECT_EQ(sideFile(wav)["samples"].toDouble(), 30000.0);

    for (const QStringList& args : {record({"--slot", "2", "--format", "f32", "--output", "/dev/full"}),
                                    QStringList{"measure", "--settings", dir.filePath("absent.ini"), "--crate", "REC-10",
                                                "--time", "0.01", "--output", "/dev/full"}}) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const Result full = probe(args);
        EXPECT_EQ(full.code, 5);
        EXPECT_TRUE(full.err.contains("cannot write /dev/full: No space left on device")) << full.err.toStdString();
    }

    // A file that can grow no further (the file-size limit falls inside a row): the cause is
    // named, the file is cut back to its last whole row, and its description agrees.
    for (const char* format : {"csv", "wav"}) {
        SCOPED_TRACE(format);
        const QString path = dir.filePath(QString("limited.%1").arg(format));
        QProcess p;
        p.setChildProcessModifier([] {
            const rlimit limit{100001, 100001};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::signal(SIGXFSZ, SIG_IGN);
        });
        p.start(QMX_PROBE_PROGRAM, record({"--slot", "2", "--range", "2", "--input", "diff", "--channels", "1,3",
                                           "--format", format, "--output", path}));
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitCode(), 5);
        EXPECT_TRUE(p.readAllStandardError().contains("File too large"));
        const QByteArray bytes = contents(path);
        EXPECT_LE(bytes.size(), 100001);
        Samples back;
        if (QString(format) == "csv") {
            back = readCsv(bytes, "time_s,ch1_V,ch3_V", kFs);
        } else {
            std::uint32_t rate = 0;
            QByteArray comment;
            ASSERT_TRUE(readWav(bytes, back, rate, comment));
        }
        EXPECT_GT(back.frames(), 1000);
        EXPECT_EQ(sideFile(path)["samples"].toDouble(), static_cast<double>(back.frames()));
        EXPECT_LT(worstError(back, {0, 2}, 2 * kStep20 + 1e-6), 2 * kStep20 + 1e-6);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return server->activeConnections() == 0; }, 5000));
}

class PacedRecord : public Record {
protected:
    PacedRecord() { fast = false; }

    // Waits until the recording at `path` holds more than `frames` frames of two channels: the
    // WAV's float pairs after its header, or the CSV's rows after its header line.
    bool grows(const QString& path, bool csv, int frames, QProcess& p)
    {
        const auto held = [&] {
            if (!csv)
                return (QFileInfo(path).size() - 44) / 8 > frames;
            return contents(path).count('\n') > frames + 1;
        };
        return QTest::qWaitFor([&] { return held() || p.state() != QProcess::Running; }, 30000) &&
               p.state() == QProcess::Running;
    }
};

// Ctrl-C, SIGTERM and SIGHUP in the middle of a recording at the real rate, and --timeout:
// the WAV file's sizes are set and its samples are the signal's, the CSV holds whole rows,
// the side file says how it ended, and the module is stopped and closed.
TEST_F(PacedRecord, SignalsAndTheTimeoutLeaveValidFiles)
{
    struct Case {
        const char* format;
        int signal;  // 0: --timeout
        int code;
        const char* end;
    };
    for (const Case& c : {Case{"wav", SIGINT, 130, "interrupted"}, Case{"csv", SIGINT, 130, "interrupted"},
                          Case{"wav", SIGHUP, 130, "interrupted"}, Case{"csv", SIGTERM, 130, "interrupted"},
                          Case{"wav", 0, 124, "timed out"}}) {
        SCOPED_TRACE(std::string(c.format) + " " + std::to_string(c.signal));
        const QString path = dir.filePath(QString("sig%1.%2").arg(c.signal).arg(c.format));
        QStringList args = record({"--slot", "2", "--range", "2", "--input", "diff", "--channels", "1,3", "--rate",
                                   "9765.625", "--format", c.format, "--output", path});
        if (c.signal == 0)
            args << "--timeout" << "3";
        QProcess p;
        p.start(QMX_PROBE_PROGRAM, args);
        ASSERT_TRUE(p.waitForStarted());
        if (c.signal != 0) {
            ASSERT_TRUE(grows(path, QString(c.format) == "csv", 1100, p)) << p.readAllStandardError().toStdString();
            ::kill(static_cast<pid_t>(p.processId()), c.signal);
        }
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), c.code) << p.readAllStandardError().toStdString();
        const QJsonObject side = sideFile(path);
        EXPECT_EQ(side["end"].toString(), c.end);
        Samples s;
        if (QString(c.format) == "wav") {
            std::uint32_t rate = 0;
            QByteArray comment;
            ASSERT_TRUE(readWav(contents(path), s, rate, comment));
        } else {
            s = readCsv(contents(path), "time_s,ch1_V,ch3_V", 9765.625);
        }
        EXPECT_GT(s.frames(), 1000);
        EXPECT_EQ(side["samples"].toDouble(), static_cast<double>(s.frames()));
        EXPECT_LT(worstError(s, {0, 2}, 2 * kStep20 + 1e-6, 9765.625), 2 * kStep20 + 1e-6);
        EXPECT_TRUE(QTest::qWaitFor([&] { return server->activeConnections() == 0; }, 5000));
    }
}

// An output that cannot take the data must not hold the program past a signal: a FIFO that
// nobody opens (waited for before the module is opened, so the crate server never sees a
// connection), and a pipe whose reader stopped reading (measure and record), whose signal
// ends the run with the module stopped.
TEST_F(PacedRecord, StalledOutputsYieldToSignals)
{
    const QString fifo = dir.filePath("fifo");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    {
        QProcess p;
        p.start(QMX_PROBE_PROGRAM, record({"--format", "f32", "--output", fifo}));
        ASSERT_TRUE(p.waitForStarted());
        QTest::qWait(500);
        EXPECT_EQ(p.state(), QProcess::Running) << "waits for a reader";
        ::kill(static_cast<pid_t>(p.processId()), SIGINT);
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 130) << p.readAllStandardError().toStdString();
        EXPECT_EQ(server->acceptedConnections(), 0u) << "no module opened meanwhile";
    }

    const std::vector<QStringList> runs = {
        record({"--format", "f32", "--rate", "117187.5", "--output", fifo}),
        {"measure", "--settings", dir.filePath("absent.ini"), "--crate", "REC-10", "--slot", "2", "--rate", "117187.5",
         "--method", "sum", "--time", "0.001", "--continuous", "--format", "jsonl", "--output", fifo},
    };
    for (const QStringList& args : runs) {
        SCOPED_TRACE(args.join(' ').toStdString());
        // A reader that never reads: the pipe fills and the writer has to wait.
        const int reader = ::open(fifo.toLocal8Bit().constData(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        QProcess p;
        p.start(QMX_PROBE_PROGRAM, args);
        ASSERT_TRUE(p.waitForStarted());
        int queued = 0;
        EXPECT_TRUE(QTest::qWaitFor([&] { return ::ioctl(reader, FIONREAD, &queued) == 0 && queued >= 60000; }, 60000))
            << queued;
        QTest::qWait(300);
        EXPECT_EQ(p.state(), QProcess::Running);
        ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
        ASSERT_TRUE(p.waitForFinished(10000));
        EXPECT_EQ(p.exitCode(), 130) << p.readAllStandardError().toStdString();
        EXPECT_TRUE(QTest::qWaitFor([&] { return server->activeConnections() == 0; }, 5000));
        ::close(reader);
    }
}

}  // namespace
