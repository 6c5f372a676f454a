#include "ReadingsWriter.h"

#include <QFileDevice>
#include <QIODevice>

#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qmx {
namespace {

QByteArray optionalNumber(const std::optional<double>& v, const char* absent)
{
    return v ? numberText(*v).toLatin1() : QByteArray(absent);
}

}  // namespace

QString oneLine(QString text)
{
    text.replace('\r', ' ');
    text.replace('\n', ' ');
    return text;
}

QString numberText(double value)
{
    if (!std::isfinite(value))
        return QString();
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    return QString::fromLatin1(buf, static_cast<int>(r.ptr - buf));
}

QString utcText(const QDateTime& time) { return time.toUTC().toString(Qt::ISODateWithMs); }

ReadingsWriter::ReadingsWriter(QIODevice& device, ReadingsFormat format) : _device(device), _format(format) {}

bool ReadingsWriter::put(const QByteArray& bytes)
{
    auto* file = qobject_cast<QFileDevice*>(&_device);
    if (file && file->handle() >= 0) {
        // Whatever the device has buffered goes first; from then on the rows go straight to
        // the file, one write per row, so a failure is known with its cause.
        if (!file->flush()) {
            _error = file->errorString();
            return false;
        }
        QString error;
        if (!writeWhole(file->handle(), bytes, error)) {
            _error = error;
            return false;
        }
        return true;
    }
    if (_device.write(bytes) != bytes.size()) {
        _error = _device.errorString();
        return false;
    }
    return true;
}

bool writeWhole(int fd, const QByteArray& bytes, QString& error)
{
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    const int flags = ::fcntl(fd, F_GETFL);
    const bool append = flags >= 0 && (flags & O_APPEND) != 0;
    const off_t start = !regular ? -1 : append ? st.st_size : ::lseek(fd, 0, SEEK_CUR);
    const char* data = bytes.constData();
    const qint64 n = bytes.size();
    qint64 done = 0;
    int cause = 0;
    while (done < n) {
        const ssize_t r = ::write(fd, data + done, static_cast<size_t>(n - done));
        if (r > 0) {
            done += r;
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        // A short write sets no error; the call after it says why (a full disk, a file
        // size limit).
        cause = r < 0 ? errno : EIO;
        break;
    }
    if (done == n)
        return true;
    // A row cut short is taken back, so the file holds whole rows only.
    if (regular && start >= 0 && done > 0 && ::ftruncate(fd, start) == 0 && !append)
        ::lseek(fd, start, SEEK_SET);
    error = QString::fromLocal8Bit(std::strerror(cause));
    return false;
}

bool ReadingsWriter::writeHeader(const ReadingsRunInfo& i, bool columnNames)
{
    if (_format != ReadingsFormat::Csv)
        return true;
    QString text;
    auto line = [&](const char* key, const QString& value) { text += QString("# %1: %2\n").arg(key, oneLine(value)); };
    line("crate_serial", i.crateSerial);
    line("slot", QString::number(i.slot));
    line("module_serial", i.moduleSerial);
    line("rate_hz", numberText(i.rateHz));
    line("bits", QString::number(i.bits));
    line("method", i.method);
    line("amplitude", i.amplitudeType);
    line("acquisition_time_s", numberText(i.acquisitionTime));
    if (i.samplesPerChannel > 0 && i.rateHz > 0)
        line("frame", QString("%1 samples per channel, %2 s")
                          .arg(i.samplesPerChannel)
                          .arg(numberText(static_cast<double>(i.samplesPerChannel) / i.rateHz)));
    line("reference_channel", QString::number(i.referenceChannel));
    line("program_version", i.programVersion);
    if (columnNames)
        text += "time_utc,frame,channel,mode,value_mV,frequency_kHz,phase_deg,status\n";
    return put(text.toUtf8());
}

bool ReadingsWriter::writeComment(const QString& text)
{
    if (_format != ReadingsFormat::Csv)
        return true;
    return put(("# " + oneLine(text) + "\n").toUtf8());
}

bool ReadingsWriter::writeFrame(const QDateTime& timeUtc, long long frame, const RunSettings& s, const FrameResults& r)
{
    const std::array<ChannelReading, 4> rows = decideReadings(s, r);
    const QByteArray time = utcText(timeUtc).toLatin1();
    QByteArray out;
    if (_format == ReadingsFormat::Csv) {
        for (const ChannelReading& row : rows) {
            out += time + ',' + QByteArray::number(frame) + ',' + QByteArray::number(row.channel) + ',' + row.mode + ',' +
                   optionalNumber(row.valueMilliVolts, "") + ',' + optionalNumber(row.frequencyKiloHertz, "") + ',' +
                   optionalNumber(row.phaseDegrees, "") + ',' + statusText(row.status) + '\n';
        }
    } else {
        out = "{\"time_utc\":\"" + time + "\",\"frame\":" + QByteArray::number(frame) + ",\"channels\":[";
        for (const ChannelReading& row : rows) {
            if (row.channel > 1)
                out += ',';
            out += "{\"channel\":" + QByteArray::number(row.channel) + ",\"mode\":" +
                   (*row.mode ? '"' + QByteArray(row.mode) + '"' : QByteArray("null")) +
                   ",\"value_mV\":" + optionalNumber(row.valueMilliVolts, "null") +
                   ",\"frequency_kHz\":" + optionalNumber(row.frequencyKiloHertz, "null") +
                   ",\"phase_deg\":" + optionalNumber(row.phaseDegrees, "null") + ",\"status\":\"" +
                   statusText(row.status) + "\"}";
        }
        out += "]}\n";
    }
    return put(out);
}

}  // namespace qmx
