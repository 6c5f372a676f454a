#pragma once
// TInitAndConfigThread: the short-lived discovery worker. It reports that it runs as its first
// act, then finds crates and modules, opens the selected module, shows the status and applies
// the saved settings. Widgets, dialogs and the settings file are reached only through
// routines of the window that the thread runs synchronised on the window thread; the library
// calls of modes 1 and 2 run on the thread itself. It frees itself when done.

#include "CrateScan.h"
#include "DiscoveryTable.h"
#include "IniFile.h"
#include "WorkerThread.h"
#include "qmx58api.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

namespace qmx {

class TInitAndConfigThread;

// What the discovery thread needs from the window. The routines named "sync" run on the
// window thread, called through Synchronize.
class DiscoveryHost {
public:
    virtual ~DiscoveryHost() = default;
    // The window's "discovery running" byte: the thread sets it to 1 as its first act.
    virtual std::atomic<std::uint8_t>& discoveryRunningFlag() = 0;
    // Called on the thread right after it reported that it runs, and after Prepare (hooks
    // for tests).
    virtual void discoveryStarted() {}
    virtual void discoveryPrepared() {}

    // sync routines
    virtual void discoveryPrepare(TInitAndConfigThread& t) = 0;
    virtual void discoveryRestorePosition(TInitAndConfigThread& t) = 0;
    // Mode 3 runs the crate scan on the thread (the window never waits on the network): the
    // window clears its module list before the scan and shows the crate and module lists of
    // the table after a successful one.
    virtual void discoveryScanBegin(TInitAndConfigThread& t) = 0;
    virtual void discoveryShowScan(TInitAndConfigThread& t) = 0;
    virtual void discoveryRebuildModuleList() = 0;
    virtual void discoveryShowStatus(TInitAndConfigThread& t, bool undetermined) = 0;
    virtual void discoveryApplySettings(TInitAndConfigThread& t) = 0;
    virtual void discoveryShowMessage(TInitAndConfigThread& t) = 0;
    // After Apply settings has filled the handle: the module's ICP phase table read on the
    // thread (the window's reader, which tests may replace), then shown by a sync routine.
    virtual void discoveryReadIcpPhase(double* table) = 0;
    virtual void discoveryShowIcpPhase(TInitAndConfigThread& t) = 0;
    virtual void discoveryFinish(TInitAndConfigThread& t) = 0;

    // Window data the thread uses while the window leaves them alone (its device controls are
    // disabled from Prepare to Finish).
    virtual DiscoveryTable& discoveryTable() = 0;
    virtual Qmx58Handle& moduleHandle() = 0;
    // Where the crate server listens.
    virtual ServerAddress discoveryServer() const = 0;
};

class TInitAndConfigThread : public TThread {
public:
    // The oldest library version the program works with: 1.32.35.
    static constexpr std::uint32_t kRequiredLibraryKey = 73763;

    TInitAndConfigThread(DiscoveryHost& host, bool fromSettings, std::int16_t mode);

    bool fromSettings() const { return _fromSettings; }
    std::int16_t mode() const { return _mode; }

    // Thread fields, used by the window's routines while the thread waits for them.
    QString targetSerial;
    std::int16_t targetSlot = -1;
    QString moduleName;
    std::uint8_t crateTypeCode = 0;
    QString crateTypeName;
    bool librariesOk = false;
    bool messageShown = false;
    std::unique_ptr<IniFile> settingsFile;
    QString pendingMessage;
    // Set by Apply settings when the module is to be configured by the thread; the ICP phase
    // table it read.
    bool configureModule = false;
    double icpPhase[5] = {};

    // Sets the pending message and shows it (once per step sequence), on the window thread.
    void ShowMessage(const QString& text);

    // Opens the selected crate's selected module and reads its configuration; the module name
    // and ModuleState 2 on success. Runs on the thread (modes 1 and 3).
    bool OpenSelectedModule();
    // Mode 2: the module list of the selected crate rebuilt, then OpenSelectedModule.
    bool ReopenInSelectedCrate();

    // Sets crate type code and name from the selected crate of the discovery table.
    void takeSelectedCrateType();
    // Mode 3: the crate scan on the thread, the target selected, the lists shown, the selected
    // module opened (ModuleState 1 on success).
    bool ScanAndOpen();
    // The module calls of Apply settings, on the thread.
    void ConfigureModule();

protected:
    void Execute() override;

private:
    DiscoveryHost& _host;
    bool _fromSettings;
    std::int16_t _mode;
};


}  // namespace qmx
