#include "InitAndConfigThread.h"

namespace qmx {

TInitAndConfigThread::TInitAndConfigThread(DiscoveryHost& host, bool fromSettings, std::int16_t mode)
    : _host(host), _fromSettings(fromSettings), _mode(mode)
{
}

void TInitAndConfigThread::Execute()
{
    _host.discoveryRunningFlag().store(1);
    _host.discoveryStarted();
}

}  // namespace qmx
