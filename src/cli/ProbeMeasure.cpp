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

#include "CliOutput.h"
#include "CrateScan.h"
#include "FileVersionInfo.h"
#include "IniFile.h"
#include "MainThread.h"
#include "ProbeModule.h"
#include "ProgramPath.h"
#include "ReadingsWriter.h"
#include "RunSnapshot.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace qmx::cli {
namespace {

// The shared writer's text for the readings, put out through the run's own output (which
// keeps signals and the deadline in force while it waits, and whole rows on a failure).
class ReadingsOutput {
public:
    ReadingsOutput(Output& out, ReadingsFormat format) : _out(out), _writer(_buffer, format)
    {
        _buffer.open(QIODevice::WriteOnly);
    }

    Output::Status header(const ReadingsRunInfo& info) { return put(_writer.writeHeader(info)); }
    Output::Status frame(long long number, const RunSettings& r, const FrameResults& results)
    {
        return put(_writer.writeFrame(QDateTime::currentDateTimeUtc(), number, r, results));
    }
    QString error() const { return _error.isEmpty() ? _out.error() : _error; }

private:
    Output::Status put(bool formatted)
    {
        if (!formatted) {
            _error = "cannot format the readings: " + _writer.errorString();
            return Output::Status::Failed;
        }
        QByteArray& bytes = _buffer.buffer();
        const Output::Status s = _out.write(bytes.constData(), static_cast<std::size_t>(bytes.size()));
        bytes.clear();
        _buffer.seek(0);
        return s;
    }

    Output& _out;
    QBuffer _buffer;
    ReadingsWriter _writer;
    QString _error;
};

// ---- the run

class ProbeRun : public MeasurementHost {
public:
    ProbeRun(Qmx58Handle& handle, const OperatorSettings& settings, bool icp, std::uint8_t crateType,
             const MeasureOptions& options, ReadingsOutput& writer, ReadingsRunInfo info)
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
        if (const Output::Status s = _writer.header(_info); s != Output::Status::Ok)
            writeFailed(s);
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
        if (const Output::Status s = _writer.frame(_frames, r, results); s != Output::Status::Ok) {
            writeFailed(s);
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
    enum class Event { None, Done, Refused, AcquisitionFailed, Interrupted, TimedOut };

    // The first event decides the exit code; every event ends the run.
    void stop(Event e)
    {
        if (_event == Event::None)
            _event = e;
        if (_thread)
            _thread->Terminate();
        _loop.quit();
    }

    // A write that did not finish: its cause named, or the signal or deadline that cut it.
    void writeFailed(Output::Status s)
    {
        _writeFailed = true;
        if (s == Output::Status::Interrupted) {
            stop(Event::Interrupted);
        } else if (s == Output::Status::TimedOut) {
            stop(Event::TimedOut);
        } else {
            complain(_writer.error());
            stop(Event::AcquisitionFailed);
        }
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
    ReadingsOutput& _writer;
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
    if (const int e = endedByOutside())
        return e;
    auto thread = std::make_unique<TMainThread>(*this, 0);
    _thread = thread.get();

    QSocketNotifier signalWatch(signalPipeFd(), QSocketNotifier::Read);
    QObject::connect(&signalWatch, &QSocketNotifier::activated, [this] {
        drainSignalPipe();
        if (caughtSignal() != 0)
            stop(Event::Interrupted);
    });
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, [this, &deadline] {
        if (deadlinePassed())
            stop(Event::TimedOut);
        else
            deadline.start(static_cast<int>(std::min<long long>(msToDeadline(), 1 << 30)));
    });
    if (msToDeadline() >= 0)
        deadline.start(static_cast<int>(std::min<long long>(msToDeadline(), 1 << 30)));
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
    case Event::TimedOut: return kExitTimedOut;
    case Event::None:
    case Event::Done: break;
    }
    return kExitDone;
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
    // The program's file as bytes: Qt's text name of it is empty for a folder whose name is no
    // valid UTF-8.
    const auto v = platform::FileVersionInfo::read(platform::programFileBytes());
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

int runMeasure(const MeasureOptions& options)
{
    MeasureOptions o = options;
    if (o.until == MeasureOptions::Until::Default)
        o.until = MeasureOptions::Until::Frames;
    // The output first: a FIFO waited for here keeps no module open meanwhile.
    Output out;
    if (const int refused = openRunOutput(o.output, out))
        return refused;

    ModuleSession session;
    if (const int e = openModule(o, session))
        return e;
    if (o.save) {
        try {
            writeOperatorSettings(*session.file, session.settings, session.icp);
        } catch (const IniWriteError& e) {
            complain(QString("--save: ") + e.what());
            return kExitUsage;
        }
    }

    ReadingsOutput writer(out, o.format);
    ReadingsRunInfo info;
    info.crateSerial = session.crateSerial;
    info.slot = session.slot;
    info.moduleSerial = session.moduleSerial();
    info.amplitudeType = session.settings.amplitudeType == "rms" ? "rms" : "peak";
    info.acquisitionTime = session.settings.maxAcquisitionTime;
    info.programVersion = programVersion();
    ProbeRun run(session.handle, session.settings, session.icp, session.crateType, o, writer, info);
    return run.run();
}

}  // namespace qmx::cli
