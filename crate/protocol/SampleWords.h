#pragma once
// Sample words of the data stream and the module's conversion model, shared by the crate
// server (which produces words) and the module library (which turns them into volts).
//
// Word layout (bit 31 first):
//   [31..28] tag 0x5  [27..26] channel  [25..24] kind
//   kind 0, 20-bit sample:   [23..20] check nibble, [19..0] two's-complement code
//   kind 1, 24-bit, word A:  [23..0] two's-complement code
//   kind 2, 24-bit, word B:  [23..16] check byte, [15..8] zero, [7..0] status
// The check values fold the code, status and channel, so a flipped bit, a word from the
// wrong channel or a stream that starts in the middle of a sample is detected.
#include <cstdint>

namespace qmx::words {

constexpr uint32_t kTag = 0x5;
constexpr uint32_t kKind20 = 0, kKind24A = 1, kKind24B = 2;
constexpr int32_t kFullScale20 = (1 << 19) - 1;
constexpr int32_t kFullScale24 = (1 << 23) - 1;
constexpr uint8_t kStatusOverloadPos = 0x01, kStatusOverloadNeg = 0x02;

constexpr uint32_t topByte(unsigned ch, uint32_t kind) {
    return (kTag << 4) | ((ch & 3u) << 2) | kind;
}
constexpr uint32_t check20(uint32_t code20, unsigned ch) {
    uint32_t x = code20 ^ (code20 >> 4) ^ (code20 >> 8) ^ (code20 >> 12) ^ (code20 >> 16);
    return (x ^ 0xAu ^ ch) & 0xFu;
}
constexpr uint32_t check24(uint32_t code24, uint8_t status, unsigned ch) {
    return (code24 ^ (code24 >> 8) ^ (code24 >> 16) ^ status ^ 0xA5u ^ (ch * 0x11u)) & 0xFFu;
}

inline uint32_t encode20(int32_t code, unsigned ch) {
    const uint32_t c = static_cast<uint32_t>(code) & 0xFFFFFu;
    return topByte(ch, kKind20) << 24 | check20(c, ch) << 20 | c;
}
inline uint32_t encode24a(int32_t code, unsigned ch) {
    return topByte(ch, kKind24A) << 24 | (static_cast<uint32_t>(code) & 0xFFFFFFu);
}
inline uint32_t encode24b(int32_t code, unsigned ch, uint8_t status) {
    const uint32_t c = static_cast<uint32_t>(code) & 0xFFFFFFu;
    return topByte(ch, kKind24B) << 24 | check24(c, status, ch) << 16 | status;
}

// Each decoder checks tag, channel, kind and check value; false means a bad word.
inline bool decode20(uint32_t w, unsigned ch, int32_t& code) {
    if ((w >> 24) != topByte(ch, kKind20)) return false;
    const uint32_t c = w & 0xFFFFFu;
    if (((w >> 20) & 0xFu) != check20(c, ch)) return false;
    code = static_cast<int32_t>(c << 12) >> 12;
    return true;
}
inline bool decode24(uint32_t a, uint32_t b, unsigned ch, int32_t& code, uint8_t& status) {
    if ((a >> 24) != topByte(ch, kKind24A) || (b >> 24) != topByte(ch, kKind24B)) return false;
    if ((b & 0xFF00u) != 0) return false;
    const uint32_t c = a & 0xFFFFFFu;
    status = static_cast<uint8_t>(b);
    if (((b >> 16) & 0xFFu) != check24(c, status, ch)) return false;
    code = static_cast<int32_t>(c << 8) >> 8;
    return true;
}

}  // namespace qmx::words

namespace qmx::model {

// Conversion rate in Hz by rate code (code 0 is the fastest); the rate-list index is
// 15 minus the code.
constexpr double kRateHzByListIndex[16] = {
    610.3515625, 915.52734375, 1220.703125, 1831.0546875, 2441.40625, 3662.109375,
    4882.8125,   7324.21875,   9765.625,    14648.4375,   19531.25,   29296.875,
    39062.5,     58593.75,     78125.0,     117187.5};
constexpr double rateHz(unsigned rateCode) { return kRateHzByListIndex[15 - (rateCode & 15u)]; }
constexpr unsigned rateListIndex(unsigned rateCode) { return 15 - (rateCode & 15u); }

// Full-scale input in volts: differential +-2 / +-10 V, ICP +-1 / +-5 V.
constexpr double rangeVolts(bool icp, unsigned rangeIndex) {
    return icp ? (rangeIndex ? 5.0 : 1.0) : (rangeIndex ? 10.0 : 2.0);
}
constexpr int32_t fullScaleCode(unsigned dataFormat) {
    return dataFormat ? qmx::words::kFullScale24 : qmx::words::kFullScale20;
}

// Factory calibration: the module's front end turns true volts v into nominal volts
// u = v / scale + offset / 1000, which the ADC quantises as u / range * fullScale; the
// calibrated reading inverts that: v = (u - offset / 1000) * scale.
constexpr double nominalFromTrue(double volts, float offsetMv, float scale) {
    return volts / scale + offsetMv * 1e-3;
}

}  // namespace qmx::model
