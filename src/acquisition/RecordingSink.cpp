#include "RecordingSink.h"

namespace qmx {

RecordingSink::RecordingSink(std::unique_ptr<QFile> file, bool columnNames)
    : _file(std::move(file)), _path(_file->fileName()), _writer(*_file, ReadingsFormat::Csv), _columnNames(columnNames)
{
}

RecordingSink::~RecordingSink()
{
    QString reason;
    {
        const std::lock_guard<std::mutex> lock(_mutex);
        reason = _reason;
    }
    if (!_failed.load() && !reason.isEmpty())
        _writer.writeComment("end " + utcText(QDateTime::currentDateTimeUtc()) + ": " + reason);
    _file->close();
}

void RecordingSink::queueHeader(const ReadingsRunInfo& info) { _header = info; }

void RecordingSink::queueComment(const QString& line) { _comments << line; }

bool RecordingSink::writeFrame(const QDateTime& timeUtc, long long frame, const RunSettings& settings,
                               const FrameResults& results)
{
    if (_ended.load() || _failed.load())
        return false;
    bool ok = true;
    for (const QString& line : _comments)
        ok = ok && _writer.writeComment(line);
    _comments.clear();
    if (ok && _header) {
        ok = _writer.writeHeader(*_header, _columnNames);
        _columnNames = false;
        _header.reset();
    }
    FrameResults shown = results;
    for (std::size_t ch = 0; ch < 4; ++ch)
        shown.ChannelActive[ch] = results.ChannelActive[ch] && _shown[ch];
    ok = ok && _writer.writeFrame(timeUtc, frame, settings, shown);
    if (!ok) {
        {
            const std::lock_guard<std::mutex> lock(_mutex);
            _error = _writer.errorString();
        }
        _failed.store(true);
    }
    return ok;
}

void RecordingSink::end(const QString& reason)
{
    const std::lock_guard<std::mutex> lock(_mutex);
    if (_reason.isEmpty())
        _reason = reason;
    _ended.store(true);
}

QString RecordingSink::errorString() const
{
    const std::lock_guard<std::mutex> lock(_mutex);
    return _error;
}

}  // namespace qmx
