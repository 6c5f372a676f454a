#include "ProbeModule.h"

#include "CliOutput.h"
#include "Probe.h"
#include "ProgramPath.h"
#include "SettingsKeys.h"
#include "SettingsLocation.h"

#include <QCoreApplication>
#include <QFile>

#include <cstring>

namespace qmx::cli {
namespace {

// The window's settings file, found by the window's rule (SettingsLocation.h) from the
// program's folder as the kernel names it: bytes end to end, so a folder whose name is no
// valid UTF-8 still leads to its own file.
std::string windowSettingsFile()
{
    const std::string folder = settings::settingsFolder(platform::folderOfBytes(platform::programFileBytes()));
    return folder + "/" + settings::kFileName;
}

// The crate the options or the settings file name, and the slot in it, chosen as the
// window's discovery chooses (a crate not found: the first; a slot means nothing in a crate
// other than the one named). False (with the message given) when the options name a crate or
// slot that holds no usable QMX58.
bool chooseTarget(ModuleSession& s, const RunOptions& o, const QString& fileSerial, int fileSlot)
{
    DiscoveryTable& d = s.table;
    QString serial = fileSerial;
    int slot = fileSlot;
    if (o.crate) {
        // A serial first, then the crate's number in the scan (the crate server's list order).
        QStringList listed;
        for (int i = 0; i < DiscoveryTable::kMaxCrates; ++i)
            if (d.rawSerials[i][0] != '\0')
                listed << serialText(d.rawSerials[i]);
        bool isNumber = false;
        const int n = o.crate->toInt(&isNumber);
        if (listed.contains(*o.crate))
            serial = *o.crate;
        else if (isNumber && n >= 1 && n <= listed.size())
            serial = listed[n - 1];
        else {
            complain("--crate: no crate '" + *o.crate + "'");
            return false;
        }
        if (serial != fileSerial)
            slot = -1;
    }
    s.crateIndex = -1;
    for (int c = 0; c < d.crateCount && s.crateIndex < 0; ++c)
        if (serialText(d.crateSerials[c]) == serial)
            s.crateIndex = c;
    if (s.crateIndex < 0) {
        if (o.crate) {
            complain("--crate: crate " + serial + " holds no QMX58 that opens");
            return false;
        }
        s.crateIndex = 0;
        slot = -1;
    }
    s.crateSerial = serialText(d.crateSerials[s.crateIndex]);
    if (o.slot) {
        bool held = false;
        for (int m = 0; m < d.moduleCounts[s.crateIndex]; ++m)
            held = held || d.moduleSlots[s.crateIndex][m] == *o.slot;
        if (!held) {
            complain(QString("--slot: slot %1 of crate %2 holds no QMX58 that opens").arg(*o.slot).arg(s.crateSerial));
            return false;
        }
        slot = *o.slot;
    }
    selectTarget(d, s.crateSerial, slot);
    s.slot = d.moduleSlots[s.crateIndex][d.selectedModuleIndex[s.crateIndex]];
    s.crateType = d.crateTypes[s.crateIndex];
    return true;
}

}  // namespace

ModuleSession::~ModuleSession()
{
    if (QMX58_IsOpened(&handle) == 0)
        QMX58_Close(&handle);
}

QString ModuleSession::moduleSerial() const { return serialText(handle.moduleInfo.serialNumber); }

QString ModuleSession::moduleName() const
{
    const char* name = handle.moduleInfo.moduleName;
    return QString::fromLatin1(name, static_cast<int>(strnlen(name, sizeof handle.moduleInfo.moduleName)));
}

int endedByOutside()
{
    if (caughtSignal() != 0)
        return kExitInterrupted;
    if (deadlinePassed())
        return kExitTimedOut;
    return kExitDone;
}

int openModule(const RunOptions& o, ModuleSession& s)
{
    const std::string path = o.settingsFile ? QFile::encodeName(*o.settingsFile).toStdString() : windowSettingsFile();
    // Reading never creates the file; a missing file reads as the factory values.
    s.file = std::make_unique<IniFile>(path);
    if (!reportScan(scanCrates(s.table, s.handle, ServerAddress{})))
        return endedByOutside() != kExitDone ? endedByOutside() : kExitNoModule;
    if (const int e = endedByOutside())
        return e;
    const OperatorSettings discovery = readOperatorSettings(*s.file, false);
    if (!chooseTarget(s, o, QString::fromStdString(discovery.crateSerial), discovery.moduleSlot))
        return kExitNoModule;
    if (!openSelectedModule(s.table, s.handle, ServerAddress{})) {
        if (const int e = endedByOutside())
            return e;
        tell("Не могу проинициализировать модуль в указанном слоте!");
        return kExitNoModule;
    }
    s.table.moduleState = 2;
    s.icp = s.handle.moduleInfo.icpCapable != 0;
    s.settings = readOperatorSettings(*s.file, s.icp);
    QString error;
    if (!applyOptions(o, s.icp, s.settings, error)) {
        complain(error);
        return kExitUsage;
    }
    return endedByOutside();
}

int openRunOutput(const std::optional<QString>& file, Output& out)
{
    const Output::Status opened = file ? out.open(*file) : out.openStandardOutput();
    if (opened == Output::Status::Interrupted)
        return kExitInterrupted;
    if (opened == Output::Status::TimedOut)
        return kExitTimedOut;
    if (opened != Output::Status::Ok) {
        complain("--output: " + out.error());
        return kExitUsage;
    }
    return 0;
}

}  // namespace qmx::cli
