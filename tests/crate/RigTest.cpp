// The rig file format and the crate server program.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sys/wait.h>
#include <unistd.h>

#include "Rig.h"
#include "SampleWords.h"
#include "SignalGenerator.h"
#include "qmxapi.h"

namespace {

using namespace qmx::sim;

TEST(Rig, DefaultRigIsWorthLookingAt) {
    Rig rig;
    std::string error;
    ASSERT_TRUE(parseRig(defaultRigText(), rig, error)) << error;
    ASSERT_EQ(rig.crates.size(), 2u);
    const Crate& a = rig.crates[0];
    const Crate& b = rig.crates[1];
    EXPECT_EQ(a.serial.substr(0, 3), "SIM");
    EXPECT_EQ(b.serial.substr(0, 3), "SIM");
    EXPECT_EQ(a.typeCode, 10);
    EXPECT_EQ(b.typeCode, 21);
    ASSERT_EQ(a.qmx58.size(), 2u);
    for (const auto& [slot, m] : a.qmx58) EXPECT_TRUE(m.icpCapable) << slot;
    int foreign = 0;
    for (uint16_t id : a.moduleIds) foreign += id != 0 && id != kQmx58ModuleId;
    EXPECT_EQ(foreign, 1);
    ASSERT_EQ(b.qmx58.size(), 1u);
    EXPECT_FALSE(b.qmx58.begin()->second.icpCapable);
    // Two channels of one module carry the same sine in different phase.
    const auto& ch = a.qmx58.begin()->second.channels;
    ASSERT_FALSE(ch[0].sines.empty());
    ASSERT_FALSE(ch[1].sines.empty());
    EXPECT_EQ(ch[0].sines[0].frequency, ch[1].sines[0].frequency);
    EXPECT_NE(ch[0].sines[0].phaseDeg, ch[1].sines[0].phaseDeg);
}

TEST(Rig, EveryFeatureParses) {
    const char* text = R"(fault list
crate C1 type 41
  fault open
  fault info
  slot 16 module 0x0001
  slot 1 qmx58 M1 firmware 200 icp no
    coef 3 1 15 -2.5 1.01
    icp-phase 500 1 2 3 4   # comment
    channel 2 dc 1 sine 1 2 3 sine 4 5 6 noise 0.5
    fault refuse-open
    fault fail-config
    fault fail-setadc
    fault fail-start
    fault close-mid-frame
    fault stall
    fault short 100
    fault corrupt 7
    fault overload 3
)";
    Rig rig;
    std::string error;
    ASSERT_TRUE(parseRig(text, rig, error)) << error;
    EXPECT_TRUE(rig.failCrateList);
    const Crate& c = rig.crates.at(0);
    EXPECT_TRUE(c.faults.failOpen && c.faults.failInfo);
    EXPECT_EQ(c.moduleIds[15], 1);
    const Qmx58Module& m = c.qmx58.at(1);
    EXPECT_EQ(m.firmware, 200);
    EXPECT_FALSE(m.icpCapable);
    EXPECT_FLOAT_EQ(m.coefs[3][1][15][0], -2.5f);
    EXPECT_FLOAT_EQ(m.coefs[3][1][15][1], 1.01f);
    EXPECT_EQ(m.coefs[0][0][0], deriveCoefs("M1")[0][0][0]);  // the rest derived from the serial
    EXPECT_EQ(m.icpPhase[0], 500);
    EXPECT_EQ(m.channels[2].sines.size(), 2u);
    EXPECT_EQ(m.channels[2].noiseRms, 0.5);
    const ModuleFaults& f = m.faults;
    EXPECT_TRUE(f.refuseOpen && f.failGetConfig && f.failSetAdc && f.failStart && f.closeMidFrame && f.stall);
    EXPECT_EQ(f.shortWords, 100u);
    EXPECT_EQ(f.corruptEvery, 7u);
    EXPECT_EQ(f.overloadMask, 8);
}

TEST(Rig, ErrorsNameTheirLine) {
    const struct {
        const char* text;
        const char* lineTag;
    } cases[] = {
        {"crate C1 type 10\nslot 17 qmx58 M\n", "line 2"},
        {"crate C1 type 10\nslot 1 qmx58 M\nslot 1 module 5\n", "line 3"},
        {"slot 1 qmx58 M\n", "line 1"},
        {"crate 1234567890123456 type 10\n", "line 1"},
        {"crate C1 type 10\ncrate C1 type 21\n", "line 2"},
        {"crate C1 type 10\nslot 1 qmx58 M\nchannel 4 dc 1\n", "line 3"},
        {"crate C1 type 10\nslot 1 qmx58 M\nchannel 0 sine 1 2\n", "line 3"},
        {"crate C1 type 10\nslot 1 qmx58 M\nchannel 0 dc nan\n", "line 3"},
        {"crate C1 type 10\nslot 1 qmx58 M\nfault explode\n", "line 3"},
        {"crate C1 type 10\nslot 1 module 0x1818\n", "line 2"},
        {"\n\n   bogus\n", "line 3"},
    };
    for (const auto& c : cases) {
        Rig rig;
        std::string error;
        EXPECT_FALSE(parseRig(c.text, rig, error)) << c.text;
        EXPECT_NE(error.find(c.lineTag), std::string::npos) << c.text << " -> " << error;
    }
}

TEST(Rig, DerivedCoefficientsAreDeterministicAndPlausible) {
    const auto a = deriveCoefs("SIM58-0201"), b = deriveCoefs("SIM58-0201"), c = deriveCoefs("SIM58-0202");
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    for (const auto& ch : a)
        for (const auto& r : ch)
            for (const auto& p : r) {
                EXPECT_LE(std::abs(p[0]), 5.0f);
                EXPECT_NEAR(p[1], 1.0f, 0.0201f);
            }
}

TEST(SignalGenerator, NoiseRepeatsWithItsSeedAndOnlyWithIt) {
    Qmx58Module m;
    m.coefs = deriveCoefs("N");
    m.channels[1].noiseRms = 0.1;
    m.channels[1].sines.push_back({1.0, 1000, 0});
    qmx::wire::AdcSettings s;
    s.dataFormat = 1;
    s.channels[1].enabled = 1;
    std::vector<uint32_t> a, b, c, split;
    SignalGenerator(m, s, 42).generate(5000, a);
    SignalGenerator(m, s, 42).generate(5000, b);
    SignalGenerator(m, s, 43).generate(5000, c);
    SignalGenerator g(m, s, 42);  // in pieces: the same stream
    g.generate(1234, split);
    g.generate(5000 - 1234, split);
    EXPECT_EQ(a.size(), 10000u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, split);
    EXPECT_NE(a, c);
}

// Found by fuzzing: values that overflow a float or a double downstream are rig-file errors
// naming their line, not a protocol error at module configuration or a NaN in the generator.
TEST(Rig, OutOfRangeNumbersAreRigErrors) {
    const char* head = "crate C1 type 10\nslot 1 qmx58 M\n";
    for (const char* bad : {
             "coef 0 1 1 5e39 9",           // offset beyond a float
             "coef 0 1 1 0 5e39",           // scale beyond a float
             "coef 0 1 1 0 1e-50",          // scale that becomes 0 as a float
             "coef 0 1 1 0 0", "coef 0 1 1 0 -1", "coef 0 1 1 0 nan", "coef 0 1 1 0 2000", "coef 0 1 1 20000 1",
             "channel 0 sine 1 1e308 0",    // omega overflows to inf, the sample to NaN
             "channel 0 sine 1e300 1 0", "channel 0 dc 1e300", "channel 0 noise 1e300",
             "channel 0 sine 1 1 1e300", "channel 0 dc 1e-400",
             "icp-phase 1e-300 1 1 1 1",    // a delay of 1e297 s
             "icp-phase 1000 1e300 0 0 0", "icp-phase 0 0 0 0 0",
         }) {
        Rig rig;
        std::string error;
        EXPECT_FALSE(parseRig(std::string(head) + bad + "\n", rig, error)) << bad;
        EXPECT_EQ(error.rfind("line 3: ", 0), 0u) << bad << " -> " << error;
    }
    // Integers are decimal or 0x hex: a leading zero is not octal, a bare "0x" is no number.
    Rig rig;
    std::string error;
    ASSERT_TRUE(parseRig("crate C1 type 010\nslot 09 qmx58 M firmware 012\n", rig, error)) << error;
    EXPECT_EQ(rig.crates[0].typeCode, 10);
    EXPECT_EQ(rig.crates[0].qmx58.at(9).firmware, 12);
    EXPECT_FALSE(parseRig("crate C1 type 0x\n", rig, error));
    EXPECT_FALSE(parseRig("crate C1 type +5\n", rig, error));
}

// Every value a rig accepts, at its limits, reaches the client intact (the configuration
// decodes) and gives data words that decode, within full scale, with overload where clipped.
TEST(Rig, ExtremesTheParserAcceptsSurviveTheWireAndTheGenerator) {
    const char* text = R"(crate C1 type 10
slot 1 qmx58 M
  coef 0 0 15 10000 0.001
  coef 1 0 15 -10000 1000
  coef 2 1 15 -0.0001 1e-3
  icp-phase 0.1 360 -360 0 1
  channel 0 dc 1000 sine -1000 1e6 -1e6 noise 1000
  channel 1 sine 1000 0 1e6 sine 1000 1e6 1e6
  channel 2 dc -1000
  channel 3 noise 0
)";
    Rig rig;
    std::string error;
    ASSERT_TRUE(parseRig(text, rig, error)) << error;
    const Qmx58Module& m = rig.crates.at(0).qmx58.at(1);
    qmx::wire::ModuleConfig cfg;
    cfg.coefs = m.coefs;
    cfg.icpPhase = m.icpPhase;
    std::vector<uint8_t> bytes;
    qmx::wire::encode(bytes, cfg);
    EXPECT_TRUE(qmx::wire::decode(bytes.data(), bytes.size(), cfg));
    for (uint8_t format : {0, 1}) {
        for (uint8_t icp : {0, 1}) {
            qmx::wire::AdcSettings s;
            s.rateCode = 0;  // rate-list index 15, where the extreme coefficients are
            s.dataFormat = format;
            for (uint8_t ch = 0; ch < 4; ++ch) s.channels[ch] = {1, static_cast<uint8_t>(ch == 2), 0, icp};
            std::vector<uint32_t> w;
            SignalGenerator(m, s, 1).generate(3000, w);
            ASSERT_EQ(w.size(), 3000u * 4 * (format ? 2 : 1));
            int overloads = 0;
            for (std::size_t i = 0; i < 3000 * 4; ++i) {
                const unsigned ch = static_cast<unsigned>(i % 4);
                int32_t code = 0;
                uint8_t st = 0;
                if (format) {
                    ASSERT_TRUE(qmx::words::decode24(w[2 * i], w[2 * i + 1], ch, code, st)) << i;
                    overloads += st != 0;
                } else {
                    ASSERT_TRUE(qmx::words::decode20(w[i], ch, code)) << i;
                }
                ASSERT_LE(std::abs(code), qmx::model::fullScaleCode(format));
            }
            if (format) {
                EXPECT_GT(overloads, 0);
            }
        }
    }
}

// The generator never casts NaN or infinity to a code, whatever module it is handed
// directly (the server's tests and fault injection bypass the rig parser).
TEST(SignalGenerator, NonFiniteSignalsBecomeOverloadsNotUndefinedCodes) {
    Qmx58Module m;
    m.coefs = deriveCoefs("N");
    m.coefs[0][0][15][1] = 0.0f;                                   // scale 0: gain inf
    m.channels[0].sines.push_back({0.0, 1000, 0});                 // 0 * inf = NaN
    m.channels[1].sines.push_back({1.0, 1e308, 0});                // omega inf: NaN
    m.channels[2].dc = std::numeric_limits<double>::infinity();
    m.channels[3].dc = -std::numeric_limits<double>::infinity();
    qmx::wire::AdcSettings s;
    s.dataFormat = 1;
    for (auto& c : s.channels) c.enabled = 1;
    std::vector<uint32_t> w;
    SignalGenerator(m, s, 1).generate(10, w);
    ASSERT_EQ(w.size(), 80u);
    const int32_t fs = qmx::words::kFullScale24;
    const int32_t expectCode[4] = {fs, fs, fs, -fs};
    const uint8_t expectStatus[4] = {qmx::words::kStatusOverloadPos, qmx::words::kStatusOverloadPos,
                                     qmx::words::kStatusOverloadPos, qmx::words::kStatusOverloadNeg};
    for (std::size_t i = 0; i < 40; ++i) {
        int32_t code = 0;
        uint8_t st = 0;
        ASSERT_TRUE(qmx::words::decode24(w[2 * i], w[2 * i + 1], i % 4, code, st));
        EXPECT_EQ(code, expectCode[i % 4]) << i;
        EXPECT_EQ(st, expectStatus[i % 4]) << i;
    }
}

// The server program: --port 0 prints the port, serves, and ends cleanly on SIGTERM.
TEST(ServerProgram, StartsOnAFreePortAndStopsOnSigterm) {
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(QMX_CRATE_SERVER_PATH, QMX_CRATE_SERVER_PATH, "--port", "0", "--seed", "5", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof line, f), nullptr);
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(line, "qmx-crate-server listening on 127.0.0.1:%u", &port), 1) << line;
    EXPECT_NE(port, 11111u);
    setenv("QMX_SERVER_PORT", std::to_string(port).c_str(), 1);
    QmxCrateConnection c{};
    char serials[16][16] = {};
    ASSERT_EQ(QMX_Open(&c), QMX_OK);
    EXPECT_EQ(QMX_GetCrates(&c, serials), QMX_OK);
    EXPECT_EQ(std::string(serials[0]), "SIM-A8-0001");
    // Stopping while a client is still connected.
    kill(pid, SIGTERM);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 500 && done == 0; ++i) {
        done = waitpid(pid, &status, WNOHANG);
        if (done == 0) usleep(10000);
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "server did not stop within 5 s of SIGTERM";
    } else {
        EXPECT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    EXPECT_EQ(QMX_Close(&c), QMX_OK);
    fclose(f);
    unsetenv("QMX_SERVER_PORT");
}

TEST(ServerProgram, RejectsABadRigFile) {
    char path[] = "/tmp/qmx-rig-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char text[] = "crate X type 10\nslot 99 qmx58 M\n";
    ASSERT_EQ(write(fd, text, sizeof text - 1), static_cast<ssize_t>(sizeof text - 1));
    close(fd);
    const std::string cmd = std::string(QMX_CRATE_SERVER_PATH) + " --port 0 --rig " + path + " 2>/dev/null";
    const int rc = std::system(cmd.c_str());
    unlink(path);
    EXPECT_TRUE(WIFEXITED(rc));
    EXPECT_EQ(WEXITSTATUS(rc), 2);
}

}  // namespace
