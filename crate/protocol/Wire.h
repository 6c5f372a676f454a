#pragma once
// The wire format between the crate libraries and the crate server.
//
// Every message is a 12-byte header followed by its payload, all little-endian:
//   u32 magic "QMXP", u16 type, i16 status (0 in requests, the result in replies),
//   u32 payload length.
// A reply carries the request's type with kReplyBit set. After a successful Start the
// server sends Data messages (payload: 32-bit sample words) until it answers Stop.
// Every decoder checks lengths against the bytes it is given and rejects what does not
// fit exactly, so hostile or truncated input never reads out of bounds.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qmx::wire {

constexpr uint32_t kMagic = 0x50584D51u;  // "QMXP" in little-endian byte order
constexpr std::size_t kHeaderSize = 12;
constexpr uint32_t kMaxControlPayload = 16 * 1024;
constexpr uint32_t kMaxDataPayload = 1024 * 1024;
constexpr std::size_t kSerialField = 16;
constexpr std::size_t kMaxCratesOnWire = 64;
constexpr uint16_t kReplyBit = 0x8000;

enum class MsgType : uint16_t {
    ListCrates = 1,
    CrateOpen = 2,
    CrateInfo = 3,
    ModuleOpen = 16,
    GetConfig = 17,
    SetAdc = 18,
    Start = 19,
    Stop = 20,
    GetIcpPhase = 21,
    Data = 32,
};

enum Status : int16_t {
    kOk = 0,
    kRefused = -1,
    kNotFound = -2,
    kBadRequest = -3,
    kBadState = -4,
    kUnsupported = -5,
};

struct Header {
    uint16_t type = 0;
    int16_t status = 0;
    uint32_t length = 0;
};

bool isKnownType(uint16_t typeWithoutReplyBit);
void encodeHeader(uint8_t out[kHeaderSize], const Header& header);
enum class HeaderCheck { Ok, Short, BadMagic, UnknownType, TooLong };
// Decodes and validates a header from the first n bytes at p.
HeaderCheck decodeHeader(const uint8_t* p, std::size_t n, Header& header);
// Largest payload a message of this type may carry.
uint32_t maxPayload(uint16_t type);

// Appends little-endian values to a byte vector.
class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v);
    void u32(uint32_t v);
    void f32(float v);
    void f64(double v);
    // A text in a fixed field of kSerialField bytes, NUL-padded, at most 15 characters.
    void serial(const std::string& text);

private:
    std::vector<uint8_t>& out_;
};

// Reads little-endian values; any read past the end sets the reader failed and yields 0.
class Reader {
public:
    Reader(const uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    float f32();
    double f64();
    std::string serial();
    bool ok() const { return ok_; }
    // True when every byte was consumed and no read failed.
    bool done() const { return ok_ && pos_ == n_; }

private:
    bool take(std::size_t count, const uint8_t*& at);
    const uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

struct CrateList {
    std::vector<std::string> serials;
};
struct CrateInfoReply {
    uint8_t crateType = 0;
    std::array<uint16_t, 16> moduleIds{};
};
struct SerialRequest {
    std::string serial;
};
struct ModuleOpenRequest {
    std::string crateSerial;
    uint16_t slot = 0;
};
struct ModuleSummary {
    std::string name;
    std::string serial;
    uint8_t firmware = 0;
    bool icpCapable = false;
};
// Factory coefficients: [channel][range][rate-list index] of (offset mV, scale).
using CoefTable = std::array<std::array<std::array<std::array<float, 2>, 16>, 2>, 4>;
using IcpPhaseTable = std::array<double, 5>;
struct ModuleConfig {
    ModuleSummary summary;
    CoefTable coefs{};
    IcpPhaseTable icpPhase{};
};
struct AdcChannel {
    uint8_t enabled = 0;
    uint8_t range = 0;
    uint8_t acCoupling = 0;
    uint8_t icp = 0;
};
struct AdcSettings {
    uint8_t rateCode = 0;
    uint8_t dataFormat = 0;
    uint8_t icpCurrent = 0;
    std::array<AdcChannel, 4> channels{};
    // Every field in range and at least one channel enabled.
    bool valid() const;
    int enabledCount() const;
};

void encode(std::vector<uint8_t>& out, const CrateList& m);
void encode(std::vector<uint8_t>& out, const CrateInfoReply& m);
void encode(std::vector<uint8_t>& out, const SerialRequest& m);
void encode(std::vector<uint8_t>& out, const ModuleOpenRequest& m);
void encode(std::vector<uint8_t>& out, const ModuleSummary& m);
void encode(std::vector<uint8_t>& out, const ModuleConfig& m);
void encode(std::vector<uint8_t>& out, const AdcSettings& m);
void encode(std::vector<uint8_t>& out, const IcpPhaseTable& m);

// Each decoder accepts exactly the encoded size and rejects anything else.
bool decode(const uint8_t* p, std::size_t n, CrateList& m);
bool decode(const uint8_t* p, std::size_t n, CrateInfoReply& m);
bool decode(const uint8_t* p, std::size_t n, SerialRequest& m);
bool decode(const uint8_t* p, std::size_t n, ModuleOpenRequest& m);
bool decode(const uint8_t* p, std::size_t n, ModuleSummary& m);
bool decode(const uint8_t* p, std::size_t n, ModuleConfig& m);
bool decode(const uint8_t* p, std::size_t n, AdcSettings& m);
bool decode(const uint8_t* p, std::size_t n, IcpPhaseTable& m);

// A whole message (header and payload) as one byte vector.
std::vector<uint8_t> message(uint16_t type, int16_t status, const std::vector<uint8_t>& payload);

}  // namespace qmx::wire
