// The wire format and the sample words, without sockets, on valid and hostile input.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>

#include "SampleWords.h"
#include "Wire.h"

namespace {

using namespace qmx;

TEST(WireHeader, RejectsShortForeignUnknownAndOversizedHeaders) {
    uint8_t b[wire::kHeaderSize];
    wire::Header h{static_cast<uint16_t>(wire::MsgType::GetConfig) | wire::kReplyBit, -3, 100};
    wire::encodeHeader(b, h);
    wire::Header out;
    ASSERT_EQ(wire::decodeHeader(b, sizeof b, out), wire::HeaderCheck::Ok);
    EXPECT_EQ(out.type, h.type);
    EXPECT_EQ(out.status, -3);
    EXPECT_EQ(out.length, 100u);
    for (std::size_t n = 0; n < wire::kHeaderSize; ++n) EXPECT_EQ(wire::decodeHeader(b, n, out), wire::HeaderCheck::Short);

    uint8_t bad[wire::kHeaderSize];
    std::memcpy(bad, b, sizeof b);
    bad[0] ^= 1;
    EXPECT_EQ(wire::decodeHeader(bad, sizeof bad, out), wire::HeaderCheck::BadMagic);
    h.type = 999;
    wire::encodeHeader(bad, h);
    EXPECT_EQ(wire::decodeHeader(bad, sizeof bad, out), wire::HeaderCheck::UnknownType);
    h = {static_cast<uint16_t>(wire::MsgType::SetAdc), 0, wire::kMaxControlPayload + 1};
    wire::encodeHeader(bad, h);
    EXPECT_EQ(wire::decodeHeader(bad, sizeof bad, out), wire::HeaderCheck::TooLong);
    h = {static_cast<uint16_t>(wire::MsgType::Data), 0, wire::kMaxDataPayload};
    wire::encodeHeader(bad, h);
    EXPECT_EQ(wire::decodeHeader(bad, sizeof bad, out), wire::HeaderCheck::Ok);
    h.length = 0xFFFFFFFFu;
    wire::encodeHeader(bad, h);
    EXPECT_EQ(wire::decodeHeader(bad, sizeof bad, out), wire::HeaderCheck::TooLong);
}

// Every message round-trips, and every shorter or longer payload is rejected.
template <class T>
void checkExactLength(const T& value) {
    std::vector<uint8_t> bytes;
    wire::encode(bytes, value);
    T back{};
    ASSERT_TRUE(wire::decode(bytes.data(), bytes.size(), back));
    std::vector<uint8_t> again;
    wire::encode(again, back);
    EXPECT_EQ(again, bytes);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
        EXPECT_FALSE(wire::decode(cut.data(), cut.size(), back)) << "truncated to " << n;
    }
    bytes.push_back(0);
    EXPECT_FALSE(wire::decode(bytes.data(), bytes.size(), back)) << "one byte too many";
}

TEST(WireMessages, RoundTripAndRejectWrongLengths) {
    checkExactLength(wire::CrateList{{"SIM-A8-0001", "A", "123456789012345"}});
    checkExactLength(wire::CrateList{});
    wire::CrateInfoReply info;
    info.crateType = 21;
    info.moduleIds[0] = 0x1818;
    info.moduleIds[15] = 0xFFFF;
    checkExactLength(info);
    checkExactLength(wire::SerialRequest{"SIM"});
    checkExactLength(wire::ModuleOpenRequest{"SIM-A1-0002", 16});
    checkExactLength(wire::ModuleSummary{"QMX58", "SIM58-0101", 11, true});
    wire::ModuleConfig cfg;
    cfg.summary = {"QMX58", "S", 3, false};
    cfg.coefs[3][1][15] = {-4.5f, 1.01f};
    cfg.icpPhase = {1000, 0.1, 0.2, 0.3, 0.4};
    checkExactLength(cfg);
    wire::AdcSettings adc;
    adc.rateCode = 15;
    adc.dataFormat = 1;
    adc.channels[2] = {1, 1, 0, 1};
    checkExactLength(adc);
    checkExactLength(wire::IcpPhaseTable{500, -1, 0, 1, 2});
}

TEST(WireMessages, HostileContentIsRejected) {
    // A crate count that does not match the bytes that follow.
    std::vector<uint8_t> list = {3};
    list.resize(1 + 2 * wire::kSerialField);
    wire::CrateList cl;
    EXPECT_FALSE(wire::decode(list.data(), list.size(), cl));
    list[0] = 200;  // more than the wire allows
    list.resize(1 + 200 * wire::kSerialField);
    EXPECT_FALSE(wire::decode(list.data(), list.size(), cl));
    // A serial field without NUL is cut at 15 characters, never read past its 16 bytes.
    std::vector<uint8_t> serial(wire::kSerialField, 'Z');
    wire::SerialRequest sr;
    ASSERT_TRUE(wire::decode(serial.data(), serial.size(), sr));
    EXPECT_EQ(sr.serial, std::string(15, 'Z'));
    // Coefficients that are not finite numbers.
    wire::ModuleConfig cfg;
    cfg.coefs[1][0][4][1] = std::numeric_limits<float>::quiet_NaN();
    std::vector<uint8_t> bytes;
    wire::encode(bytes, cfg);
    EXPECT_FALSE(wire::decode(bytes.data(), bytes.size(), cfg));
    // ADC settings out of range.
    wire::AdcSettings adc;
    EXPECT_FALSE(adc.valid());  // no channel
    adc.channels[0].enabled = 1;
    EXPECT_TRUE(adc.valid());
    adc.rateCode = 16;
    EXPECT_FALSE(adc.valid());
    adc.rateCode = 0;
    adc.channels[3].range = 2;
    EXPECT_FALSE(adc.valid());
}

TEST(WireMessages, RandomBytesNeverCrashADecoder) {
    std::mt19937 rng(7);
    std::vector<uint8_t> buf;
    for (int i = 0; i < 3000; ++i) {
        buf.resize(rng() % 1200);
        for (auto& b : buf) b = static_cast<uint8_t>(rng());
        if (i % 3 == 0 && !buf.empty()) buf[0] = static_cast<uint8_t>(buf.size() / 16);  // plausible count
        wire::CrateList a;
        wire::CrateInfoReply b;
        wire::SerialRequest c;
        wire::ModuleOpenRequest d;
        wire::ModuleSummary e;
        wire::ModuleConfig f;
        wire::AdcSettings g;
        wire::IcpPhaseTable h;
        wire::Header hd;
        (void)wire::decode(buf.data(), buf.size(), a);
        (void)wire::decode(buf.data(), buf.size(), b);
        (void)wire::decode(buf.data(), buf.size(), c);
        (void)wire::decode(buf.data(), buf.size(), d);
        (void)wire::decode(buf.data(), buf.size(), e);
        (void)wire::decode(buf.data(), buf.size(), f);
        (void)wire::decode(buf.data(), buf.size(), g);
        (void)wire::decode(buf.data(), buf.size(), h);
        (void)wire::decodeHeader(buf.data(), buf.size(), hd);
        for (const auto& s : a.serials) ASSERT_LE(s.size(), 15u);
    }
}

TEST(SampleWords, RoundTripAtTheLimitsOfEveryChannel) {
    for (unsigned ch = 0; ch < 4; ++ch) {
        for (int32_t code : {0, 1, -1, words::kFullScale20, -words::kFullScale20, -words::kFullScale20 - 1}) {
            int32_t back = 12345;
            ASSERT_TRUE(words::decode20(words::encode20(code, ch), ch, back));
            EXPECT_EQ(back, code);
            EXPECT_FALSE(words::decode20(words::encode20(code, ch), (ch + 1) % 4, back));
        }
        for (int32_t code : {0, 1, -1, words::kFullScale24, -words::kFullScale24, -words::kFullScale24 - 1}) {
            for (uint8_t st : {uint8_t{0}, words::kStatusOverloadPos, words::kStatusOverloadNeg}) {
                int32_t back = 0;
                uint8_t stBack = 0xFF;
                ASSERT_TRUE(words::decode24(words::encode24a(code, ch), words::encode24b(code, ch, st), ch, back, stBack));
                EXPECT_EQ(back, code);
                EXPECT_EQ(stBack, st);
            }
        }
    }
}

TEST(SampleWords, EverySingleBitFlipIsDetected) {
    std::mt19937 rng(3);
    for (int trial = 0; trial < 200; ++trial) {
        const unsigned ch = rng() % 4;
        const int32_t code20 = static_cast<int32_t>(rng() % (2 * words::kFullScale20)) - words::kFullScale20;
        const uint32_t w = words::encode20(code20, ch);
        int32_t out;
        for (int bit = 0; bit < 32; ++bit) EXPECT_FALSE(words::decode20(w ^ (1u << bit), ch, out)) << bit;
        const int32_t code24 = static_cast<int32_t>(rng() % (2 * words::kFullScale24)) - words::kFullScale24;
        const uint8_t st = static_cast<uint8_t>(rng() % 4);
        const uint32_t a = words::encode24a(code24, ch), b = words::encode24b(code24, ch, st);
        uint8_t s;
        for (int bit = 0; bit < 32; ++bit) {
            EXPECT_FALSE(words::decode24(a ^ (1u << bit), b, ch, out, s)) << "A " << bit;
            EXPECT_FALSE(words::decode24(a, b ^ (1u << bit), ch, out, s)) << "B " << bit;
        }
        EXPECT_FALSE(words::decode24(b, a, ch, out, s));  // a torn pair: B before A
    }
}

TEST(ModuleModel, RateTableAndCodes) {
    EXPECT_DOUBLE_EQ(model::rateHz(0), 117187.5);
    EXPECT_DOUBLE_EQ(model::rateHz(15), 610.3515625);
    EXPECT_EQ(model::rateListIndex(0), 15u);
    EXPECT_DOUBLE_EQ(model::rangeVolts(false, 0), 2.0);
    EXPECT_DOUBLE_EQ(model::rangeVolts(false, 1), 10.0);
    EXPECT_DOUBLE_EQ(model::rangeVolts(true, 0), 1.0);
    EXPECT_DOUBLE_EQ(model::rangeVolts(true, 1), 5.0);
}

}  // namespace
