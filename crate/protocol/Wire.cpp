#include "Wire.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qmx::wire {

bool isKnownType(uint16_t t) {
    switch (static_cast<MsgType>(t)) {
    case MsgType::ListCrates:
    case MsgType::CrateOpen:
    case MsgType::CrateInfo:
    case MsgType::ModuleOpen:
    case MsgType::GetConfig:
    case MsgType::SetAdc:
    case MsgType::Start:
    case MsgType::Stop:
    case MsgType::GetIcpPhase:
    case MsgType::Data:
        return true;
    }
    return false;
}

uint32_t maxPayload(uint16_t type) {
    return (type & ~kReplyBit) == static_cast<uint16_t>(MsgType::Data) ? kMaxDataPayload
                                                                         : kMaxControlPayload;
}

static void put32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}
static uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void encodeHeader(uint8_t out[kHeaderSize], const Header& h) {
    put32(out, kMagic);
    out[4] = static_cast<uint8_t>(h.type);
    out[5] = static_cast<uint8_t>(h.type >> 8);
    const auto s = static_cast<uint16_t>(h.status);
    out[6] = static_cast<uint8_t>(s);
    out[7] = static_cast<uint8_t>(s >> 8);
    put32(out + 8, h.length);
}

HeaderCheck decodeHeader(const uint8_t* p, std::size_t n, Header& h) {
    if (n < kHeaderSize) return HeaderCheck::Short;
    if (get32(p) != kMagic) return HeaderCheck::BadMagic;
    h.type = static_cast<uint16_t>(p[4] | p[5] << 8);
    h.status = static_cast<int16_t>(static_cast<uint16_t>(p[6] | p[7] << 8));
    h.length = get32(p + 8);
    if (!isKnownType(h.type & ~kReplyBit)) return HeaderCheck::UnknownType;
    if (h.length > maxPayload(h.type)) return HeaderCheck::TooLong;
    return HeaderCheck::Ok;
}

void Writer::u16(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v));
    out_.push_back(static_cast<uint8_t>(v >> 8));
}
void Writer::u32(uint32_t v) {
    uint8_t b[4];
    put32(b, v);
    out_.insert(out_.end(), b, b + 4);
}
void Writer::f32(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    u32(bits);
}
void Writer::f64(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    u32(static_cast<uint32_t>(bits));
    u32(static_cast<uint32_t>(bits >> 32));
}
void Writer::serial(const std::string& text) {
    uint8_t field[kSerialField] = {};
    std::memcpy(field, text.data(), std::min(text.size(), kSerialField - 1));
    out_.insert(out_.end(), field, field + kSerialField);
}

bool Reader::take(std::size_t count, const uint8_t*& at) {
    if (!ok_ || count > n_ - pos_) {
        ok_ = false;
        return false;
    }
    at = p_ + pos_;
    pos_ += count;
    return true;
}
uint8_t Reader::u8() {
    const uint8_t* at;
    return take(1, at) ? at[0] : 0;
}
uint16_t Reader::u16() {
    const uint8_t* at;
    return take(2, at) ? static_cast<uint16_t>(at[0] | at[1] << 8) : 0;
}
uint32_t Reader::u32() {
    const uint8_t* at;
    return take(4, at) ? get32(at) : 0;
}
float Reader::f32() {
    const uint32_t bits = u32();
    float v;
    std::memcpy(&v, &bits, 4);
    return v;
}
double Reader::f64() {
    const uint64_t lo = u32();
    const uint64_t hi = u32();
    const uint64_t bits = lo | hi << 32;
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}
std::string Reader::serial() {
    const uint8_t* at;
    if (!take(kSerialField, at)) return {};
    std::size_t len = 0;
    while (len < kSerialField - 1 && at[len] != 0) ++len;
    return std::string(reinterpret_cast<const char*>(at), len);
}

bool AdcSettings::valid() const {
    if (rateCode > 15 || dataFormat > 1 || icpCurrent > 1) return false;
    for (const auto& c : channels)
        if (c.enabled > 1 || c.range > 1 || c.acCoupling > 1 || c.icp > 1) return false;
    return enabledCount() > 0;
}
int AdcSettings::enabledCount() const {
    int k = 0;
    for (const auto& c : channels) k += c.enabled ? 1 : 0;
    return k;
}

void encode(std::vector<uint8_t>& out, const CrateList& m) {
    Writer w(out);
    const std::size_t count = std::min(m.serials.size(), kMaxCratesOnWire);
    w.u8(static_cast<uint8_t>(count));
    for (std::size_t i = 0; i < count; ++i) w.serial(m.serials[i]);
}
bool decode(const uint8_t* p, std::size_t n, CrateList& m) {
    Reader r(p, n);
    const std::size_t count = r.u8();
    if (count > kMaxCratesOnWire || n != 1 + count * kSerialField) return false;
    m.serials.clear();
    for (std::size_t i = 0; i < count; ++i) m.serials.push_back(r.serial());
    return r.done();
}

void encode(std::vector<uint8_t>& out, const CrateInfoReply& m) {
    Writer w(out);
    w.u8(m.crateType);
    for (uint16_t id : m.moduleIds) w.u16(id);
}
bool decode(const uint8_t* p, std::size_t n, CrateInfoReply& m) {
    Reader r(p, n);
    m.crateType = r.u8();
    for (auto& id : m.moduleIds) id = r.u16();
    return r.done();
}

void encode(std::vector<uint8_t>& out, const SerialRequest& m) { Writer(out).serial(m.serial); }
bool decode(const uint8_t* p, std::size_t n, SerialRequest& m) {
    Reader r(p, n);
    m.serial = r.serial();
    return r.done();
}

void encode(std::vector<uint8_t>& out, const ModuleOpenRequest& m) {
    Writer w(out);
    w.serial(m.crateSerial);
    w.u16(m.slot);
}
bool decode(const uint8_t* p, std::size_t n, ModuleOpenRequest& m) {
    Reader r(p, n);
    m.crateSerial = r.serial();
    m.slot = r.u16();
    return r.done();
}

static void encodeSummary(Writer& w, const ModuleSummary& m) {
    w.serial(m.name);
    w.serial(m.serial);
    w.u8(m.firmware);
    w.u8(m.icpCapable ? 1 : 0);
}
static void decodeSummary(Reader& r, ModuleSummary& m) {
    m.name = r.serial();
    m.serial = r.serial();
    m.firmware = r.u8();
    const uint8_t icp = r.u8();
    m.icpCapable = icp != 0;
}

void encode(std::vector<uint8_t>& out, const ModuleSummary& m) {
    Writer w(out);
    encodeSummary(w, m);
}
bool decode(const uint8_t* p, std::size_t n, ModuleSummary& m) {
    Reader r(p, n);
    decodeSummary(r, m);
    return r.done();
}

void encode(std::vector<uint8_t>& out, const ModuleConfig& m) {
    Writer w(out);
    encodeSummary(w, m.summary);
    for (const auto& ch : m.coefs)
        for (const auto& range : ch)
            for (const auto& pair : range) {
                w.f32(pair[0]);
                w.f32(pair[1]);
            }
    for (double v : m.icpPhase) w.f64(v);
}
bool decode(const uint8_t* p, std::size_t n, ModuleConfig& m) {
    Reader r(p, n);
    decodeSummary(r, m.summary);
    for (auto& ch : m.coefs)
        for (auto& range : ch)
            for (auto& pair : range) {
                pair[0] = r.f32();
                pair[1] = r.f32();
            }
    for (double& v : m.icpPhase) v = r.f64();
    if (!r.done()) return false;
    // A coefficient that is not a finite number would turn every reading into garbage.
    for (const auto& ch : m.coefs)
        for (const auto& range : ch)
            for (const auto& pair : range)
                if (!std::isfinite(pair[0]) || !std::isfinite(pair[1])) return false;
    for (double v : m.icpPhase)
        if (!std::isfinite(v)) return false;
    return true;
}

void encode(std::vector<uint8_t>& out, const AdcSettings& m) {
    Writer w(out);
    w.u8(m.rateCode);
    w.u8(m.dataFormat);
    w.u8(m.icpCurrent);
    for (const auto& c : m.channels) {
        w.u8(c.enabled);
        w.u8(c.range);
        w.u8(c.acCoupling);
        w.u8(c.icp);
    }
}
bool decode(const uint8_t* p, std::size_t n, AdcSettings& m) {
    Reader r(p, n);
    m.rateCode = r.u8();
    m.dataFormat = r.u8();
    m.icpCurrent = r.u8();
    for (auto& c : m.channels) {
        c.enabled = r.u8();
        c.range = r.u8();
        c.acCoupling = r.u8();
        c.icp = r.u8();
    }
    return r.done();
}

void encode(std::vector<uint8_t>& out, const IcpPhaseTable& m) {
    Writer w(out);
    for (double v : m) w.f64(v);
}
bool decode(const uint8_t* p, std::size_t n, IcpPhaseTable& m) {
    Reader r(p, n);
    for (double& v : m) v = r.f64();
    if (!r.done()) return false;
    for (double v : m)
        if (!std::isfinite(v)) return false;
    return true;
}

std::vector<uint8_t> message(uint16_t type, int16_t status, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out(kHeaderSize + payload.size());
    Header h;
    h.type = type;
    h.status = status;
    h.length = static_cast<uint32_t>(payload.size());
    encodeHeader(out.data(), h);
    if (!payload.empty()) std::memcpy(out.data() + kHeaderSize, payload.data(), payload.size());
    return out;
}

}  // namespace qmx::wire
