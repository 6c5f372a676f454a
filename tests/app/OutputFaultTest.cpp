// Outputs that fail in the middle of a run: the readings writer and the window's recording
// against a full device and a file size limit reached inside a row. The cause is named, and
// the file keeps whole rows only.

#include "AcquisitionFixture.h"
#include "ReadingsWriter.h"

#include <QAction>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace qmx;
using namespace qmxtest;

// A file size limit for this process while it lives; writes past it fail with EFBIG instead
// of a signal.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &_old);
        _oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit r = _old;
        r.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &r);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &_old);
        std::signal(SIGXFSZ, _oldHandler);
    }

private:
    rlimit _old{};
    void (*_oldHandler)(int) = nullptr;
};

QString causeOf(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Every line of `text` is whole, and every data row has the writer's eight fields.
void expectWholeRows(const QByteArray& text)
{
    ASSERT_FALSE(text.isEmpty());
    EXPECT_TRUE(text.endsWith('\n')) << "a torn last row: " << text.right(60).toStdString();
    for (const QByteArray& line : text.split('\n')) {
        if (line.isEmpty() || line.startsWith('#') || line.startsWith("time_utc"))
            continue;
        EXPECT_EQ(line.count(','), 7) << line.toStdString();
    }
}

void makeFrame(RunSettings& s, FrameResults& r)
{
    r.SampleRate = 100000.0;
    r.SamplesPerChannel = 1000;
    s.ComputationMethod = "fft";
    for (std::size_t ch = 0; ch < 4; ++ch) {
        s.Channels[ch].ChannelMode = 1;
        r.ChannelActive[ch] = true;
        r.AcValue[ch] = 0.123456789 * static_cast<double>(ch + 1);
        r.Frequency[ch] = 1000.0;
        r.Phase[ch] = 1.0 / 3.0;
        r.Tone[ch] = true;
    }
}

// The writer names the cause of a failed write, and a file it could not finish a frame in,
// new or appended to, is taken back to its last whole frame.
TEST(OutputFaults, WriterNamesTheCauseAndKeepsWholeRows)
{
    RunSettings s;
    FrameResults r;
    makeFrame(s, r);
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(1'800'000'000'000LL, Qt::UTC);
    {
        QFile full("/dev/full");
        ASSERT_TRUE(full.open(QIODevice::WriteOnly));
        ReadingsWriter w(full, ReadingsFormat::Csv);
        EXPECT_FALSE(w.writeFrame(t, 1, s, r));
        EXPECT_EQ(w.errorString(), causeOf(ENOSPC));
    }
    QTemporaryDir dir;
    for (const QIODevice::OpenMode mode : {QIODevice::WriteOnly | QIODevice::Truncate, QIODevice::WriteOnly | QIODevice::Append}) {
        SCOPED_TRACE(int(mode));
        QFile file(dir.filePath(QString("limit-%1.csv").arg(int(mode))));
        ASSERT_TRUE(file.open(mode));
        ReadingsWriter w(file, ReadingsFormat::Csv);
        ASSERT_TRUE(w.writeHeader(ReadingsRunInfo{}));
        long long frame = 0;
        {
            const FileSizeLimit limit(5000);
            while (frame < 1000 && w.writeFrame(t, ++frame, s, r)) {
            }
        }
        EXPECT_LT(frame, 1000) << "the limit was reached";
        EXPECT_EQ(w.errorString(), causeOf(EFBIG));
        file.close();
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        EXPECT_LE(text.size(), 5000);
        expectWholeRows(text);
        EXPECT_EQ(text.count(QByteArray("ok\n")), 4 * (frame - 1)) << "every frame written before the failure is whole";
    }
}

class RecordingFaults : public AcquisitionFixture {};

// The window's recording reaching a file size limit in the middle of a frame: the message names
// the cause, the file ends on a whole row, and the measurement goes on.
TEST_F(RecordingFaults, FullFileNamesTheCauseAndKeepsWholeRows)
{
    setUpModule({}, {ChannelSetup{}, ChannelSetup{}, ChannelSetup{}, ChannelSetup{}});
    const QString path = folder.filePath("limited.csv");
    dialogs.fileAnswer = path;
    form->RecordReadingsAction->trigger();
    ASSERT_TRUE(form->recording());
    dialogs.shown.clear();
    {
        // The run's header and a few frames of rows fit; a later frame does not.
        const FileSizeLimit limit(3000);
        form->StartThread();
        ASSERT_TRUE(QTest::qWaitFor([&] { return dialogs.count() > 0; }, 30000));
    }
    EXPECT_FALSE(form->recording());
    EXPECT_EQ(dialogs.shown[0].caption, "Запись показаний");
    EXPECT_TRUE(dialogs.shown[0].text.contains(causeOf(EFBIG))) << dialogs.shown[0].text.toStdString();
    EXPECT_TRUE(form->RecordingMarkLabel->text().contains(causeOf(EFBIG)));
    const long now = frames();
    ASSERT_TRUE(QTest::qWaitFor([&] { return frames() >= now + 1; }, 30000)) << "the measurement goes on";
    form->StopThread();
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_LE(text.size(), 3000);
    expectWholeRows(text);
    EXPECT_GE(text.count(QByteArray(",ok\n")), 4) << "at least one whole frame";
}

}  // namespace

namespace {

// A portable copy in a folder whose name is no valid UTF-8 (named in another encoding): the
// settings file is created, read and written there, under its own bytes.
TEST(OddPaths, SettingsFileInAFolderNamedInAnotherEncoding)
{
    QTemporaryDir root;
    const std::string folder = QFile::encodeName(root.path()).toStdString() + "/caf\xe9";
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    RecordingDialogSeam dialogs;
    qmx::MainFormOptions o;
    o.programFolderBytes = folder;
    o.programFolder = QFile::decodeName(QByteArray::fromStdString(folder));
    o.serverPort = 0;
    o.dialogs = &dialogs;
    const std::string ini = folder + "/Qmx58_Probe.ini";
    {
        TestMainForm form(o);
        EXPECT_EQ(form.settingsFile(), ini);
        QString message;
        auto file = form.EnsureSettingsFile(message);
        ASSERT_NE(file, nullptr) << message.toStdString();
        file.reset();
        ASSERT_EQ(::access(ini.c_str(), F_OK), 0) << "created under the folder's own bytes";
        form.MethodSumAction->trigger();
    }
    IniFile f(ini);
    EXPECT_EQ(f.ReadString(S::kModule, S::kComputationMethod, "?"), "sum");
    EXPECT_TRUE(dialogs.shown.empty()) << dialogs.shown.front().text.toStdString();
}

}  // namespace
