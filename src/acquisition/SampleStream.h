#pragma once
// SampleStream: the module's calibrated samples as one gapless stream. It configures the
// module as a measurement run does (the same refusals in the same words), starts it once and
// receives block after block until told to stop; every block is converted to volts with the
// factory coefficients, and no sample is lost or repeated between blocks. Each block says
// which channels overloaded in it: the 24-bit status, or the full-scale codes of 20-bit data.
//
// Removing the ICP inputs' lag filters each value with its neighbours up to QMX58_ICP_REACH
// conversions away on either side; the library continues a series past the end of what it
// was given by prediction, which follows a tone but not noise or a transient. So with ICP
// channels corrected, the stream holds back the last QMX58_ICP_REACH conversions it received
// and converts them again, together with their neighbours, once the next ones have come:
// every value delivered rests on real samples only, except the first ones of the run (nothing
// precedes them) and those of a last block cut short by a stop or a fault.
// No Qt event loop: the caller drives it from any one thread.

#include "MainThread.h"
#include "DynArray.h"
#include "qmx58api.h"

#include <QString>

#include <array>
#include <cstdint>
#include <functional>

namespace qmx {

struct SampleBlock {
    std::int64_t first = 0;        // index of its first conversion since the start
    std::int64_t conversions = 0;  // samples per channel
    int channels = 0;              // K, in channel order
    const double* values = nullptr;  // conversions * channels volts, interleaved
    std::array<bool, 4> overload{};  // per active position
};

class SampleStream {
public:
    // The receive calls wait in slices of this length, so a stop request is seen in time.
    static constexpr int kSliceMs = 50;
    // A block that does not come whole within this time is a receive fault.
    static constexpr int kBlockTimeoutMs = TMainThread::kRecvTimeoutMs;

    explicit SampleStream(Qmx58Handle& handle);
    ~SampleStream();
    SampleStream(const SampleStream&) = delete;
    SampleStream& operator=(const SampleStream&) = delete;

    // Configures the module with the run's settings (data width, ICP current, phase
    // correction and the channels' inputs and ranges) and the configuration's channels and
    // rate, refusing what a measurement run refuses (no active channel, a selector without a
    // choice, the crate's data-rate limit, QMX58_SetADC). Empty on success, else the message.
    QString configure(const RunSettings& settings, const ConfigurationInputs& inputs, std::uint8_t crateType,
                      const QString& moduleName);

    double rateHz() const { return _rate; }
    int channelCount() const { return _k; }
    int wordsPerSample() const { return _q; }
    // Physical channel (0..3) of active position j.
    int physicalChannel(int j) const { return _physical[static_cast<std::size_t>(j)]; }
    std::int64_t blockConversions() const { return _block; }

    // Starts the module. Empty on success, else the message.
    QString start();

    enum class Next { Block, End, Fault };
    // Receives and converts the next block of at most `maxConversions` samples per channel.
    // `stopRequested` is asked between receive slices: when it holds, the conversions already
    // received come as a last (shorter) block, then End. Fault with `message`: the stream
    // failed; the conversions received before the failure came as a block first.
    Next next(std::int64_t maxConversions, const std::function<bool()>& stopRequested, SampleBlock& block,
              QString& message);

    // Stops the module (idempotent). Empty on success, else the message.
    QString stop();

    std::int64_t conversionsDelivered() const { return _delivered; }

private:
    // Converts the buffer's conversions and delivers those from `_delivered` to `end`
    // (absolute) as the block, then keeps what the next conversion needs at the front.
    bool convert(std::int64_t end, SampleBlock& block);

    Qmx58Handle& _h;
    double _rate = 0;
    int _k = 0;
    int _q = 1;
    int _dataFormat = 0;
    std::uint32_t _flags = 0;
    std::array<int, 4> _physical{};
    std::int64_t _block = 0;
    std::int64_t _hold = 0;       // conversions held back for the ICP filter's reach (or 0)
    std::int64_t _base = 0;       // absolute index of the buffer's first conversion
    std::int64_t _have = 0;       // conversions in the buffer
    std::int64_t _delivered = 0;  // absolute: conversions delivered so far
    QString _pendingFault;
    DynArray<std::uint32_t> _words;
    DynArray<double> _values;
    DynArray<std::int32_t> _status;
};

}  // namespace qmx
