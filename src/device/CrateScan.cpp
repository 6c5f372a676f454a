#include "CrateScan.h"

#include "qmxapi.h"

#include <cstring>

namespace qmx {
namespace {

// Copies a serial into a 16-byte field, byte 15 always NUL.
void copySerial(char (&dst)[DiscoveryTable::kTextSize], const char* src)
{
    std::memset(dst, 0, sizeof dst);
    std::memcpy(dst, src, strnlen(src, DiscoveryTable::kTextSize - 1));
}

void closeIfOpen(Qmx58Handle& h)
{
    if (QMX58_IsOpened(&h) == 0)
        QMX58_Close(&h);
}

}  // namespace

QString serialText(const char* bytes)
{
    return QString::fromLatin1(bytes, static_cast<int>(strnlen(bytes, DiscoveryTable::kTextSize)));
}

QString moduleVariantName(const char* libraryName, bool icpCapable)
{
    return QString::fromLatin1(libraryName, static_cast<int>(strnlen(libraryName, 8))) + (icpCapable ? "-2" : "-1");
}

ScanResult scanCrates(DiscoveryTable& d, Qmx58Handle& h, const ServerAddress& server)
{
    // The crate list, on one connection to the crate server.
    QmxCrateConnection conn{};
    std::memset(d.rawSerials, 0, sizeof d.rawSerials);
    d.rawCrateCount = 0;
    bool listed = QMX_Init(&conn) == 0;
    conn.channel = 0;
    listed = listed && QMX_Open(&conn) == 0 && QMX_GetCrates(&conn, d.rawSerials) == 0;
    QMX_Close(&conn);
    if (!listed)
        return ScanResult::NoCrateList;

    // Type and module IDs of every listed crate; one that cannot be read fails the scan.
    std::memset(d.rawCrateTypes, 0, sizeof d.rawCrateTypes);
    std::memset(d.rawModuleIds, 0, sizeof d.rawModuleIds);
    for (int i = 0; i < DiscoveryTable::kMaxCrates; ++i) {
        if (d.rawSerials[i][0] == '\0')
            continue;
        d.rawSerials[i][DiscoveryTable::kTextSize - 1] = '\0';
        ++d.rawCrateCount;
        QmxCrateConnection c{};
        QMX_Init(&c);
        copySerial(c.serialNumber, d.rawSerials[i]);
        QmxCrateInfo info{};
        const bool ok = QMX_Open(&c) == 0 && QMX_GetCrateInfo(&c, &info) == 0 && QMX_GetCrateModules(&c, d.rawModuleIds[i]) == 0;
        QMX_Close(&c);
        if (!ok)
            return ScanResult::CrateUnreadable;
        d.rawCrateTypes[i] = info.crateType;
    }

    // The crates that hold QMX58 modules which open, in list order.
    d.crateCount = 0;
    std::memset(d.crateSerials, 0, sizeof d.crateSerials);
    std::memset(d.crateTypes, 0, sizeof d.crateTypes);
    std::memset(d.moduleSlots, 0, sizeof d.moduleSlots);
    std::memset(d.moduleCounts, 0, sizeof d.moduleCounts);
    std::memset(d.moduleSerials, 0, sizeof d.moduleSerials);
    std::memset(d.icpCapable, 0, sizeof d.icpCapable);
    std::memset(d.moduleFirmware, 0, sizeof d.moduleFirmware);
    int j = 0;
    for (int i = 0; i < DiscoveryTable::kMaxCrates && j < DiscoveryTable::kMaxCrates; ++i) {
        if (d.rawSerials[i][0] == '\0')
            continue;
        for (int k = 1; k <= DiscoveryTable::kMaxSlots; ++k) {
            if (d.rawModuleIds[i][k - 1] != QMX_MODULE_ID_QMX58)
                continue;
            closeIfOpen(h);
            if (QMX58_Open(&h, server.address, server.port, d.rawSerials[i], static_cast<std::uint16_t>(k)) != 0)
                continue;
            if (d.crateTypes[j] == 0) {
                // The first module of the crate: the open already reported serial and ICP.
                d.crateTypes[j] = d.rawCrateTypes[i];
            } else if (QMX58_GetConfig(&h) != 0) {
                continue;
            }
            const std::uint16_t m = d.moduleCounts[j];
            copySerial(d.moduleSerials[j][m], h.moduleInfo.serialNumber);
            d.icpCapable[j][m] = h.moduleInfo.icpCapable;
            d.moduleFirmware[j][m] = h.moduleInfo.firmwareVersion;
            d.moduleSlots[j][m] = static_cast<std::uint16_t>(k);
            d.moduleCounts[j] = static_cast<std::uint16_t>(m + 1);
        }
        if (d.moduleCounts[j] > 0) {
            copySerial(d.crateSerials[j], d.rawSerials[i]);
            ++j;
        }
    }
    d.crateCount = static_cast<std::uint16_t>(j);
    closeIfOpen(h);
    return d.crateCount == 0 ? ScanResult::NoModule : ScanResult::Ok;
}

QString scanFailureMessage(ScanResult result)
{
    switch (result) {
    case ScanResult::NoCrateList:
        return "Не могу найти ни одного QMX крейта!";
    case ScanResult::NoModule:
        return QString("Не могу найти ни одного QMX крейта, где бы был установлен модуль ") + "QMX58" + "!";
    case ScanResult::CrateUnreadable:
    case ScanResult::Ok:
        break;
    }
    return QString();
}

void selectTarget(DiscoveryTable& d, const QString& serial, int slot)
{
    d.selectedCrateIndex = 0;
    bool found = false;
    for (int c = 0; c < d.crateCount; ++c)
        if (serialText(d.crateSerials[c]) == serial) {
            d.selectedCrateIndex = static_cast<std::uint16_t>(c);
            found = true;
            break;
        }
    for (int c = 0; c < d.crateCount; ++c) {
        d.selectedModuleIndex[c] = 0;
        if (c != d.selectedCrateIndex || !found)
            continue;
        for (int m = 0; m < d.moduleCounts[c]; ++m)
            if (d.moduleSlots[c][m] == slot) {
                d.selectedModuleIndex[c] = static_cast<std::uint16_t>(m);
                break;
            }
    }
}

bool openSelectedModule(const DiscoveryTable& d, Qmx58Handle& h, const ServerAddress& server)
{
    closeIfOpen(h);
    QMX58_Init(&h);
    const std::uint16_t crate = d.selectedCrateIndex;
    if (crate >= d.crateCount || crate >= DiscoveryTable::kMaxCrates)
        return false;
    const std::uint16_t module = d.selectedModuleIndex[crate];
    if (module >= d.moduleCounts[crate] || module >= DiscoveryTable::kMaxSlots)
        return false;
    return QMX58_Open(&h, server.address, server.port, d.crateSerials[crate], d.moduleSlots[crate][module]) == 0 &&
           QMX58_GetConfig(&h) == 0;
}

}  // namespace qmx
