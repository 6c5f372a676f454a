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
    _words.resize(static_cast<long>(_block * _k * _q));
    _values.resize(static_cast<long>(_block * _k));
    _status.resize(static_cast<long>(_block * _k));
    return {};
}

QString SampleStream::start()
{
    _delivered = 0;
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

bool SampleStream::convert(std::int64_t conversions, SampleBlock& block)
{
    const std::int64_t values = conversions * _k;
    std::int32_t count = static_cast<std::int32_t>(values * _q);
    if (QMX58_ProcessData(&_h, _words.data(), _values.data(), &count, _flags, _status.data()) != 0 || count != values)
        return false;
    block.first = _delivered;
    block.conversions = conversions;
    block.channels = _k;
    block.values = _values.data();
    // 24-bit data carry the converter's overload status per sample; 20-bit words none, so
    // there a channel counts as overloaded when its codes reach full scale.
    block.overload = _q == 1 ? clippedPositions20(_words.data(), values, _k)
                             : overloadedPositions(_status.data(), values, _k);
    _delivered += conversions;
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
    const std::int64_t want = std::min(maxConversions, _block) * perConversion;
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
        const std::int32_t n = QMX58_Recv(&_h, _words.data() + got, nullptr, static_cast<std::uint32_t>(want - got), slice);
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
    const std::int64_t conversions = got / perConversion;
    if (conversions > 0 && !convert(conversions, block)) {
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
