// The rig file format and the crate server program.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

#include "Rig.h"
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
