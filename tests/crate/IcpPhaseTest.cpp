// The ICP lag removal of QMX58_ProcessData (flag 0x10) through the module library and the
// in-process simulated server: accuracy up to 0.45 times the rate, a frame converted in
// chunks, and phase tables from the module that must not be believed.
#include <cmath>
#include <cstring>
#include <limits>

#include "IcpSweep.h"
#include "TestServer.h"

namespace {

using namespace qmxtest::icp;
using qmxtest::ServerTest;

constexpr double kAmpBoundPct = 0.01;    // |amplitude error|, percent
constexpr double kPhaseBoundDeg = 0.01;  // |phase error|, degrees
constexpr std::size_t kConversions = 16384;
constexpr std::size_t kMargin = 64;  // conversions left out at each end for the interior fit
// Conversions before a series' end whose filter reaches beyond it: half the filter's 80
// taps plus the largest delay removed.
constexpr std::size_t kReach = 40 + 16;

class IcpPhaseTest : public ServerTest {
protected:
    void SetUp() override { startServer(kRig); }
};

void expectWithin(const std::array<ChannelErrors, 4>& errors, double ampPct, double phaseDeg, const char* fit) {
    for (unsigned ch = 0; ch < 4; ++ch)
        for (std::size_t j = 0; j < kTones; ++j) {
            EXPECT_LE(std::abs(errors[ch][j].amplitudePct), ampPct)
                << fit << " fit, channel " << ch << ", tone " << kToneFraction[j] << " x rate";
            EXPECT_LE(std::abs(errors[ch][j].phaseDeg), phaseDeg)
                << fit << " fit, channel " << ch << ", tone " << kToneFraction[j] << " x rate";
        }
}

struct SweepCase {
    uint16_t slot;  // 1: lags like the built-in rig's; 2: a lead and lags of up to 8 conversions;
                    // 4: delays halfway between conversions and near the largest removed
    uint8_t rateCode;
};

void PrintTo(const SweepCase& c, std::ostream* os) { *os << "slot " << c.slot << ", rate code " << int{c.rateCode}; }

class IcpAccuracyTest : public IcpPhaseTest, public ::testing::WithParamInterface<SweepCase> {};

TEST_P(IcpAccuracyTest, TonesUpTo045TimesTheRateComeBackWithin001PercentAnd001Degree) {
    const SweepCase c = GetParam();
    IcpModule module(*server_, c.slot, c.rateCode);
    ASSERT_TRUE(module.acquire(kConversions)) << module.error();
    std::vector<double> v;
    ASSERT_TRUE(module.convert(0x1B, v)) << module.error();
    const FrameErrors fixed = frameErrors(v, kConversions, kMargin);
    expectWithin(fixed.interior, kAmpBoundPct, kPhaseBoundDeg, "interior");
    // The frame's ends count too, under the tapering window readings are taken with.
    expectWithin(fixed.tapered, kAmpBoundPct, kPhaseBoundDeg, "Blackman-Harris");

    // Uncorrected, the same frame is off by far more than the bound: the sweep sees the lag.
    ASSERT_TRUE(module.convert(0x0B, v)) << module.error();
    const FrameErrors raw = frameErrors(v, kConversions, kMargin);
    double worst = 0;
    for (const auto& ch : raw.interior)
        for (const auto& e : ch) worst = std::max(worst, std::abs(e.phaseDeg));
    EXPECT_GT(worst, 10 * kPhaseBoundDeg);
}

INSTANTIATE_TEST_SUITE_P(Rates, IcpAccuracyTest,
                         ::testing::Values(SweepCase{1, 0}, SweepCase{1, 3}, SweepCase{1, 15}, SweepCase{2, 0},
                                           SweepCase{2, 3}, SweepCase{2, 15}, SweepCase{4, 0},
                                           SweepCase{4, 3}),
                         [](const auto& info) {
                             const uint16_t slot = info.param.slot;
                             const char* lags = slot == 1 ? "RigLags" : slot == 2 ? "LargeLags" : "HalfwayAndFarLags";
                             const auto hz = static_cast<int>(qmx::model::rateHz(info.param.rateCode));
                             return std::string(lags) + "_" + std::to_string(hz) + "Hz";
                         });

TEST_F(IcpPhaseTest, ZeroLagsLeaveTheValuesAloneAndTheMeasurementFloorIsFarBelowTheBound) {
    IcpModule module(*server_, 3, 0);  // phase table of zeros
    ASSERT_TRUE(module.acquire(kConversions)) << module.error();
    std::vector<double> raw, fixed;
    ASSERT_TRUE(module.convert(0x0B, raw)) << module.error();
    ASSERT_TRUE(module.convert(0x1B, fixed)) << module.error();
    EXPECT_EQ(raw, fixed);
    // What the sweep measures of an undelayed frame is quantisation and the fit: a fiftieth
    // of the bound or less, so the bound is judged with room to spare.
    const FrameErrors floor = frameErrors(raw, kConversions, kMargin);
    expectWithin(floor.interior, kAmpBoundPct / 50, kPhaseBoundDeg / 50, "interior");
    expectWithin(floor.tapered, kAmpBoundPct / 50, kPhaseBoundDeg / 50, "Blackman-Harris");
}

TEST_F(IcpPhaseTest, AFrameConvertedInChunksMatchesOneCallExceptJustBeforeEachChunkEnd) {
    // Slot 2: lags of -0.81, 0.98, 2.93 and 8.14 conversions; slot 4: up to a lead of 13.5
    // and a lag of 15.5, so that the filter reaches almost as far as it ever does on either
    // side. One chunk is shorter than the filter. Tones a little below the sweep's, so that
    // no short period makes the signal easy to continue past a chunk's end.
    const double detuned = 0.987;
    for (const uint16_t slot : {uint16_t{2}, uint16_t{4}}) {
        SCOPED_TRACE(testing::Message() << "slot " << slot);
        IcpModule module(*server_, slot, 0, detuned);
        ASSERT_TRUE(module.acquire(kConversions)) << module.error();
        const std::vector<std::size_t> chunks = {1000, 3333, 17, 5000, 7034};
        std::vector<double> whole, chunked, again;
        ASSERT_TRUE(module.convert(0x1B, whole)) << module.error();
        ASSERT_TRUE(module.convert(0x1B, chunked, chunks)) << module.error();
        // Converting the frame once more is no continuation of the chunks: the same as the
        // first time.
        ASSERT_TRUE(module.convert(0x1B, again)) << module.error();
        EXPECT_EQ(again, whole);

        // Each chunk after the first starts from the real values before it, so only the values
        // whose filter reaches past a chunk's end (at most kReach conversions before it) differ,
        // and there only by what the prediction beyond the end misses; so do the frame's first
        // ones, predicted before the start from the first chunk rather than the whole frame.
        std::vector<std::size_t> ends;
        std::size_t at = 0;
        for (std::size_t i = 0; i + 1 < chunks.size(); ++i) ends.push_back(at += chunks[i]);
        double worstFar = 0, worstNear = 0;
        for (std::size_t n = 0; n < kConversions; ++n) {
            bool near = n < kReach;
            for (const std::size_t e : ends) near = near || (n < e && n + kReach >= e);
            for (std::size_t ch = 0; ch < 4; ++ch) {
                double& worst = near ? worstNear : worstFar;
                worst = std::max(worst, std::abs(chunked[n * 4 + ch] - whole[n * 4 + ch]));
            }
        }
        EXPECT_LE(worstFar, 1e-12);
        EXPECT_LE(worstNear, 2e-5);  // volts, on tones of 4.2 V peak together

        const FrameErrors e = frameErrors(chunked, kConversions, kMargin, detuned);
        expectWithin(e.interior, kAmpBoundPct, kPhaseBoundDeg, "interior");
        expectWithin(e.tapered, kAmpBoundPct, kPhaseBoundDeg, "Blackman-Harris");
    }
}

// Phase tables a module might report. The server hands them out as they are; the wire
// format refuses what is not a finite number, and the library refuses a table that gives
// no sane delay for a channel it is to correct.
enum class Outcome {
    NotDelivered,  // QMX58_GetConfig fails: nothing to convert with
    Refused,       // flag 0x10 fails with *count = 0; without it the conversion works
    Unchanged,     // nothing to correct: flag 0x10 changes no value
    Corrected,     // a sane delay: flag 0x10 succeeds and moves the values
};

struct TableCase {
    const char* name;
    std::array<double, 5> table;
    bool channel1Icp;  // channel 0 is always in ICP mode
    uint8_t rateCode;
    Outcome outcome;
};

void PrintTo(const TableCase& c, std::ostream* os) { *os << c.name; }

class IcpPhaseTableTest : public ServerTest, public ::testing::WithParamInterface<TableCase> {};

TEST_P(IcpPhaseTableTest, ATableWithoutASaneDelayIsNeverBelieved) {
    const TableCase& c = GetParam();
    qmx::sim::Rig rig;
    std::string error;
    ASSERT_TRUE(qmx::sim::parseRig("crate HOST-1 type 10\n slot 1 qmx58 H58-0001 icp yes\n"
                                   "  channel 0 noise 0.01\n  channel 1 noise 0.01\n",
                                   rig, error))
        << error;
    rig.crates[0].qmx58.at(1).icpPhase = c.table;
    startServer(std::move(rig));

    Qmx58Handle h{};
    ASSERT_EQ(QMX58_Open(&h, 0x7F000001, 11111, "HOST-1", 1), QMX58_OK);
    if (c.outcome == Outcome::NotDelivered) {
        EXPECT_NE(QMX58_GetConfig(&h), QMX58_OK);
        QMX58_Close(&h);
        return;
    }
    ASSERT_EQ(QMX58_GetConfig(&h), QMX58_OK);
    double table[5];
    ASSERT_EQ(QMX58_GetICPPhaseCoefs(&h, table), QMX58_OK);
    EXPECT_EQ(std::memcmp(table, c.table.data(), sizeof table), 0);  // handed on as it came
    h.rateCode = c.rateCode;
    h.dataFormat = 1;
    for (int ch = 0; ch < 2; ++ch) {
        h.channels[ch].enabled = 1;
        h.channels[ch].inputRangeIndex = 1;
        h.channels[ch].icpSensorMode = ch == 0 || c.channel1Icp;
    }
    ASSERT_EQ(QMX58_SetADC(&h), QMX58_OK);
    std::vector<uint32_t> words(4096 * 2 * 2);
    const auto n = static_cast<int32_t>(words.size());
    ASSERT_EQ(QMX58_Start(&h), QMX58_OK);
    ASSERT_EQ(QMX58_Recv(&h, words.data(), nullptr, static_cast<uint32_t>(n), 5000), n);
    ASSERT_EQ(QMX58_Stop(&h), QMX58_OK);

    std::vector<double> raw(words.size() / 2), fixed(raw.size(), std::numeric_limits<double>::quiet_NaN());
    int32_t count = n;
    ASSERT_EQ(QMX58_ProcessData(&h, words.data(), raw.data(), &count, 0x0B, nullptr), QMX58_OK);
    count = n;
    const int32_t rc = QMX58_ProcessData(&h, words.data(), fixed.data(), &count, 0x1B, nullptr);
    if (c.outcome == Outcome::Refused) {
        EXPECT_EQ(rc, QMX58_ERR_DATA);
        EXPECT_EQ(count, 0);
    } else {
        ASSERT_EQ(rc, QMX58_OK);
        EXPECT_EQ(fixed == raw, c.outcome == Outcome::Unchanged);
        for (double x : fixed) ASSERT_TRUE(std::isfinite(x));
    }
    QMX58_Close(&h);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Tables, IcpPhaseTableTest,
    ::testing::Values(
        // 0.5 degrees at 1e-300 Hz: a delay of 1e297 seconds.
        TableCase{"TinyFrequency", {1e-300, 0.5, 0.4, 0, 0}, false, 0, Outcome::Refused},
        TableCase{"ZeroFrequency", {0, 0.5, 0.4, 0, 0}, false, 0, Outcome::Refused},
        TableCase{"NegativeFrequency", {-1000, 0.5, 0.4, 0, 0}, false, 0, Outcome::Refused},
        TableCase{"HugePhase", {1000, 1e6, 0.4, 0, 0}, false, 0, Outcome::Refused},
        TableCase{"PhaseOverTinyFrequencyOverflows", {1e-300, 1e300, 0.4, 0, 0}, false, 0, Outcome::Refused},
        // 52.3 degrees at 1 kHz: 17.02 conversions at 117187.5 Hz, beyond the filter's
        // reach; 8.51 conversions at 58593.75 Hz, within it.
        TableCase{"DelayBeyondReach", {1000, 52.3, 0, 0, 0}, false, 0, Outcome::Refused},
        TableCase{"SameDelayWithinReachAtHalfTheRate", {1000, 52.3, 0, 0, 0}, false, 1, Outcome::Corrected},
        // Every channel in ICP mode needs a sane lag, and only those do.
        TableCase{"BadLagOnTheSecondIcpChannel", {1e-300, 0, 0.5, 0, 0}, true, 0, Outcome::Refused},
        TableCase{"BadLagOnAChannelNotInIcpMode", {1e-300, 0, 0.5, 0, 0}, false, 0, Outcome::Unchanged},
        // Zero lags need no frequency.
        TableCase{"ZeroLagsAtTinyFrequency", {1e-300, 0, 0, 0, 0}, true, 0, Outcome::Unchanged},
        TableCase{"NaNFrequency", {kNaN, 0.5, 0.4, 0, 0}, false, 0, Outcome::NotDelivered},
        TableCase{"InfinitePhase", {1000, -kInf, 0.4, 0, 0}, false, 0, Outcome::NotDelivered}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
