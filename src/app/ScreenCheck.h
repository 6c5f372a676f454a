#pragma once
// The program needs a screen of at least 1280 x 768 pixels.

#include <QSize>

namespace qmx {

inline bool screenIsLargeEnough(const QSize& screen) { return screen.width() >= 1280 && screen.height() >= 768; }

inline constexpr const char* kScreenTooSmallText = "Разрешение монитора должно быть не ниже 1280x768!";
inline constexpr const char* kScreenTooSmallCaption = "Ошибка!!!";

}  // namespace qmx
