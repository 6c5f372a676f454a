// The wire protocol's decoders, both sides: the input is a byte stream of messages (header,
// then payload) as either end of a connection receives it. Every payload, and the whole input,
// goes through every decoder: the server's (crate serial, module open, ADC settings) and the
// client's (crate list, crate info, module summary, module configuration, ICP phase table).
// A decoder may refuse anything; what it accepts must be exactly the bytes its encoder writes
// for the decoded value (so lengths and counts are checked), with serials of at most 15
// characters and no NUL, and decoding that again must give the same value.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "Wire.h"

namespace {

using namespace qmx::wire;

void checkSerial(const std::string& s)
{
    if (s.size() >= kSerialField || s.find('\0') != std::string::npos)
        std::abort();
}

void check(const CrateList& m)
{
    if (m.serials.size() > kMaxCratesOnWire)
        std::abort();
    for (const auto& s : m.serials)
        checkSerial(s);
}
void check(const CrateInfoReply&) {}
void check(const SerialRequest& m) { checkSerial(m.serial); }
void check(const ModuleOpenRequest& m) { checkSerial(m.crateSerial); }
void check(const ModuleSummary& m)
{
    checkSerial(m.name);
    checkSerial(m.serial);
}
void check(const ModuleConfig& m)
{
    check(m.summary);
    for (const auto& ch : m.coefs)
        for (const auto& range : ch)
            for (const auto& pair : range)
                if (!std::isfinite(pair[0]) || !std::isfinite(pair[1]))
                    std::abort();
    for (double v : m.icpPhase)
        if (!std::isfinite(v))
            std::abort();
}
void check(const AdcSettings& m) { (void)m.valid(); }
void check(const IcpPhaseTable& m)
{
    for (double v : m)
        if (!std::isfinite(v))
            std::abort();
}

template <class T>
void roundTrip(const uint8_t* p, std::size_t n)
{
    T m{};
    if (!decode(p, n, m))
        return;
    check(m);
    std::vector<uint8_t> again;
    encode(again, m);
    if (again.size() != n)
        std::abort();  // accepted a length its encoder never writes
    T back{};
    if (!decode(again.data(), again.size(), back))
        std::abort();
    std::vector<uint8_t> third;
    encode(third, back);
    if (third != again)
        std::abort();
}

void allDecoders(const uint8_t* p, std::size_t n)
{
    // Server side: requests.
    roundTrip<SerialRequest>(p, n);
    roundTrip<ModuleOpenRequest>(p, n);
    roundTrip<AdcSettings>(p, n);
    // Client side: replies.
    roundTrip<CrateList>(p, n);
    roundTrip<CrateInfoReply>(p, n);
    roundTrip<ModuleSummary>(p, n);
    roundTrip<ModuleConfig>(p, n);
    roundTrip<IcpPhaseTable>(p, n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    allDecoders(data, size);
    std::size_t at = 0;
    while (at < size) {
        Header h;
        const HeaderCheck c = decodeHeader(data + at, size - at, h);
        if ((c == HeaderCheck::Short) != (size - at < kHeaderSize))
            std::abort();
        if (c != HeaderCheck::Ok)
            break;
        // An accepted header is a known type within its size limit and encodes to its bytes.
        if (!isKnownType(h.type & ~kReplyBit) || h.length > maxPayload(h.type))
            std::abort();
        uint8_t again[kHeaderSize];
        encodeHeader(again, h);
        if (std::memcmp(again, data + at, kHeaderSize) != 0)
            std::abort();
        at += kHeaderSize;
        if (h.length > size - at)
            break;  // the rest has not arrived
        allDecoders(data + at, h.length);
        const std::vector<uint8_t> payload(data + at, data + at + h.length);
        const std::vector<uint8_t> whole = message(h.type, h.status, payload);
        if (whole.size() != kHeaderSize + h.length || std::memcmp(whole.data(), data + at - kHeaderSize, whole.size()) != 0)
            std::abort();
        at += h.length;
    }
    return 0;
}
