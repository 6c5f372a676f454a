// qmx58-probe scan: the crate server's crates, their types and data-rate limits, and the
// module in every occupied slot, from the same scan the window's discovery runs.

#include "Probe.h"

#include "CrateScan.h"
#include "CliOutput.h"
#include "CrateTypes.h"
#include "ProbeModule.h"
#include "qmxapi.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <cstdio>

namespace qmx::cli {
namespace {

struct ModuleLine {
    int slot = 0;
    std::uint16_t id = 0;
    bool qmx58 = false;
    bool usable = false;  // a QMX58 that opened during the scan
    QString name, serial;
    int firmware = 0;
    bool icp = false;
};

struct CrateLine {
    int number = 0;
    QString serial;
    std::uint8_t type = 0;
    QList<ModuleLine> modules;
};

QString hexId(std::uint16_t id) { return "0x" + QString("%1").arg(id, 4, 16, QChar('0')).toUpper(); }

// The raw crate list with the QMX58 details of the compact part matched by serial and slot.
QList<CrateLine> describe(const DiscoveryTable& d)
{
    QList<CrateLine> crates;
    int number = 0;
    for (int i = 0; i < DiscoveryTable::kMaxCrates; ++i) {
        if (d.rawSerials[i][0] == '\0')
            continue;
        CrateLine c;
        c.number = ++number;
        c.serial = serialText(d.rawSerials[i]);
        c.type = d.rawCrateTypes[i];
        int compact = -1;
        for (int j = 0; j < d.crateCount; ++j)
            if (serialText(d.crateSerials[j]) == c.serial)
                compact = j;
        for (int k = 1; k <= DiscoveryTable::kMaxSlots; ++k) {
            const std::uint16_t id = d.rawModuleIds[i][k - 1];
            if (id == 0)
                continue;
            ModuleLine m;
            m.slot = k;
            m.id = id;
            m.qmx58 = id == QMX_MODULE_ID_QMX58;
            m.name = m.qmx58 ? QString("QMX58") : hexId(id);
            for (int n = 0; compact >= 0 && n < d.moduleCounts[compact]; ++n) {
                if (d.moduleSlots[compact][n] != k)
                    continue;
                m.usable = true;
                m.icp = d.icpCapable[compact][n] != 0;
                m.name = moduleVariantName("QMX58", m.icp);
                m.serial = serialText(d.moduleSerials[compact][n]);
                m.firmware = d.moduleFirmware[compact][n];
            }
            c.modules << m;
        }
        crates << c;
    }
    return crates;
}

QByteArray asJson(const QList<CrateLine>& crates)
{
    QJsonArray list;
    for (const CrateLine& c : crates) {
        QJsonArray modules;
        for (const ModuleLine& m : c.modules) {
            QJsonObject o{{"slot", m.slot}, {"module_id", hexId(m.id)}, {"name", m.name}};
            if (m.qmx58) {
                o.insert("usable", m.usable);
                o.insert("serial", m.usable ? QJsonValue(m.serial) : QJsonValue());
                o.insert("firmware", m.usable ? QJsonValue(m.firmware) : QJsonValue());
                o.insert("icp_capable", m.usable ? QJsonValue(m.icp) : QJsonValue());
            }
            modules.append(o);
        }
        list.append(QJsonObject{{"number", c.number},
                                {"serial", c.serial},
                                {"type", c.type},
                                {"type_name", crateTypeName(c.type)},
                                {"data_rate_limit_kBps", crateDataRateLimitKBps(c.type)},
                                {"modules", modules}});
    }
    return QJsonDocument(QJsonObject{{"crates", list}}).toJson(QJsonDocument::Indented);
}

QByteArray asTable(const QList<CrateLine>& crates)
{
    QString text;
    QTextStream out(&text);
    for (const CrateLine& c : crates) {
        out << "crate " << c.number << "  " << c.serial << "  type " << c.type << " " << crateTypeName(c.type)
            << "  data-rate limit " << crateDataRateLimitKBps(c.type) << " KB/s\n";
        if (c.modules.isEmpty()) {
            out << "  (no modules)\n";
            continue;
        }
        out << QString("  %1  %2  %3  %4  %5\n")
                   .arg("slot", 4)
                   .arg("module", -8)
                   .arg("serial", -16)
                   .arg("firmware", 8)
                   .arg("ICP");
        for (const ModuleLine& m : c.modules) {
            QString line = QString("  %1  %2").arg(m.slot, 4).arg(m.name, -8);
            if (m.usable)
                line += QString("  %1  %2  %3").arg(m.serial, -16).arg(m.firmware, 8).arg(m.icp ? "yes" : "no");
            else if (m.qmx58)
                line += "  (does not open)";
            while (line.endsWith(' '))
                line.chop(1);
            out << line << "\n";
        }
    }
    out.flush();
    return text.toUtf8();
}

}  // namespace

int runScan(bool json)
{
    DiscoveryTable table;
    Qmx58Handle handle{};
    const ScanResult result = scanCrates(table, handle, ServerAddress{});
    if (QMX58_IsOpened(&handle) == 0)
        QMX58_Close(&handle);
    if (const int e = endedByOutside())
        return e;
    // Crates without a QMX58 are still listed; a failed crate list or crate is not.
    if (result == ScanResult::NoCrateList || result == ScanResult::CrateUnreadable) {
        reportScan(result);
        return kExitNoModule;
    }
    const QList<CrateLine> crates = describe(table);
    const QByteArray text = json ? asJson(crates) : asTable(crates);
    // Through the run's output, so a reader that never reads cannot hold a signal off.
    Output out;
    Output::Status written = out.openStandardOutput();
    if (written == Output::Status::Ok)
        written = out.write(text.constData(), static_cast<std::size_t>(text.size()));
    if (written == Output::Status::Interrupted)
        return kExitInterrupted;
    if (written == Output::Status::TimedOut)
        return kExitTimedOut;
    if (written == Output::Status::Failed) {
        complain(out.error());
        return kExitAcquisition;
    }
    return reportScan(result) ? kExitDone : kExitNoModule;
}

}  // namespace qmx::cli
