#pragma once
// The program's icon, drawn in code: a green trace over a dark screen with a yellow "58".
// The window shows it at its design size; the package renders it at the icon theme's sizes.
#include <QIcon>
#include <QPixmap>

namespace qmx {

// The size the drawing is made for, in pixels.
inline constexpr int kApplicationIconDesignSize = 64;

// The icon drawn on a transparent size x size pixmap (the design scaled); needs a
// QGuiApplication for the font.
QPixmap drawApplicationIcon(int size);

// The window's icon: the design size.
QIcon applicationIcon();

}  // namespace qmx
