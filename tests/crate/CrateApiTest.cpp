// The crate-system library against the simulated crate server, in the call order the
// program uses: the crate list on a server connection, then per crate its type and modules.
#include <cstring>
#include <set>

#include "TestServer.h"
#include "qmx58api.h"
#include "qmxapi.h"

namespace {

using qmxtest::ServerTest;

struct ScannedCrate {
    std::string serial;
    int type;
    uint16_t ids[16];
};

// The program's scan: QMX_Init, channel 0, Open/GetCrates/Close, then per listed crate
// Open/GetCrateInfo/GetCrateModules/Close. Returns the first failing code, or 0.
int32_t scan(std::vector<ScannedCrate>& out) {
    QmxCrateConnection c;
    std::memset(&c, 0x5A, sizeof c);  // the program's record is an uninitialised local
    if (int32_t rc = QMX_Init(&c)) return rc;
    c.channel = 0;
    char serials[16][16];
    std::memset(serials, 0, sizeof serials);
    if (int32_t rc = QMX_Open(&c)) return rc;
    const int32_t rcList = QMX_GetCrates(&c, serials);
    EXPECT_EQ(QMX_Close(&c), QMX_OK);
    if (rcList) return rcList;
    for (int i = 0; i < 16 && serials[i][0] != '\0'; ++i) {
        EXPECT_EQ(serials[i][15], '\0');
        std::memcpy(c.serialNumber, serials[i], 16);
        c.serialNumber[15] = '\0';
        if (int32_t rc = QMX_Open(&c)) return rc;
        ScannedCrate sc{serials[i], 0, {}};
        QmxCrateInfo info;
        std::memset(&info, 0xEE, sizeof info);
        int32_t rc = QMX_GetCrateInfo(&c, &info);
        if (!rc) rc = QMX_GetCrateModules(&c, sc.ids);
        EXPECT_EQ(QMX_Close(&c), QMX_OK);
        if (rc) return rc;
        sc.type = info.crateType;
        out.push_back(sc);
    }
    return QMX_OK;
}

TEST(CrateRecords, OffsetsMatchTheProgramsView) {
    // The program addresses these fields by offset; the header asserts them at compile time,
    // this checks the compiled library agrees on sizes.
    EXPECT_EQ(sizeof(QmxCrateConnection), 36u);
    EXPECT_EQ(sizeof(Qmx58Handle), 256u + sizeof(Qmx58ModuleInfo));
    EXPECT_EQ(offsetof(Qmx58Handle, channels[3]), 128u + 3 * 32u);
    EXPECT_EQ(offsetof(Qmx58Handle, moduleInfo.factoryCoefs[1][0][0]), 320u + 256u);
    EXPECT_EQ(offsetof(Qmx58Handle, moduleInfo.factoryCoefs[0][1][0]), 320u + 128u);
    EXPECT_EQ(offsetof(Qmx58Handle, moduleInfo.factoryCoefs[0][0][1].scale), 320u + 8u + 4u);
}

TEST_F(ServerTest, DefaultRigScansAsTwoSimulatedCrates) {
    startServer(qmx::sim::defaultRig());
    std::vector<ScannedCrate> crates;
    ASSERT_EQ(scan(crates), QMX_OK);
    ASSERT_EQ(crates.size(), 2u);
    EXPECT_EQ(crates[0].serial.rfind("SIM", 0), 0u);
    EXPECT_EQ(crates[1].serial.rfind("SIM", 0), 0u);
    EXPECT_EQ(crates[0].type, 10);
    EXPECT_EQ(crates[1].type, 21);
    int qmx58 = 0, foreign = 0;
    for (uint16_t id : crates[0].ids) {
        qmx58 += id == QMX_MODULE_ID_QMX58;
        foreign += id != 0 && id != QMX_MODULE_ID_QMX58;
    }
    EXPECT_EQ(qmx58, 2);
    EXPECT_EQ(foreign, 1);
    EXPECT_EQ(crates[1].ids[0], QMX_MODULE_ID_QMX58);

    // The ICP capability of the "-2" and "-1" variants is known right after the open.
    Qmx58Handle h{};
    ASSERT_EQ(QMX58_Open(&h, 0x7F000001, 11111, crates[1].serial.c_str(), 1), QMX58_OK);
    EXPECT_EQ(h.moduleInfo.icpCapable, 0);
    EXPECT_STRNE(h.moduleInfo.serialNumber, "");
    EXPECT_EQ(QMX58_Close(&h), QMX58_OK);
}

TEST_F(ServerTest, EmptyCrateListGivesZeroCrates) {
    startServer("# no crates\n");
    std::vector<ScannedCrate> crates;
    ASSERT_EQ(scan(crates), QMX_OK);
    EXPECT_TRUE(crates.empty());
}

TEST_F(ServerTest, CrateWithSixteenModulesGivesSixteenOneBasedSlots) {
    std::string rig = "crate FULL-16 type 30\n";
    for (int s = 1; s <= 16; ++s) rig += "slot " + std::to_string(s) + " qmx58 M16-" + std::to_string(s) + "\n";
    startServer(rig);
    std::vector<ScannedCrate> crates;
    ASSERT_EQ(scan(crates), QMX_OK);
    ASSERT_EQ(crates.size(), 1u);
    EXPECT_EQ(crates[0].type, 30);
    std::set<std::string> serials;
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(crates[0].ids[i], QMX_MODULE_ID_QMX58) << "slot " << i + 1;
        Qmx58Handle h{};
        ASSERT_EQ(QMX58_Open(&h, 0x7F000001, 11111, "FULL-16", static_cast<uint16_t>(i + 1)), QMX58_OK);
        EXPECT_EQ(std::string(h.moduleInfo.serialNumber), "M16-" + std::to_string(i + 1));
        serials.insert(h.moduleInfo.serialNumber);
        EXPECT_EQ(QMX58_Close(&h), QMX58_OK);
    }
    EXPECT_EQ(serials.size(), 16u);
    Qmx58Handle h{};
    EXPECT_EQ(QMX58_Open(&h, 0x7F000001, 11111, "FULL-16", 0), QMX58_ERR_ARG);
    EXPECT_EQ(QMX58_Open(&h, 0x7F000001, 11111, "FULL-16", 17), QMX58_ERR_ARG);
}

TEST_F(ServerTest, MoreThanSixteenCratesAreCutAtSixteen) {
    std::string rig;
    for (int i = 0; i < 20; ++i) rig += "crate C" + std::to_string(i) + " type 10\n";
    startServer(rig);
    QmxCrateConnection c{};
    char serials[16][16];
    std::memset(serials, 0x7F, sizeof serials);
    ASSERT_EQ(QMX_Open(&c), QMX_OK);
    ASSERT_EQ(QMX_GetCrates(&c, serials), QMX_OK);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(std::string(serials[i]), "C" + std::to_string(i));
    EXPECT_EQ(QMX_Close(&c), QMX_OK);
}

TEST_F(ServerTest, CrateFaultsEndTheScanWithAnError) {
    startServer(qmx::sim::defaultRig());
    std::vector<ScannedCrate> crates;

    server_->setCrateListFault(true);
    EXPECT_EQ(scan(crates), QMX_ERR_REFUSED);
    server_->setCrateListFault(false);

    qmx::sim::CrateFaults f;
    f.failOpen = true;
    ASSERT_TRUE(server_->setCrateFaults("SIM-A1-0002", f));
    EXPECT_EQ(scan(crates), QMX_ERR_REFUSED);
    f = {};
    f.failInfo = true;
    ASSERT_TRUE(server_->setCrateFaults("SIM-A1-0002", f));
    crates.clear();
    EXPECT_EQ(scan(crates), QMX_ERR_REFUSED);

    QmxCrateConnection c{};
    std::strcpy(c.serialNumber, "NO-SUCH");
    EXPECT_EQ(QMX_Open(&c), QMX_ERR_NOT_FOUND);
    EXPECT_TRUE(serverIdle());
}

TEST_F(ServerTest, CrateCallsCheckTheirConnection) {
    startServer(qmx::sim::defaultRig());
    QmxCrateConnection zero{};
    char serials[16][16];
    QmxCrateInfo info;
    uint16_t ids[16];
    EXPECT_EQ(QMX_GetCrates(&zero, serials), QMX_ERR_NOT_OPEN);
    EXPECT_EQ(QMX_GetCrateInfo(&zero, &info), QMX_ERR_NOT_OPEN);
    EXPECT_EQ(QMX_Close(&zero), QMX_ERR_NOT_OPEN);
    EXPECT_EQ(QMX_Open(nullptr), QMX_ERR_ARG);
    ASSERT_EQ(QMX_Open(&zero), QMX_OK);
    EXPECT_EQ(QMX_Open(&zero), QMX_ERR_STATE);          // already open
    EXPECT_EQ(QMX_GetCrateInfo(&zero, &info), QMX_ERR_STATE);  // no crate selected
    EXPECT_EQ(QMX_GetCrateModules(&zero, ids), QMX_ERR_STATE);
    EXPECT_EQ(QMX_GetCrates(&zero, nullptr), QMX_ERR_ARG);
    // Init resets an open record and releases its connection.
    EXPECT_EQ(QMX_Init(&zero), QMX_OK);
    EXPECT_EQ(QMX_Close(&zero), QMX_ERR_NOT_OPEN);
    EXPECT_TRUE(serverIdle());
}

TEST(CrateNoServer, OpenFailsWithConnectError) {
    // A port that was free a moment ago: nothing listens there.
    qmx::sim::CrateServer probe(qmx::sim::Rig{}, {0, false, 1, 4});
    std::string error;
    ASSERT_TRUE(probe.start(error)) << error;
    const uint16_t port = probe.port();
    probe.stop();
    setenv("QMX_SERVER_PORT", std::to_string(port).c_str(), 1);
    QmxCrateConnection c{};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(QMX_Open(&c), QMX_ERR_CONNECT);
    Qmx58Handle h{};
    EXPECT_EQ(QMX58_Open(&h, 0x7F000001, 11111, "SIM-A1-0002", 1), QMX58_ERR_CONNECT);
    EXPECT_LT(qmxtest::secondsSince(t0), 2 * QMX_CONNECT_TIMEOUT_MS / 1000.0 + 2);
    EXPECT_NE(QMX58_IsOpened(&h), 0);
    unsetenv("QMX_SERVER_PORT");
}

}  // namespace
