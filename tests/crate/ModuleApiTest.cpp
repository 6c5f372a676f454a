// The module library against the simulated crate server through the real socket: readings
// in volts, overload flags, input modes, faults and the handle's life cycle.
#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "SampleWords.h"
#include "TestServer.h"
#include "qmx58api.h"
#include "qmxapi.h"

namespace {

using qmxtest::ServerTest;
constexpr double kPi = 3.14159265358979323846;
constexpr uint32_t kLoopback = 0x7F000001;

// A module with signals whose samples the test computes on its own; no noise.
const char* kRig = R"(
crate TEST-1 type 10
  slot 3 qmx58 T58-0301 firmware 9 icp yes
    icp-phase 1000 0.5 0.8 0.2 0.4
    channel 0 sine 1.5 1000 30
    channel 1 dc 0.7
    channel 2 dc -1.0 sine 0.5 300 0
    channel 3 dc 2.5 sine 3.0 50 0
  slot 4 qmx58 T58-0401 icp no
    channel 0 sine 1.0 100 0
)";

struct Expect {
    double dc;
    std::vector<qmx::sim::Sine> sines;
    double at(double t) const {
        double v = dc;
        for (const auto& s : sines) v += s.amplitude * std::sin(2 * kPi * s.frequency * t + s.phaseDeg * kPi / 180);
        return v;
    }
};

struct ChannelSetup {
    bool enabled;
    uint8_t range;
    bool ac;
    bool icp;
};

class ModuleTest : public ServerTest {
protected:
    void SetUp() override { startServer(kRig); }
    void TearDown() override {
        if (QMX58_IsOpened(&h_) == 0) QMX58_Close(&h_);
        ServerTest::TearDown();
    }

    void openAndConfigure(uint8_t format, std::array<ChannelSetup, 4> ch, uint8_t rateCode = 0, uint16_t slot = 3) {
        ASSERT_EQ(QMX58_Init(&h_), QMX58_OK);
        ASSERT_EQ(QMX58_Open(&h_, kLoopback, 11111, "TEST-1", slot), QMX58_OK);
        ASSERT_EQ(QMX58_GetConfig(&h_), QMX58_OK);
        h_.rateCode = rateCode;
        h_.dataFormat = format;
        h_.icpCurrentSource = 0;
        h_.zeroField = 0;
        for (int i = 0; i < 4; ++i) {
            h_.channels[i].enabled = ch[i].enabled;
            h_.channels[i].inputRangeIndex = ch[i].range;
            h_.channels[i].acCoupling = ch[i].ac;
            h_.channels[i].icpSensorMode = ch[i].icp;
            h_.channels[i].zeroField = 0;
        }
        ASSERT_EQ(QMX58_SetADC(&h_), QMX58_OK);
    }

    // Start, receive `words` words in chunks, stop.
    std::vector<uint32_t> acquire(std::size_t words, uint32_t timeoutMs = 5000) {
        std::vector<uint32_t> buf(words);
        EXPECT_EQ(QMX58_Start(&h_), QMX58_OK);
        EXPECT_NE(h_.running, 0);
        std::size_t got = 0;
        while (got < words) {
            const uint32_t chunk = static_cast<uint32_t>(std::min<std::size_t>(words - got, 3001));
            const int32_t n = QMX58_Recv(&h_, buf.data() + got, nullptr, chunk, timeoutMs);
            EXPECT_EQ(n, static_cast<int32_t>(chunk));
            if (n != static_cast<int32_t>(chunk)) break;
            got += chunk;
        }
        EXPECT_EQ(QMX58_Stop(&h_), QMX58_OK);
        EXPECT_EQ(h_.running, 0);
        return buf;
    }

    double step(unsigned ch) const {  // one quantisation step of calibrated volts
        const auto& c = h_.channels[ch];
        const double range = qmx::model::rangeVolts(c.icpSensorMode, c.inputRangeIndex);
        const auto& coef = h_.moduleInfo.factoryCoefs[ch][c.inputRangeIndex][15 - h_.rateCode];
        return range / qmx::model::fullScaleCode(h_.dataFormat) * coef.scale;
    }

    Qmx58Handle h_{};
};

class ModuleFormatTest : public ModuleTest, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(ModuleFormatTest, CalibratedVoltsMatchTheSimulatedSignalsWithinOneStep) {
    const uint8_t format = GetParam();
    // ch0 1.5 V sine on +-2 V, ch1 0.7 V DC on +-10 V, ch2 off, ch3 DC + sine on +-10 V.
    openAndConfigure(format, {{{true, 0, false, false}, {true, 1, false, false}, {false, 0, false, false},
                               {true, 1, false, false}}});
    const std::size_t conversions = 5000, k = 3, q = format ? 2 : 1;
    const auto words = acquire(conversions * k * q);
    std::vector<double> v(conversions * k);
    std::vector<int32_t> st(conversions * k, -1);
    int32_t count = static_cast<int32_t>(words.size());
    ASSERT_EQ(QMX58_ProcessData(&h_, words.data(), v.data(), &count, 0x0B, st.data()), QMX58_OK);
    ASSERT_EQ(count, static_cast<int32_t>(conversions * k));  // 20-bit: values = words; 24-bit: words = 2 values

    const double fs = 117187.5;
    const Expect e[3] = {{0, {{1.5, 1000, 30}}}, {0.7, {}}, {2.5, {{3.0, 50, 0}}}};
    const unsigned chOf[3] = {0, 1, 3};
    double worst[3] = {0, 0, 0};
    for (std::size_t n = 0; n < conversions; ++n)
        for (std::size_t j = 0; j < k; ++j) {
            const double err = std::abs(v[n * k + j] - e[j].at(n / fs)) / step(chOf[j]);
            worst[j] = std::max(worst[j], err);
            ASSERT_EQ(st[n * k + j], 0);
        }
    for (int j = 0; j < 3; ++j) EXPECT_LE(worst[j], 0.5001) << "channel " << chOf[j];
    // The factory calibration matters: nominal volts (no flags 0x03) are off by more than a step.
    count = static_cast<int32_t>(words.size());
    ASSERT_EQ(QMX58_ProcessData(&h_, words.data(), v.data(), &count, 0x08, nullptr), QMX58_OK);
    EXPECT_GT(std::abs(v[1] - 0.7) / step(1), 2.0);
}

TEST_P(ModuleFormatTest, OverloadIsFlaggedOnlyIn24BitDataAndOnlyOnTheClippedChannel) {
    const uint8_t format = GetParam();
    // ch3 (2.5 V DC + 3 V sine) on +-2 V clips; ch0 (1.5 V sine) on +-2 V does not.
    openAndConfigure(format, {{{true, 0, false, false}, {false, 0, false, false}, {false, 0, false, false},
                               {true, 0, false, false}}});
    const std::size_t conversions = 4000, q = format ? 2 : 1;
    const auto words = acquire(conversions * 2 * q);
    std::vector<double> v(conversions * 2);
    std::vector<int32_t> st(conversions * 2, -1);
    int32_t count = static_cast<int32_t>(words.size());
    ASSERT_EQ(QMX58_ProcessData(&h_, words.data(), v.data(), &count, 0x0B, st.data()), QMX58_OK);
    std::size_t flagged[2] = {0, 0};
    for (std::size_t i = 0; i < v.size(); ++i) {
        flagged[i % 2] += st[i] != 0;
        if (format == 1 && i % 2 == 1) {  // a flag exactly where the true signal leaves the range
            const double truth = 2.5 + 3.0 * std::sin(2 * kPi * 50 * (i / 2) / 117187.5);
            if (std::abs(truth) > 2.05) {
                EXPECT_NE(st[i], 0) << i;
            }
            if (std::abs(truth) < 1.95) {
                EXPECT_EQ(st[i], 0) << i;
            }
        }
    }
    EXPECT_EQ(flagged[0], 0u);
    if (format == 1) {
        EXPECT_GT(flagged[1], 0u);
    } else {
        EXPECT_EQ(flagged[1], 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, ModuleFormatTest, ::testing::Values(uint8_t{0}, uint8_t{1}),
                         [](const auto& info) { return info.param ? std::string("Bits24") : std::string("Bits20"); });

TEST_F(ModuleTest, AcCouplingRemovesTheDcLevel) {
    // ch2: -1 V DC + 0.5 V sine, AC coupled: only the sine remains.
    openAndConfigure(1, {{{false, 0, false, false}, {false, 0, false, false}, {true, 0, true, false},
                          {false, 0, false, false}}});
    const auto words = acquire(2 * 3000);
    std::vector<double> v(3000);
    int32_t count = static_cast<int32_t>(words.size());
    ASSERT_EQ(QMX58_ProcessData(&h_, words.data(), v.data(), &count, 0x0B, nullptr), QMX58_OK);
    for (std::size_t n = 0; n < v.size(); ++n)
        ASSERT_NEAR(v[n], 0.5 * std::sin(2 * kPi * 300 * n / 117187.5), 0.51 * step(2)) << n;
}

TEST_F(ModuleTest, IcpPhaseShiftIsRemovedByFlag0x10) {
    // ch0: 1.5 V sine on the +-5 V ICP range, which lags by 0.5 degrees at 1 kHz.
    openAndConfigure(1, {{{true, 1, false, true}, {false, 0, false, false}, {false, 0, false, false},
                          {false, 0, false, false}}}, /*rateCode=*/2);
    double table[5] = {};
    ASSERT_EQ(QMX58_GetICPPhaseCoefs(&h_, table), QMX58_OK);
    EXPECT_DOUBLE_EQ(table[0], 1000.0);
    EXPECT_DOUBLE_EQ(table[1], 0.5);
    EXPECT_DOUBLE_EQ(table[4], 0.4);
    const std::size_t n = 4000;
    const auto words = acquire(2 * n);
    const double fs = 58593.75;
    std::vector<double> raw(n), fixed(n);
    int32_t count = static_cast<int32_t>(words.size());
    ASSERT_EQ(QMX58_ProcessData(&h_, words.data(), raw.data(), &count, 0x0B, nullptr), QMX58_OK);
    count = static_cast<int32_t>(words.size());
    ASSERT_EQ(QMX58_ProcessData(&h_, words.data(), fixed.data(), &count, 0x1B, nullptr), QMX58_OK);
    double rawErr = 0, fixedErr = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double truth = 1.5 * std::sin(2 * kPi * 1000 * i / fs + 30 * kPi / 180);
        rawErr = std::max(rawErr, std::abs(raw[i] - truth));
        fixedErr = std::max(fixedErr, std::abs(fixed[i] - truth));
    }
    // 0.5 degrees of 1.5 V is 13 mV; after the correction what is left is quantisation and
    // interpolation error, far below a millivolt.
    EXPECT_GT(rawErr, 0.010);
    EXPECT_LT(fixedErr, 0.0002);
}

TEST_F(ModuleTest, TimeMarksCountConversionsFromStart) {
    openAndConfigure(1, {{{true, 0, false, false}, {false, 0, false, false}, {true, 0, false, false},
                          {false, 0, false, false}}});
    ASSERT_EQ(QMX58_Start(&h_), QMX58_OK);
    std::vector<uint32_t> w(10), marks(10);
    ASSERT_EQ(QMX58_Recv(&h_, w.data(), marks.data(), 6, 5000), 6);
    ASSERT_EQ(QMX58_Recv(&h_, w.data() + 6, marks.data() + 6, 4, 5000), 4);
    for (uint32_t i = 0; i < 10; ++i) EXPECT_EQ(marks[i], i / 4) << i;  // 2 channels x 2 words
    EXPECT_EQ(QMX58_Stop(&h_), QMX58_OK);
}

TEST_F(ModuleTest, TornOrForeignWordsMakeProcessDataFail) {
    openAndConfigure(1, {{{true, 0, false, false}, {true, 1, false, false}, {false, 0, false, false},
                          {false, 0, false, false}}});
    auto words = acquire(2 * 2 * 100);
    std::vector<double> v(200);
    std::vector<int32_t> st(200);
    // Starting one word late, an odd word count, a flipped bit, a 20-bit word in 24-bit data.
    int32_t count = static_cast<int32_t>(words.size() - 2);
    EXPECT_EQ(QMX58_ProcessData(&h_, words.data() + 1, v.data(), &count, 0x0B, st.data()), QMX58_ERR_DATA);
    EXPECT_EQ(count, 0);
    count = 7;
    EXPECT_EQ(QMX58_ProcessData(&h_, words.data(), v.data(), &count, 0x0B, st.data()), QMX58_ERR_DATA);
    auto bad = words;
    bad[150] ^= 0x100;
    count = static_cast<int32_t>(bad.size());
    EXPECT_EQ(QMX58_ProcessData(&h_, bad.data(), v.data(), &count, 0x0B, st.data()), QMX58_ERR_DATA);
    bad = words;
    bad[40] = qmx::words::encode20(0, 0);
    count = static_cast<int32_t>(bad.size());
    EXPECT_EQ(QMX58_ProcessData(&h_, bad.data(), v.data(), &count, 0x0B, st.data()), QMX58_ERR_DATA);
    // Skipping a whole channel's sample breaks the channel order.
    count = static_cast<int32_t>(words.size() - 2);
    EXPECT_EQ(QMX58_ProcessData(&h_, words.data() + 2, v.data(), &count, 0x0B, st.data()), QMX58_ERR_DATA);
    // Unknown flags and bad arguments are refused, not guessed at.
    count = static_cast<int32_t>(words.size());
    EXPECT_EQ(QMX58_ProcessData(&h_, words.data(), v.data(), &count, 0x40, st.data()), QMX58_ERR_ARG);
    count = -4;
    EXPECT_EQ(QMX58_ProcessData(&h_, words.data(), v.data(), &count, 0x0B, st.data()), QMX58_ERR_ARG);
    EXPECT_EQ(QMX58_ProcessData(&h_, words.data(), v.data(), nullptr, 0x0B, st.data()), QMX58_ERR_ARG);
}

TEST_F(ModuleTest, SetAdcRejectsWhatTheModuleCannotDo) {
    ASSERT_EQ(QMX58_Open(&h_, kLoopback, 11111, "TEST-1", 4), QMX58_OK);  // a QMX58-1
    EXPECT_EQ(h_.moduleInfo.icpCapable, 0);
    h_.channels[0].enabled = 1;
    h_.channels[0].icpSensorMode = 1;
    EXPECT_EQ(QMX58_SetADC(&h_), QMX58_ERR_ARG);  // ICP on a module without it
    h_.channels[0].icpSensorMode = 0;
    h_.rateCode = 16;
    EXPECT_EQ(QMX58_SetADC(&h_), QMX58_ERR_ARG);
    h_.rateCode = 0;
    h_.channels[0].enabled = 0;
    EXPECT_EQ(QMX58_SetADC(&h_), QMX58_ERR_ARG);  // no channel
    double table[5];
    EXPECT_EQ(QMX58_GetICPPhaseCoefs(&h_, table), QMX58_ERR_REFUSED);
    EXPECT_EQ(QMX58_Start(&h_), QMX58_ERR_STATE);  // never configured
    h_.channels[0].enabled = 1;
    h_.dataFormat = 2;
    EXPECT_EQ(QMX58_SetADC(&h_), QMX58_ERR_ARG);
    h_.dataFormat = 1;
    ASSERT_EQ(QMX58_SetADC(&h_), QMX58_OK);
    uint32_t w[4];
    EXPECT_EQ(QMX58_Recv(&h_, w, nullptr, 4, 100), QMX58_ERR_STATE);  // not started
}

TEST_F(ModuleTest, HandleLifeCycle) {
    Qmx58Handle zero{};
    EXPECT_NE(QMX58_IsOpened(&zero), 0);  // all zero: closed
    EXPECT_EQ(QMX58_Close(&zero), QMX58_ERR_NOT_OPEN);
    EXPECT_EQ(QMX58_GetConfig(&zero), QMX58_ERR_NOT_OPEN);
    Qmx58Handle garbage;
    std::memset(&garbage, 0xA5, sizeof garbage);
    EXPECT_NE(QMX58_IsOpened(&garbage), 0);
    EXPECT_EQ(QMX58_Start(&garbage), QMX58_ERR_NOT_OPEN);
    EXPECT_EQ(QMX58_IsOpened(nullptr), QMX58_ERR_ARG);

    const int fds = qmxtest::openFdCount();
    // The program's order: close if open, Init, Open, GetConfig ... IsOpened, Close.
    for (int round = 0; round < 3; ++round) {
        if (QMX58_IsOpened(&h_) == 0) {
            ASSERT_EQ(QMX58_Close(&h_), QMX58_OK);
        }
        ASSERT_EQ(QMX58_Init(&h_), QMX58_OK);
        ASSERT_EQ(QMX58_Open(&h_, kLoopback, 11111, "TEST-1", 3), QMX58_OK);
        EXPECT_EQ(QMX58_IsOpened(&h_), 0);
        EXPECT_EQ(QMX58_Open(&h_, kLoopback, 11111, "TEST-1", 3), QMX58_ERR_STATE);
        ASSERT_EQ(QMX58_GetConfig(&h_), QMX58_OK);
        EXPECT_STREQ(h_.moduleInfo.moduleName, "QMX58");
        EXPECT_STREQ(h_.moduleInfo.serialNumber, "T58-0301");
        EXPECT_EQ(h_.moduleInfo.firmwareVersion, 9);
        EXPECT_NE(h_.moduleInfo.icpCapable, 0);
        // Coefficients derived from the serial: plausible offsets and scales, not all alike.
        const auto& c = h_.moduleInfo.factoryCoefs;
        EXPECT_NE(c[0][0][0].offset, c[3][1][15].offset);
        for (int ch = 0; ch < 4; ++ch)
            for (int r = 0; r < 2; ++r)
                for (int i = 0; i < 16; ++i) {
                    EXPECT_LE(std::abs(c[ch][r][i].offset), 5.0f);
                    EXPECT_NEAR(c[ch][r][i].scale, 1.0f, 0.021f);
                }
    }
    // A copy of an open handle closed through the original no longer reaches the module.
    Qmx58Handle copy = h_;
    ASSERT_EQ(QMX58_Close(&h_), QMX58_OK);
    EXPECT_NE(QMX58_IsOpened(&copy), 0);
    EXPECT_NE(QMX58_IsOpened(&h_), 0);
    // Init on an open handle releases the connection.
    ASSERT_EQ(QMX58_Open(&h_, kLoopback, 11111, "TEST-1", 3), QMX58_OK);
    ASSERT_EQ(QMX58_Init(&h_), QMX58_OK);
    EXPECT_NE(QMX58_IsOpened(&h_), 0);
    EXPECT_TRUE(serverIdle());
    EXPECT_EQ(qmxtest::openFdCount(), fds);

    EXPECT_EQ(QMX58_Open(&h_, 0x0A000001, 11111, "TEST-1", 3), QMX58_ERR_ARG);  // not loopback
    EXPECT_EQ(QMX58_Open(&h_, kLoopback, 11111, "TEST-1", 5), QMX58_ERR_NOT_FOUND);
    EXPECT_EQ(QMX58_Open(&h_, kLoopback, 11111, "NOPE", 3), QMX58_ERR_NOT_FOUND);
}

// Each fault of the rig yields an error code in its place, within the time-out and a
// margin, and leaves no socket behind.
struct FaultCase {
    const char* name;
    void (*set)(qmx::sim::ModuleFaults&);
    const char* failingCall;  // Open, GetConfig, SetADC, Start, Recv, ProcessData
    int32_t expected;         // the call's result (Recv: a count or an error)
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class ModuleFaultTest : public ModuleTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ModuleFaultTest, FaultGivesItsErrorWithinTheTimeOut) {
    const FaultCase& fc = GetParam();
    const int fds = qmxtest::openFdCount();
    qmx::sim::ModuleFaults f;
    fc.set(f);
    ASSERT_TRUE(server_->setModuleFaults("TEST-1", 3, f));
    const std::string call = fc.failingCall;
    constexpr uint32_t kTimeoutMs = 300;
    const auto t0 = std::chrono::steady_clock::now();
    int32_t rc = QMX58_Open(&h_, kLoopback, 11111, "TEST-1", 3);
    if (call == "Open") {
        EXPECT_EQ(rc, fc.expected);
        EXPECT_NE(QMX58_IsOpened(&h_), 0);
    } else {
        ASSERT_EQ(rc, QMX58_OK);
        rc = QMX58_GetConfig(&h_);
        if (call == "GetConfig") {
            EXPECT_EQ(rc, fc.expected);
        }
        h_.rateCode = 0;
        h_.dataFormat = 1;
        h_.channels[0].enabled = 1;
        h_.channels[1].enabled = 1;
        rc = QMX58_SetADC(&h_);
        if (call == "SetADC") {
            EXPECT_EQ(rc, fc.expected);
        }
        if (call != "GetConfig" && call != "SetADC") {
            ASSERT_EQ(rc, QMX58_OK);
            rc = QMX58_Start(&h_);
            if (call == "Start") {
                EXPECT_EQ(rc, fc.expected);
                EXPECT_EQ(h_.running, 0);
            } else {
                ASSERT_EQ(rc, QMX58_OK);
                std::vector<uint32_t> w(8000);
                const auto r0 = std::chrono::steady_clock::now();
                const int32_t n = QMX58_Recv(&h_, w.data(), nullptr, 8000, kTimeoutMs);
                EXPECT_LT(qmxtest::secondsSince(r0), kTimeoutMs / 1000.0 + 2.0);
                if (call == "Recv") {
                    EXPECT_EQ(n, fc.expected);
                } else {
                    ASSERT_EQ(n, 8000);
                    std::vector<double> v(4000);
                    int32_t count = 8000;
                    EXPECT_EQ(QMX58_ProcessData(&h_, w.data(), v.data(), &count, 0x0B, nullptr), fc.expected);
                }
                // Stop still answers unless the connection is gone.
                const int32_t stop = QMX58_Stop(&h_);
                EXPECT_EQ(stop, fc.expected == QMX58_ERR_DISCONNECTED ? QMX58_ERR_DISCONNECTED : QMX58_OK);
                EXPECT_EQ(h_.running, 0);
            }
        }
        EXPECT_EQ(QMX58_IsOpened(&h_), 0);
        EXPECT_EQ(QMX58_Close(&h_), QMX58_OK);
    }
    EXPECT_LT(qmxtest::secondsSince(t0), kTimeoutMs / 1000.0 + 4.0);
    EXPECT_TRUE(serverIdle());  // the in-process server's side of the socket counts too
    EXPECT_EQ(qmxtest::openFdCount(), fds);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ModuleFaultTest,
    ::testing::Values(
        FaultCase{"RefuseOpen", [](qmx::sim::ModuleFaults& f) { f.refuseOpen = true; }, "Open", QMX58_ERR_REFUSED},
        FaultCase{"FailGetConfig", [](qmx::sim::ModuleFaults& f) { f.failGetConfig = true; }, "GetConfig",
                  QMX58_ERR_REFUSED},
        FaultCase{"FailSetAdc", [](qmx::sim::ModuleFaults& f) { f.failSetAdc = true; }, "SetADC", QMX58_ERR_REFUSED},
        FaultCase{"FailStart", [](qmx::sim::ModuleFaults& f) { f.failStart = true; }, "Start", QMX58_ERR_REFUSED},
        FaultCase{"CloseMidFrame", [](qmx::sim::ModuleFaults& f) { f.closeMidFrame = true; }, "Recv",
                  QMX58_ERR_DISCONNECTED},
        FaultCase{"Stall", [](qmx::sim::ModuleFaults& f) { f.stall = true; }, "Recv", 0},
        FaultCase{"FewerWords", [](qmx::sim::ModuleFaults& f) { f.shortWords = 1234; }, "Recv", 1234},
        FaultCase{"CorruptWords", [](qmx::sim::ModuleFaults& f) { f.corruptEvery = 997; }, "ProcessData",
                  QMX58_ERR_DATA}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ModuleTest, OverloadFaultFlagsOnlyItsChannel) {
    qmx::sim::ModuleFaults f;
    f.overloadMask = 1u << 1;
    ASSERT_TRUE(server_->setModuleFaults("TEST-1", 3, f));
    openAndConfigure(1, {{{true, 1, false, false}, {true, 1, false, false}, {true, 1, false, false},
                          {false, 0, false, false}}});
    const auto words = acquire(2 * 3 * 20000);
    std::vector<double> v(60000);
    std::vector<int32_t> st(60000);
    int32_t count = static_cast<int32_t>(words.size());
    ASSERT_EQ(QMX58_ProcessData(&h_, words.data(), v.data(), &count, 0x0B, st.data()), QMX58_OK);
    std::size_t flagged[3] = {0, 0, 0};
    for (std::size_t i = 0; i < v.size(); ++i) flagged[i % 3] += st[i] != 0;
    EXPECT_EQ(flagged[0], 0u);
    EXPECT_GT(flagged[1], 0u);
    EXPECT_EQ(flagged[2], 0u);
}

TEST_F(ModuleTest, ManyClientsAtOnce) {
    // Module streams on several connections while crate-level clients come and go.
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Qmx58Handle h{};
            if (QMX58_Open(&h, kLoopback, 11111, "TEST-1", t % 2 ? 4 : 3) != 0) {
                ++failures;
                return;
            }
            h.dataFormat = static_cast<uint8_t>(t % 2);
            h.channels[0].enabled = 1;
            std::vector<uint32_t> w(20000);
            for (int frame = 0; frame < 3; ++frame) {
                if (QMX58_SetADC(&h) || QMX58_Start(&h) ||
                    QMX58_Recv(&h, w.data(), nullptr, 20000, 5000) != 20000 || QMX58_Stop(&h))
                    ++failures;
                std::vector<double> v(20000);
                int32_t count = 20000;
                if (QMX58_ProcessData(&h, w.data(), v.data(), &count, 0x0B, nullptr)) ++failures;
            }
            QMX58_Close(&h);
        });
    }
    // The crate scan runs while the modules stream.
    threads.emplace_back([&] {
        for (int round = 0; round < 5; ++round) {
            QmxCrateConnection c{};
            char serials[16][16] = {};
            QmxCrateInfo info{};
            if (QMX_Open(&c) || QMX_GetCrates(&c, serials) || QMX_Close(&c)) ++failures;
            std::memcpy(c.serialNumber, serials[0], 16);
            if (QMX_Open(&c) || QMX_GetCrateInfo(&c, &info) || QMX_Close(&c) || info.crateType != 10) ++failures;
        }
    });
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(serverIdle());
}

TEST_F(ModuleTest, ServerShutdownUnderAStreamingClientIsPromptAndReported) {
    openAndConfigure(1, {{{true, 0, false, false}, {true, 0, false, false}, {true, 0, false, false},
                          {true, 0, false, false}}});
    ASSERT_EQ(QMX58_Start(&h_), QMX58_OK);
    std::vector<uint32_t> w(1000);
    ASSERT_EQ(QMX58_Recv(&h_, w.data(), nullptr, 1000, 5000), 1000);
    // The fast server is now blocked on a full socket; stopping it must not wait for us.
    const auto t0 = std::chrono::steady_clock::now();
    server_->stop();
    EXPECT_LT(qmxtest::secondsSince(t0), 3.0);
    int32_t n = 0;
    const auto r0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100000 && n >= 0 && qmxtest::secondsSince(r0) < 10; ++i)
        n = QMX58_Recv(&h_, w.data(), nullptr, 1000, 2000);
    EXPECT_EQ(n, QMX58_ERR_DISCONNECTED);  // the buffered words, then the loss
    EXPECT_EQ(QMX58_Stop(&h_), QMX58_ERR_DISCONNECTED);
    EXPECT_EQ(h_.running, 0);
    EXPECT_EQ(QMX58_IsOpened(&h_), 0);  // open until closed, so the caller still closes it
    EXPECT_EQ(QMX58_Close(&h_), QMX58_OK);
}

// A fake server that answers every connection with fixed bytes, then optionally holds it.
class FakeServer {
public:
    FakeServer(std::vector<uint8_t> answer, bool hold) : answer_(std::move(answer)), hold_(hold) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::listen(fd_, 4);
        socklen_t len = sizeof sa;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] {
            const int c = ::accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            uint8_t req[256];
            [[maybe_unused]] auto r = ::recv(c, req, sizeof req, 0);
            if (!answer_.empty()) [[maybe_unused]] auto s = ::send(c, answer_.data(), answer_.size(), MSG_NOSIGNAL);
            if (hold_) {
                uint8_t b;
                [[maybe_unused]] auto r2 = ::recv(c, &b, 1, 0);  // until the client closes
            }
            ::close(c);
        });
    }
    ~FakeServer() {
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        thread_.join();
    }
    uint16_t port() const { return port_; }

private:
    std::vector<uint8_t> answer_;
    bool hold_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

TEST(ModuleHostileServer, SilenceGarbageAndOversizedRepliesGiveErrors) {
    using qmx::wire::MsgType;
    const uint16_t openReply = static_cast<uint16_t>(MsgType::ModuleOpen) | qmx::wire::kReplyBit;
    qmx::wire::ModuleSummary s{"QMX58", "X", 1, true};
    std::vector<uint8_t> good;
    qmx::wire::encode(good, s);
    auto tooLong = good;
    tooLong.push_back(0);
    std::vector<uint8_t> hugeHeader = qmx::wire::message(openReply, 0, {});
    hugeHeader[8] = hugeHeader[9] = hugeHeader[10] = hugeHeader[11] = 0xFF;  // 4 GiB payload
    std::vector<uint8_t> random(300);
    uint32_t x = 12345;
    for (auto& b : random) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    auto truncated = qmx::wire::message(openReply, 0, good);
    truncated.resize(truncated.size() - 3);

    struct Case {
        const char* name;
        std::vector<uint8_t> answer;
        bool hold;
        int32_t expected;
    } cases[] = {
        {"silent", {}, true, QMX58_ERR_TIMEOUT},
        {"closes", {}, false, QMX58_ERR_DISCONNECTED},
        {"random bytes", random, true, QMX58_ERR_PROTOCOL},
        {"oversized length", hugeHeader, true, QMX58_ERR_PROTOCOL},
        {"payload one byte too long", qmx::wire::message(openReply, 0, tooLong), true, QMX58_ERR_PROTOCOL},
        {"truncated then silent", truncated, true, QMX58_ERR_TIMEOUT},
        {"truncated then closed", truncated, false, QMX58_ERR_DISCONNECTED},
        {"wrong reply type", qmx::wire::message(static_cast<uint16_t>(MsgType::GetConfig) | 0x8000, 0, good), true,
         QMX58_ERR_PROTOCOL},
    };
    const int fds = qmxtest::openFdCount();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeServer fake(c.answer, c.hold);
        setenv("QMX_SERVER_PORT", std::to_string(fake.port()).c_str(), 1);
        Qmx58Handle h{};
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(QMX58_Open(&h, kLoopback, 11111, "X", 1), c.expected);
        EXPECT_LT(qmxtest::secondsSince(t0), QMX58_REQUEST_TIMEOUT_MS / 1000.0 + 2.0);
        EXPECT_NE(QMX58_IsOpened(&h), 0);
    }
    unsetenv("QMX_SERVER_PORT");
    EXPECT_EQ(qmxtest::openFdCount(), fds);
}

}  // namespace
