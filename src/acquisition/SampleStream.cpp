#include "SampleStream.h"

#include "ChannelRecord.h"
#include "CrateTypes.h"
#include "NumberFormat.h"
#include "RateTable.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <cmath>

namespace qmx {
namespace {

constexpr std::uint32_t kConvertFlags = QMX58_PD_OFFSET | QMX58_PD_SCALE | QMX58_PD_VOLTS;
// A block holds this much signal (as the measurement's receive pieces do), and at least
// kMinBlock conversions so a slow rate still gets whole receive calls.
constexpr double kBlockSeconds = 0.1;
constexpr std::int64_t kMinBlock = 64;

}  // namespace

SampleStream::SampleStream(Qmx58Handle& handle) : _h(handle) {}

SampleStream::~SampleStream() { stop(); }

QString SampleStream::configure(const RunSettings& s, const ConfigurationInputs& in, std::uint8_t crateType,
                                const QString& moduleName)
{
    if (_h.running != 0 && QMX58_Stop(&_h) != 0)
        return "QMX58_Stop() --> BAD!!!";
    const QString unchosen = unchosenSetting(s, in.ChannelEnabled);
    _k = 0;
    for (int ch = 0; ch < 4; ++ch) {
        const auto c = static_cast<std::size_t>(ch);
        const ChannelSnapshot& snap = s.Channels[c];
        fillChannelRecord(_h.channels[ch], in.ChannelEnabled[c], snap.InputMode, snap.DiffRange, snap.IcpRange);
        if (in.ChannelEnabled[c])
            _physical[static_cast<std::size_t>(_k++)] = ch;
    }
    const bool rateChosen = in.RateIndex >= 0 && in.RateIndex < static_cast<int>(Qmx58RateTable.size());
    if (_k == 0)
        return "Необходимо выбрать не менне одного активного канала!";
    if (!unchosen.isEmpty())
        return unchosen;
    if (!rateChosen)
        return "Не выбрана частота преобразования АЦП!";
    const RateEntry& rate = Qmx58RateTable[static_cast<std::size_t>(in.RateIndex)];
    _h.rateCode = rate.code;
    _rate = rate.hz;
    _dataFormat = s.DataFormat;
    _h.dataFormat = static_cast<std::uint8_t>(s.DataFormat);
    _h.icpCurrentSource = static_cast<std::uint8_t>(std::clamp(s.CurrentSource, 0, 1));
    _h.zeroField = 0;
    _q = s.DataFormat == 1 ? 2 : 1;
    _flags = s.PhaseCorrection ? (kConvertFlags | QMX58_PD_ICP_PHASE) : kConvertFlags;
    bool icp = false;
    for (int j = 0; j < _k; ++j)
        icp = icp || s.Channels[static_cast<std::size_t>(_physical[static_cast<std::size_t>(j)])].InputMode == 2;
    _hold = s.PhaseCorrection && icp ? QMX58_ICP_REACH : 0;

    const double limit = crateDataRateLimitKBps(crateType);
    const double R = dataRateKBps(_q, _k, _rate);
    if (R > limit)
        return "При выбранных параметрах сбора данных скорость передачи этой информации модулем " + moduleName +
               " составляет " + formatWithMask(R, "0.0") + " Кбайт/с, что превышает маскимально допустимую для крейта " +
               crateTypeName(crateType) + " величину " + formatWithMask(limit, "0.0") + " Кбайт/с !!! " +
               "\nРекомендуется либо снизить частоту преобразования АЦП, либо уменьшить кол-во активных каналов, либо "
               "сократить разрядность данных!!!";
    if (QMX58_SetADC(&_h) != 0)
        return "QMX58_SetADC() --> BAD!!!";

    _block = std::max<std::int64_t>(kMinBlock, static_cast<std::int64_t>(std::trunc(_rate * kBlockSeconds)));
    // A block, and before it the conversions kept for the filter's reach on both sides of
    // the first one not yet delivered.
    const std::int64_t capacity = _block + 2 * _hold;
    _words.resize(static_cast<long>(capacity * _k * _q));
    _values.resize(static_cast<long>(capacity * _k));
    _status.resize(static_cast<long>(capacity * _k));
    return {};
}

QString SampleStream::start()
{
    _delivered = _base = _have = 0;
    _pendingFault.clear();
    if (QMX58_Start(&_h) != 0)
        return "Не могу выполнить запуск сбора кадра данных!!!";
    return {};
}

QString SampleStream::stop()
{
    if (_h.running != 0 && QMX58_Stop(&_h) != 0)
        return "Не могу выполнить останов сбора данных!!!";
    return {};
}

bool SampleStream::convert(std::int64_t end, SampleBlock& block)
{
    const std::int64_t values = _have * _k;
    std::int32_t count = static_cast<std::int32_t>(values * _q);
    // Each call converts the buffer as a series of its own (it overlaps the previous one);
    // only values whose filter reach lies within the buffer are delivered from it.
    if (QMX58_ProcessData(&_h, _words.data(), _values.data(), &count, _flags, _status.data()) != 0 || count != values)
        return false;
    const std::int64_t from = _delivered - _base;
    const std::int64_t n = (end - _delivered) * _k;
    block.first = _delivered;
    block.conversions = end - _delivered;
    block.channels = _k;
    block.values = _values.data() + from * _k;
    // 24-bit data carry the converter's overload status per sample; 20-bit words none, so
    // there a channel counts as overloaded when its codes reach full scale.
    block.overload = _q == 1 ? clippedPositions20(_words.data() + from * _k, n, _k)
                             : overloadedPositions(_status.data() + from * _k, n, _k);
    _delivered = end;
    // Keep the conversions the next call needs before its first delivered one.
    const std::int64_t keepFrom = std::max(_base, _delivered - _hold);
    const std::int64_t drop = keepFrom - _base;
    if (drop > 0) {
        const std::int64_t perConversion = static_cast<std::int64_t>(_k) * _q;
        std::copy(_words.data() + drop * perConversion, _words.data() + _have * perConversion, _words.data());
        _base = keepFrom;
        _have -= drop;
    }
    return true;
}

SampleStream::Next SampleStream::next(std::int64_t maxConversions, const std::function<bool()>& stopRequested,
                                      SampleBlock& block, QString& message)
{
    if (!_pendingFault.isEmpty()) {
        message = _pendingFault;
        return Next::Fault;
    }
    if (_h.running == 0 || maxConversions <= 0)
        return Next::End;
    const std::int64_t perConversion = static_cast<std::int64_t>(_k) * _q;
    // Enough for the block and the reach beyond its last conversion.
    const std::int64_t conversionsWanted = _delivered + std::min(maxConversions, _block) + _hold - (_base + _have);
    const std::int64_t want = std::max<std::int64_t>(conversionsWanted, 0) * perConversion;
    std::uint32_t* const into = _words.data() + _have * perConversion;
    QDeadlineTimer deadline(kBlockTimeoutMs);
    std::int64_t got = 0;
    bool stopped = false;
    QString fault;
    while (got < want) {
        if (stopRequested()) {
            stopped = true;
            break;
        }
        const qint64 left = deadline.remainingTime();
        const auto slice = static_cast<std::uint32_t>(std::clamp<qint64>(left, 1, kSliceMs));
        const std::int32_t n = QMX58_Recv(&_h, into + got, nullptr, static_cast<std::uint32_t>(want - got), slice);
        if (n < 0) {
            fault = "Не могу получить данные с модуля!";
            break;
        }
        got += n;
        if (got < want && deadline.hasExpired()) {
            fault = got == 0 ? "Не принято ни одного отсчёта с модуля!" : "Приняты не все требуемые данные с АЦП модуля!";
            break;
        }
    }
    _have += got / perConversion;
    // A run that ends here delivers everything it received; one that goes on keeps the
    // last conversions back until their neighbours have come.
    const bool last = stopped || !fault.isEmpty();
    const std::int64_t end =
        std::clamp(_base + _have - (last ? 0 : _hold), _delivered, _delivered + std::min(maxConversions, _block));
    const std::int64_t conversions = end - _delivered;
    if (conversions > 0 && !convert(end, block)) {
        message = "Не могу обработать полученные данные с модуля!";
        return Next::Fault;
    }
    if (!fault.isEmpty()) {
        if (conversions > 0) {
            _pendingFault = fault;
            return Next::Block;
        }
        message = fault;
        return Next::Fault;
    }
    if (stopped) {
        stop();
        return conversions > 0 ? Next::Block : Next::End;
    }
    return Next::Block;
}

}  // namespace qmx
