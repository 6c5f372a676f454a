#pragma once
// Messages a window posts to itself: the stand-in for posting WM_USER-based messages to the
// window's own handle. The event carries the message number and its two parameters and is
// delivered to the window's event() on the window thread, after the events already queued.

#include <QEvent>

#include <cstdint>

class QObject;

namespace qmx {

inline constexpr int WM_USER = 0x0400;

class WindowMessageEvent : public QEvent {
public:
    WindowMessageEvent(int message, std::intptr_t wParam, std::intptr_t lParam)
        : QEvent(eventType()), message(message), wParam(wParam), lParam(lParam) {}

    static QEvent::Type eventType();

    const int message;
    const std::intptr_t wParam;
    const std::intptr_t lParam;
};

void PostWindowMessage(QObject* window, int message, std::intptr_t wParam, std::intptr_t lParam);

}  // namespace qmx
