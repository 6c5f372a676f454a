// qmx58-probe measure: finds the module as the window's discovery does, takes the operator
// settings from the settings file with the options over them, and runs the window's
// acquisition thread TMainThread with a host of its own that writes every frame's readings
// instead of showing them. Everything the run decides (the data-rate check, the frame
// geometry, the conversion, the readings and the messages) is the thread's.
//
// Exit codes of a run's message: a message before the configuration step has finished (the
// thread tells the frame length through acquisitionShowTime right after QMX58_SetADC
// succeeded) means the module was not configured: 4. A message after it (buffers, start,
// receive, conversion, measurement, stop) means the acquisition failed: 5. This needs no
// knowledge of the message texts, so a new message of the thread falls on the right side.

#include "Probe.h"

#include "CrateScan.h"
#include "FileVersionInfo.h"
#include "IniFile.h"
#include "MainThread.h"
#include "ReadingsWriter.h"
#include "RunSnapshot.h"
#include "SettingsKeys.h"
#include "SettingsLocation.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace qmx::cli {
namespace {

// ---- SIGINT / SIGTERM: a byte down a pipe, read by the event loop

int gSignalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

bool installSignalPipe()
{
    if (gSignalPipe[0] < 0 && ::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    // A closed reader of the output is a write failure of the run, not a silent death.
    ::signal(SIGPIPE, SIG_IGN);
    return true;
}

bool signalPending()
{
    char buf[16];
    return ::read(gSignalPipe[0], buf, sizeof buf) > 0;
}

// ---- the module to measure

struct Target {
    int crateIndex = -1;  // in the compact part of the table
    QString crateSerial;
    int slot = 0;
};

// The crate the options or the settings file name, and the slot in it, chosen as the
// window's discovery chooses (a crate not found: the first; a slot means nothing in a crate
// other than the one named). False (with the message given) when the options name a crate or
// slot that holds no usable QMX58.
bool chooseTarget(DiscoveryTable& d, const MeasureOptions& o, const QString& fileSerial, int fileSlot, Target& t)
{
    QString serial = fileSerial;
    int slot = fileSlot;
    if (o.crate) {
        // A serial first, then the crate's number in the scan (the crate server's list order).
        QStringList listed;
        for (int i = 0; i < DiscoveryTable::kMaxCrates; ++i)
            if (d.rawSerials[i][0] != '\0')
                listed << serialText(d.rawSerials[i]);
        bool isNumber = false;
        const int n = o.crate->toInt(&isNumber);
        if (listed.contains(*o.crate))
            serial = *o.crate;
        else if (isNumber && n >= 1 && n <= listed.size())
            serial = listed[n - 1];
        else {
            complain("--crate: no crate '" + *o.crate + "'");
            return false;
        }
        if (serial != fileSerial)
            slot = -1;
    }
    t.crateIndex = -1;
    for (int c = 0; c < d.crateCount && t.crateIndex < 0; ++c)
        if (serialText(d.crateSerials[c]) == serial)
            t.crateIndex = c;
    if (t.crateIndex < 0) {
        if (o.crate) {
            complain("--crate: crate " + serial + " holds no QMX58 that opens");
            return false;
        }
        t.crateIndex = 0;
        slot = -1;
    }
    t.crateSerial = serialText(d.crateSerials[t.crateIndex]);
    if (o.slot) {
        bool held = false;
        for (int m = 0; m < d.moduleCounts[t.crateIndex]; ++m)
            held = held || d.moduleSlots[t.crateIndex][m] == *o.slot;
        if (!held) {
            complain(QString("--slot: slot %1 of crate %2 holds no QMX58 that opens").arg(*o.slot).arg(t.crateSerial));
            return false;
        }
        slot = *o.slot;
    }
    selectTarget(d, t.crateSerial, slot);
    t.slot = d.moduleSlots[t.crateIndex][d.selectedModuleIndex[t.crateIndex]];
    return true;
}

// ---- the run

class ProbeRun : public MeasurementHost {
public:
    ProbeRun(Qmx58Handle& handle, const OperatorSettings& settings, bool icp, std::uint8_t crateType,
             const MeasureOptions& options, ReadingsWriter& writer, ReadingsRunInfo info)
        : _handle(handle), _s(settings), _icp(icp), _crateType(crateType), _o(options), _writer(writer),
          _info(std::move(info)), _progressShown(::isatty(STDERR_FILENO) == 1)
    {
    }

    int run();

    // ---- MeasurementHost
    std::atomic<std::uint8_t>& measurementRunningFlag() override { return _running; }
    std::atomic<std::uint8_t>& measurementIdleFlag() override { return _idle; }
    bool multimeterPageActive() override { return true; }
    // A channel that carries exactly nothing is written as such, and the others go on.
    bool endRunWithoutSignal() override { return false; }

    void acquisitionStartup(StartupInfo& info) override
    {
        std::setlocale(LC_NUMERIC, "C");
        info.MultimeterPageActive = true;
        info.CrateType = _crateType;
        const char* name = _handle.moduleInfo.moduleName;
        info.ModuleName = QString::fromLatin1(name, static_cast<int>(strnlen(name, sizeof _handle.moduleInfo.moduleName)));
    }

    Qmx58Handle& acquisitionHandle() override { return _handle; }

    void acquisitionBeginRun(RunSettings& r) override { takeRunSettings(_s, _icp, r); }
    void acquisitionReadConfiguration(ConfigurationInputs& in) override { takeConfiguration(_s, in); }

    // Called once the module is configured and the frame geometry known.
    void acquisitionShowTime(const QString&) override
    {
        _configured = true;
        _info.rateHz = _thread->SampleRate;
        _info.bits = _thread->Settings.DataFormat == 1 ? 24 : 20;
        _info.method = QString::fromStdString(_thread->Settings.ComputationMethod);
        _info.samplesPerChannel = _thread->SamplesPerChannel;
        _info.referenceChannel = _thread->Settings.ReferenceChannel + 1;
        _frameWords = static_cast<long long>(_thread->WordsPerSample) * _thread->FrameWords;
        _wordsPerSample = _thread->WordsPerSample;
        if (!_writer.writeHeader(_info))
            writeFailed();
        startFrameClock();
    }

    void acquisitionDisplay(RunSettings& r, const FrameResults& results) override
    {
        // As the window: the phase filter follows its check box, which loading the settings
        // sets exactly when the module is ICP-capable.
        r.PhaseCorrection = _icp;
        clearProgress();
        if (_writeFailed || (_o.until == MeasureOptions::Until::Frames && _frames >= _o.frames))
            return;
        ++_frames;
        for (std::size_t ch = 0; ch < 4; ++ch) {
            if (results.ChannelActive[ch] && results.Silent[ch] && !_silenceTold[ch]) {
                _silenceTold[ch] = true;
                tell(QString("channel %1: %2").arg(ch + 1).arg(QString::fromUtf8(ChannelMeasurement::kNoSignalMessage)));
            }
        }
        if (!_writer.writeFrame(QDateTime::currentDateTimeUtc(), _frames, r, results)) {
            writeFailed();
            return;
        }
        if (_o.until == MeasureOptions::Until::Frames && _frames >= _o.frames)
            stop(Event::Done);
    }

    void acquisitionUpdateLeds(const FrameResults&) override { startFrameClock(); }

    void acquisitionFinish() override
    {
        _idle.store(1);
        stop(Event::Done);
    }

    int acquisitionMessage(const QString& text) override
    {
        clearProgress();
        tell(text);
        stop(_configured ? Event::AcquisitionFailed : Event::Refused);
        return 0;  // "Принято"
    }

private:
    enum class Event { None, Done, Refused, AcquisitionFailed, Interrupted };

    // The first event decides the exit code; every event ends the run.
    void stop(Event e)
    {
        if (_event == Event::None)
            _event = e;
        if (_thread)
            _thread->Terminate();
        _loop.quit();
    }

    void writeFailed()
    {
        _writeFailed = true;
        complain("cannot write the readings: " + _writer.errorString());
        stop(Event::AcquisitionFailed);
    }

    void startFrameClock()
    {
        _frameClock.start();
        _rateClock.invalidate();
    }

    // "frame 3: 1234567 of 16777216 samples (7.4 %), 12.3 s left" (samples over all channels)
    // once a frame has taken 2 s and its data come; the time left from the rate they come at.
    void showProgress()
    {
        if (!_progressShown || !_configured || !_frameClock.isValid() || _frameClock.elapsed() < 2000 || _frameWords <= 0)
            return;
        const long long words = std::min(_thread->FrameWordsReceived.load(std::memory_order_relaxed), _frameWords);
        if (words <= 0)
            return;
        if (!_rateClock.isValid()) {
            _rateClock.start();
            _rateWords = words;
        }
        const double fraction = static_cast<double>(words) / static_cast<double>(_frameWords);
        QString left = "--";
        if (words > _rateWords && _rateClock.elapsed() > 0) {
            const double wordsPerSecond = static_cast<double>(words - _rateWords) * 1000.0 / static_cast<double>(_rateClock.elapsed());
            left = QString::number(static_cast<double>(_frameWords - words) / wordsPerSecond, 'f', 1);
        }
        const QString line = QString("frame %1: %2 of %3 samples (%4 %), %5 s left")
                                 .arg(_frames + 1)
                                 .arg(words / _wordsPerSample)
                                 .arg(_frameWords / _wordsPerSample)
                                 .arg(QString::number(100.0 * fraction, 'f', 1))
                                 .arg(left);
        const QByteArray out = "\r" + line.leftJustified(static_cast<int>(_progressWidth)).toUtf8();
        _progressWidth = std::max<qsizetype>(_progressWidth, line.size());
        std::fwrite(out.constData(), 1, static_cast<std::size_t>(out.size()), stderr);
        std::fflush(stderr);
    }

    void clearProgress()
    {
        if (_progressWidth == 0)
            return;
        const QByteArray out = "\r" + QByteArray(static_cast<int>(_progressWidth), ' ') + "\r";
        std::fwrite(out.constData(), 1, static_cast<std::size_t>(out.size()), stderr);
        std::fflush(stderr);
        _progressWidth = 0;
    }

    Qmx58Handle& _handle;
    const OperatorSettings _s;
    const bool _icp;
    const std::uint8_t _crateType;
    const MeasureOptions& _o;
    ReadingsWriter& _writer;
    ReadingsRunInfo _info;
    const bool _progressShown;

    TMainThread* _thread = nullptr;
    QEventLoop _loop;
    std::atomic<std::uint8_t> _running{0}, _idle{1};
    Event _event = Event::None;
    bool _configured = false;
    bool _writeFailed = false;
    std::array<bool, 4> _silenceTold{};
    long long _frames = 0;
    long long _frameWords = 0;
    int _wordsPerSample = 1;
    QElapsedTimer _frameClock;  // since the frame began (after the previous one's LED update)
    QElapsedTimer _rateClock;   // since the progress display first saw data of the frame
    long long _rateWords = 0;
    qsizetype _progressWidth = 0;
};

int ProbeRun::run()
{
    if (signalPending())
        return kExitInterrupted;
    auto thread = std::make_unique<TMainThread>(*this, 0);
    _thread = thread.get();

    QSocketNotifier signalWatch(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalWatch, &QSocketNotifier::activated, [this] {
        if (signalPending())
            stop(Event::Interrupted);
    });
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, [this] { showProgress(); });
    if (_progressShown)
        progress.start(200);
    QTimer duration;
    duration.setSingleShot(true);
    QObject::connect(&duration, &QTimer::timeout, [this] { stop(Event::Done); });
    if (_o.until == MeasureOptions::Until::Duration)
        duration.start(static_cast<int>(std::min(_o.durationSeconds * 1000.0, 2.0e9)));

    _thread->start();
    if (_event == Event::None)
        _loop.exec();
    progress.stop();
    clearProgress();
    // Ends the run: the thread stops the module and runs its finish routine; synchronised
    // calls still pending (a frame measured just before the stop) are served meanwhile.
    _thread->TerminateAndWait();
    _thread = nullptr;
    thread.reset();

    switch (_event) {
    case Event::Refused: return kExitRefused;
    case Event::AcquisitionFailed: return kExitAcquisition;
    case Event::Interrupted: return kExitInterrupted;
    case Event::None:
    case Event::Done: break;
    }
    return kExitDone;
}

// Closes the module on every way out of the measurement.
struct ModuleCloser {
    Qmx58Handle& h;
    ~ModuleCloser()
    {
        if (QMX58_IsOpened(&h) == 0)
            QMX58_Close(&h);
    }
};

// The window's settings file, found by the window's rule (SettingsLocation.h).
QString windowSettingsPath()
{
    const std::string folder = settings::settingsFolder(QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString());
    return QFile::decodeName((folder + "/" + settings::kFileName).c_str());
}

}  // namespace

void takeRunSettings(const OperatorSettings& s, bool icp, RunSettings& r)
{
    for (std::size_t ch = 0; ch < 4; ++ch) {
        const OperatorChannelSettings& c = s.channels[ch];
        ChannelSnapshot& snap = r.Channels[ch];
        snap.InputMode = c.connectionMode;
        snap.DiffRange = c.diffRange;
        snap.IcpRange = c.icpRange;
        // The inputs with a cut-off measure AC whatever the DC/AC selector holds.
        snap.ChannelMode = c.connectionMode != 0 ? 1 : c.method;
    }
    r.DataFormat = s.dataFormat;
    r.CurrentSource = icp ? s.currentSource : 0;
    // The ICP phase filter, from the first frame on as for every later one (the window's check
    // box, which loading the settings sets exactly when the module is ICP-capable).
    r.PhaseCorrection = icp;
    r.ComputationMethod = s.computationMethod;
    r.AmplitudeType = s.amplitudeType;
    r.AcquisitionTime = s.maxAcquisitionTime;
}

void takeConfiguration(const OperatorSettings& s, ConfigurationInputs& in)
{
    for (std::size_t ch = 0; ch < 4; ++ch)
        in.ChannelEnabled[ch] = s.channels[ch].enabled;
    in.RateIndex = s.rateIndex;
    in.ReferenceChannel = s.referenceChannel;
}

QString programVersion()
{
    const auto v = platform::FileVersionInfo::read(QCoreApplication::applicationFilePath().toStdString());
    return v ? QString::fromStdString(v->text()) : QString();
}

void complain(const QString& text) { std::fprintf(stderr, "qmx58-probe: %s\n", text.toUtf8().constData()); }

void tell(const QString& text) { std::fprintf(stderr, "%s\n", text.toUtf8().constData()); }

bool reportScan(ScanResult result)
{
    if (result == ScanResult::CrateUnreadable)
        complain("a crate of the crate server's list could not be read");
    else if (result != ScanResult::Ok)
        tell(scanFailureMessage(result));
    return result == ScanResult::Ok;
}

int runMeasure(const MeasureOptions& o)
{
    if (!installSignalPipe()) {
        complain(QString("cannot watch for signals: ") + std::strerror(errno));
        return kExitAcquisition;
    }
    const QString path = o.settingsFile ? *o.settingsFile : windowSettingsPath();
    // Reading never creates the file; a missing file reads as the factory values.
    IniFile file(path.toStdString());

    DiscoveryTable table;
    Qmx58Handle handle{};
    ModuleCloser closer{handle};
    if (!reportScan(scanCrates(table, handle, ServerAddress{})))
        return kExitNoModule;
    const OperatorSettings discovery = readOperatorSettings(file, false);
    Target target;
    if (!chooseTarget(table, o, QString::fromStdString(discovery.crateSerial), discovery.moduleSlot, target))
        return kExitNoModule;
    if (!openSelectedModule(table, handle, ServerAddress{})) {
        tell("Не могу проинициализировать модуль в указанном слоте!");
        return kExitNoModule;
    }
    table.moduleState = 2;
    const bool icp = handle.moduleInfo.icpCapable != 0;

    OperatorSettings settings = readOperatorSettings(file, icp);
    QString error;
    if (!applyOptions(o, icp, settings, error)) {
        complain(error);
        return kExitUsage;
    }
    if (o.save) {
        try {
            writeOperatorSettings(file, settings, icp);
        } catch (const IniWriteError& e) {
            complain(QString("--save: ") + e.what());
            return kExitUsage;
        }
    }

    QFile out;
    const bool opened = o.output ? (out.setFileName(*o.output), out.open(QIODevice::WriteOnly | QIODevice::Truncate))
                                 : out.open(STDOUT_FILENO, QIODevice::WriteOnly, QFileDevice::DontCloseHandle);
    if (!opened) {
        complain("--output: cannot open " + o.output.value_or("standard output") + ": " + out.errorString());
        return kExitUsage;
    }
    ReadingsWriter writer(out, o.format);

    ReadingsRunInfo info;
    info.crateSerial = target.crateSerial;
    info.slot = target.slot;
    info.moduleSerial = serialText(handle.moduleInfo.serialNumber);
    info.amplitudeType = settings.amplitudeType == "rms" ? "rms" : "peak";
    info.acquisitionTime = settings.maxAcquisitionTime;
    info.programVersion = programVersion();
    ProbeRun run(handle, settings, icp, table.crateTypes[target.crateIndex], o, writer, info);
    return run.run();
}

}  // namespace qmx::cli
