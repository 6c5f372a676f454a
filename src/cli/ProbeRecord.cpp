// qmx58-probe record: the calibrated samples of the chosen channels, from one start of the
// module to the end of the run without a gap, as WAV, raw float32 or CSV. The module is
// found, opened and configured from the settings file and the options as for measure; the
// stream (SampleStream) receives and converts block after block on this thread, and every
// block is written before the next is received: the socket's buffer holds what comes
// meanwhile. The run ends at --samples or --duration, at Ctrl-C, SIGTERM or SIGHUP, at
// --timeout, at a write failure or at a receive fault; in every case what was received is
// written, the module stopped, a WAV file's sizes set, and the side file completed.

#include "Probe.h"

#include "CliOutput.h"
#include "CrateTypes.h"
#include "ProbeModule.h"
#include "RateTable.h"
#include "ReadingsWriter.h"
#include "RunSnapshot.h"
#include "SampleFormats.h"
#include "SampleStream.h"

#include <QDateTime>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <limits>

namespace qmx::cli {
namespace {

RecordInfo describe(const ModuleSession& s, const RunSettings& r, const SampleStream& stream, SampleFormat format)
{
    static const char* const kInputs[] = {"diff", "diff-ac", "icp"};
    RecordInfo info;
    info.format = format;
    info.crateSerial = s.crateSerial;
    info.crateType = crateTypeName(s.crateType);
    info.slot = s.slot;
    info.module = moduleVariantName("QMX58", s.icp);
    info.moduleSerial = s.moduleSerial();
    info.firmware = s.handle.moduleInfo.firmwareVersion;
    info.rateHz = stream.rateHz();
    info.bits = r.DataFormat == 1 ? 24 : 20;
    bool icpInput = false;
    for (int j = 0; j < stream.channelCount(); ++j) {
        const int ch = stream.physicalChannel(j);
        const ChannelSnapshot& c = r.Channels[static_cast<std::size_t>(ch)];
        const bool icp = c.InputMode == 2;
        icpInput = icpInput || icp;
        info.channels.push_back({ch + 1, kInputs[std::clamp(c.InputMode, 0, 2)],
                                 icp ? IcpRanges[std::clamp(c.IcpRange, 0, 1)] : DiffRanges[std::clamp(c.DiffRange, 0, 1)]});
    }
    if (icpInput)
        info.icpCurrent = r.CurrentSource == 1 ? "10 mA" : "2.86 mA";
    info.icpLagRemoved = icpInput && r.PhaseCorrection;
    info.blockSamples = stream.blockConversions();
    info.programVersion = programVersion();
    return info;
}

// The side file, replaced whole each time it is written.
bool writeSideFile(const QString& path, const QByteArray& json, QString& error)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(json) != json.size() || !f.commit()) {
        error = "cannot write " + path + ": " + f.errorString();
        return false;
    }
    return true;
}

class Recording {
public:
    Recording(const RunOptions& o, Output& out) : _o(o), _out(out) {}
    int run();

private:
    int prepare(ModuleSession& session, SampleStream& stream, RunSettings& r);
    void reportOverload(const SampleBlock& block, const SampleStream& stream);
    // Writes bytes of the samples; false (the end and exit code set) when the run must end.
    bool put(const QByteArray& bytes, std::size_t unit);
    void end(int code, const QString& why)
    {
        if (_code == kExitDone && _summary.end.isEmpty()) {
            _code = code;
            _summary.end = why;
        }
    }
    void finish(SampleStream& stream);

    const RunOptions& _o;
    Output& _out;
    RecordInfo _info;
    RecordSummary _summary;
    QString _sidePath;
    int _code = kExitDone;
    std::int64_t _headerBytes = 0;
    std::uint64_t _dataBytes = 0;
};

bool Recording::put(const QByteArray& bytes, std::size_t unit)
{
    switch (_out.write(bytes.constData(), static_cast<std::size_t>(bytes.size()), unit)) {
    case Output::Status::Ok: return true;
    case Output::Status::Interrupted: end(kExitInterrupted, "interrupted"); return false;
    case Output::Status::TimedOut: end(kExitTimedOut, "timed out"); return false;
    case Output::Status::Failed: break;
    }
    complain(_out.error());
    end(kExitAcquisition, "write fault: " + _out.error());
    return false;
}

void Recording::reportOverload(const SampleBlock& b, const SampleStream& stream)
{
    QStringList channels;
    for (int j = 0; j < b.channels; ++j) {
        if (!b.overload[static_cast<std::size_t>(j)])
            continue;
        const int ch = stream.physicalChannel(j) + 1;
        channels << QString::number(ch);
        _summary.addOverload(ch, b.first, b.first + b.conversions);
    }
    if (channels.isEmpty())
        return;
    const double rate = stream.rateHz();
    tell(QString("%1: channel %2, samples %3 to %4 (%5 to %6 s)")
             .arg(_info.bits == 24 ? "overload" : "clipping", channels.join(','))
             .arg(b.first)
             .arg(b.first + b.conversions - 1)
             .arg(static_cast<double>(b.first) / rate, 0, 'f', 3)
             .arg(static_cast<double>(b.first + b.conversions) / rate, 0, 'f', 3));
}

int Recording::prepare(ModuleSession& session, SampleStream& stream, RunSettings& r)
{
    if (const int e = openModule(_o, session))
        return e;
    takeRunSettings(session.settings, session.icp, r);
    ConfigurationInputs in;
    takeConfiguration(session.settings, in);
    // The phase reference means nothing to a recording.
    const QString refused = stream.configure(r, in, session.crateType, session.moduleName());
    if (!refused.isEmpty()) {
        tell(refused);
        return kExitRefused;
    }
    return endedByOutside();
}

void Recording::finish(SampleStream& stream)
{
    const QString stopped = stream.stop();
    if (!stopped.isEmpty()) {
        tell(stopped);
        end(kExitAcquisition, "stop fault: " + stopped);
    }
    if (_summary.end.isEmpty())
        _summary.end = "done";
    if (_o.sampleFormat == SampleFormat::Wav && _out.isRegularFile()) {
        const QByteArray header = wavHeader(_info, _dataBytes, true);
        if (!_out.rewrite(0, header.constData(), static_cast<std::size_t>(header.size()))) {
            complain(_out.error());
            end(kExitAcquisition, "write fault: " + _out.error());
        }
    }
    if (!_sidePath.isEmpty()) {
        QString error;
        if (!writeSideFile(_sidePath, describeJson(_info, &_summary), error)) {
            complain(error);
            end(kExitAcquisition, "write fault: " + error);
        }
    }
}

int Recording::run()
{
    ModuleSession session;
    SampleStream stream(session.handle);
    RunSettings r;
    if (const int e = prepare(session, stream, r))
        return e;
    _info = describe(session, r, stream, *_o.sampleFormat);
    const int K = stream.channelCount();
    const std::size_t frameBytes = 4u * static_cast<std::size_t>(K);

    long long target = std::numeric_limits<long long>::max();
    if (_o.until == RunOptions::Until::Samples)
        target = _o.samples;
    else if (_o.until == RunOptions::Until::Duration)
        target = std::max<long long>(1, std::llround(_o.durationSeconds * stream.rateHz()));
    bool wavFull = false;
    if (_o.sampleFormat == SampleFormat::Wav) {
        const auto limit = static_cast<long long>(
            wavDataLimit(_info, static_cast<std::size_t>(wavHeader(_info, 0, false).size())) / frameBytes);
        wavFull = limit < target;
        target = std::min(target, limit);
    }

    _info.startUtc = utcText(QDateTime::currentDateTimeUtc());
    if (const QString failed = stream.start(); !failed.isEmpty()) {
        tell(failed);
        return kExitAcquisition;
    }
    // The description: a side file beside a file, else lines on standard error.
    if (_out.isRegularFile() && _o.output) {
        _sidePath = *_o.output + ".json";
        QString error;
        if (!writeSideFile(_sidePath, describeJson(_info, nullptr), error)) {
            complain(error);
            return kExitAcquisition;  // the stream stops with its owner
        }
    } else {
        tell(describeLines(_info).join('\n'));
    }

    bool going = true;
    if (_o.sampleFormat == SampleFormat::Wav)
        going = put(wavHeader(_info, 0, false), 0);
    else if (_o.sampleFormat == SampleFormat::Csv)
        going = put(csvHeader(_info), 0);
    _headerBytes = _out.written();
    _out.unitOrigin = _headerBytes;

    QByteArray bytes;
    const auto stopRequested = [] { return caughtSignal() != 0 || deadlinePassed(); };
    while (going) {
        SampleBlock block;
        QString message;
        const SampleStream::Next next = stream.next(target - _summary.samples, stopRequested, block, message);
        if (next == SampleStream::Next::Fault) {
            tell(message);
            end(kExitAcquisition, "receive fault: " + message);
            break;
        }
        if (next == SampleStream::Next::End)
            break;
        reportOverload(block, stream);
        bytes.clear();
        if (_o.sampleFormat == SampleFormat::Csv)
            appendCsv(block, stream.rateHz(), bytes);
        else
            appendFloat32(block, bytes);
        const std::int64_t before = _out.written();
        going = put(bytes, _o.sampleFormat == SampleFormat::Csv ? 0 : frameBytes);
        _dataBytes = static_cast<std::uint64_t>(_out.written() - _headerBytes);
        // What was written of the block, in whole samples (all of it, but after a failure).
        const std::int64_t kept = _out.written() - before;
        _summary.samples += _o.sampleFormat == SampleFormat::Csv
                                ? (going ? block.conversions : bytes.left(static_cast<qsizetype>(kept)).count('\n'))
                                : kept / static_cast<std::int64_t>(frameBytes);
        if (_summary.samples >= target)
            break;
    }
    if (const int e = endedByOutside())
        end(e, e == kExitInterrupted ? "interrupted" : "timed out");
    if (wavFull && _summary.samples >= target && _code == kExitDone) {
        complain("the WAV file holds no more (4 GiB); the recording ends here");
        _summary.end = "wav file full";
    }
    finish(stream);
    return _code;
}

}  // namespace

int runRecord(const RunOptions& o)
{
    // The output first: a FIFO waited for here keeps no module open meanwhile.
    Output out;
    if (const int refused = openRunOutput(o.output, out))
        return refused;
    Recording recording(o, out);
    return recording.run();
}

}  // namespace qmx::cli
