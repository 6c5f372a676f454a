#include "InitAndConfigThread.h"

#include "CrateTypes.h"

#include <cstring>

namespace qmx {

TInitAndConfigThread::TInitAndConfigThread(DiscoveryHost& host, bool fromSettings, std::int16_t mode)
    : _host(host), _fromSettings(fromSettings), _mode(mode)
{
}

void TInitAndConfigThread::ShowMessage(const QString& text)
{
    pendingMessage = text;
    Synchronize([this] { _host.discoveryShowMessage(*this); });
}

void TInitAndConfigThread::takeSelectedCrateType()
{
    const DiscoveryTable& d = _host.discoveryTable();
    if (d.selectedCrateIndex < d.crateCount && d.selectedCrateIndex < DiscoveryTable::kMaxCrates) {
        crateTypeCode = d.crateTypes[d.selectedCrateIndex];
        crateTypeName = qmx::crateTypeName(crateTypeCode);
    } else {
        crateTypeCode = 0;
        crateTypeName.clear();
    }
}

bool TInitAndConfigThread::OpenSelectedModule()
{
    moduleName.clear();
    DiscoveryTable& d = _host.discoveryTable();
    Qmx58Handle& h = _host.moduleHandle();
    if (!openSelectedModule(d, h, _host.discoveryServer()))
        return false;
    moduleName = moduleVariantName(h.moduleInfo.moduleName, h.moduleInfo.icpCapable != 0);
    d.moduleState = 2;
    return true;
}

void TInitAndConfigThread::ConfigureModule()
{
    // The module calls of applying the settings, on the thread: the phase table (ICP-capable
    // modules), then the configuration the window put into the handle. Neither result is
    // examined, as when the window applied them itself.
    Qmx58Handle& h = _host.moduleHandle();
    if (h.moduleInfo.icpCapable != 0) {
        _host.discoveryReadIcpPhase(icpPhase);
        Synchronize([this] { _host.discoveryShowIcpPhase(*this); });
    }
    QMX58_SetADC(&h);
}

bool TInitAndConfigThread::ScanAndOpen()
{
    Synchronize([this] { _host.discoveryScanBegin(*this); });
    DiscoveryTable& d = _host.discoveryTable();
    const ScanResult scanned = scanCrates(d, _host.moduleHandle(), _host.discoveryServer());
    if (scanned != ScanResult::Ok) {
        const QString message = scanFailureMessage(scanned);
        if (!message.isEmpty())
            ShowMessage(message);
        return false;
    }
    selectTarget(d, targetSerial, targetSlot);
    Synchronize([this] { _host.discoveryShowScan(*this); });
    if (!openSelectedModule(d, _host.moduleHandle(), _host.discoveryServer()))
        return false;
    d.moduleState = 1;
    return true;
}

bool TInitAndConfigThread::ReopenInSelectedCrate()
{
    moduleName.clear();
    takeSelectedCrateType();
    Qmx58Handle& h = _host.moduleHandle();
    if (QMX58_IsOpened(&h) == 0)
        QMX58_Close(&h);
    Synchronize([this] { _host.discoveryRebuildModuleList(); });
    if (!OpenSelectedModule())
        return false;
    _host.discoveryTable().crateOk = 1;
    return true;
}

void TInitAndConfigThread::Execute()
{
    _host.discoveryRunningFlag().store(1);
    _host.discoveryStarted();
    try {
        // Start: the window knows the thread runs; Prepare on the window thread.
        messageShown = false;
        librariesOk = false;
        crateTypeCode = 0;
        QThread::msleep(50);
        Synchronize([this] { _host.discoveryPrepare(*this); });
        _host.discoveryPrepared();
        QThread::msleep(100);
        // The saved window position, unless Prepare had something to report.
        if (!messageShown) {
            Synchronize([this] { _host.discoveryRestorePosition(*this); });
            QThread::msleep(100);
        }
        // Find the devices (3), reopen in another crate (2) or open another module (1).
        bool applied = true;
        switch (_mode) {
        case 3: {
            ScanAndOpen();
            if (!messageShown) {
                takeSelectedCrateType();
                if (_host.discoveryTable().moduleState == 1)
                    OpenSelectedModule();
            }
            Synchronize([this] { _host.discoveryShowStatus(*this, false); });
            break;
        }
        case 1:
            if (!OpenSelectedModule()) {
                ShowMessage("Не могу проинициализировать модуль в указанном слоте!");
                applied = false;
            } else {
                Synchronize([this] { _host.discoveryShowStatus(*this, false); });
            }
            break;
        case 2:
            if (!ReopenInSelectedCrate()) {
                ShowMessage("Не могу проинициализировать QMX крейт с модулями в указанном слоте!");
                applied = false;
            } else {
                Synchronize([this] { _host.discoveryShowStatus(*this, false); });
            }
            break;
        default:
            break;
        }
        if (applied) {
            QThread::msleep(100);
            // The saved settings onto the window.
            if (!messageShown) {
                Synchronize([this] { _host.discoveryApplySettings(*this); });
                if (configureModule)
                    ConfigureModule();
                QThread::msleep(100);
            }
        }
    } catch (...) {
        // Anything unexpected: one message, and nothing counts as usable.
        try {
            ShowMessage("Опаньки!!! Поймали неустранимое исключение!!!\nСрочно сообщите разработчику!");
        } catch (...) {
        }
        _host.discoveryTable().crateOk = 0;
        _host.discoveryTable().moduleState = 0;
    }
    // Finish: the window usable again.
    QThread::msleep(100);
    try {
        Synchronize([this] { _host.discoveryFinish(*this); });
    } catch (...) {
    }
}

}  // namespace qmx
