#include "WindowMessages.h"

#include <QCoreApplication>

namespace qmx {

QEvent::Type WindowMessageEvent::eventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

void PostWindowMessage(QObject* window, int message, std::intptr_t wParam, std::intptr_t lParam)
{
    QCoreApplication::postEvent(window, new WindowMessageEvent(message, wParam, lParam));
}

}  // namespace qmx
