#include "InitAndConfigThread.h"

#include "CrateTypes.h"

#include <cstring>

namespace qmx {

TInitAndConfigThread::TInitAndConfigThread(DiscoveryHost& host, bool fromSettings, std::int16_t mode)
    : _host(host), _fromSettings(fromSettings), _mode(mode)
{
}

QString moduleVariantName(const char* libraryName, bool icpCapable)
{
    return QString::fromLatin1(libraryName, static_cast<int>(strnlen(libraryName, 8))) + (icpCapable ? "-2" : "-1");
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
    if (QMX58_IsOpened(&h) == 0)
        QMX58_Close(&h);
    QMX58_Init(&h);
    const std::uint16_t crate = d.selectedCrateIndex;
    if (crate >= d.crateCount || crate >= DiscoveryTable::kMaxCrates)
        return false;
    const std::uint16_t module = d.selectedModuleIndex[crate];
    if (module >= d.moduleCounts[crate] || module >= DiscoveryTable::kMaxSlots)
        return false;
    if (QMX58_Open(&h, 0x7F000001, 11111, d.crateSerials[crate], d.moduleSlots[crate][module]) != 0)
        return false;
    if (QMX58_GetConfig(&h) != 0)
        return false;
    moduleName = moduleVariantName(h.moduleInfo.moduleName, h.moduleInfo.icpCapable != 0);
    d.moduleState = 2;
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
        // 1. Start.
        messageShown = false;
        librariesOk = false;
        crateTypeCode = 0;
        QThread::msleep(50);
        Synchronize([this] { _host.discoveryPrepare(*this); });
        _host.discoveryPrepared();
        QThread::msleep(100);
        // 2.
        if (!messageShown) {
            Synchronize([this] { _host.discoveryRestorePosition(*this); });
            QThread::msleep(100);
        }
        // 3. By mode.
        bool applied = true;
        switch (_mode) {
        case 3: {
            Synchronize([this] { _host.discoveryScanAndOpen(*this); });
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
            // 4.
            if (!messageShown) {
                Synchronize([this] { _host.discoveryApplySettings(*this); });
                QThread::msleep(100);
            }
        }
    } catch (...) {
        // 5.
        try {
            ShowMessage("Опаньки!!! Поймали неустранимое исключение!!!\nСрочно сообщите разработчику!");
        } catch (...) {
        }
        _host.discoveryTable().crateOk = 0;
        _host.discoveryTable().moduleState = 0;
    }
    // 6.
    QThread::msleep(100);
    try {
        Synchronize([this] { _host.discoveryFinish(*this); });
    } catch (...) {
    }
}

}  // namespace qmx
