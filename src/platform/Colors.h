#pragma once
// Colour references as the program states them: 0x00BBGGRR, red in the low byte. A few
// values stand for system colours rather than fixed ones.

#include <QColor>
#include <QPalette>

#include <cstdint>

namespace qmx {

using ColorRef = std::uint32_t;

inline constexpr ColorRef kColorButtonFace = 0xFF00000Fu;  // the system's button-face colour
inline constexpr ColorRef kColorGreen = 0x00FF00u;
inline constexpr ColorRef kColorOrange = 0x4080FFu;
inline constexpr ColorRef kColorLightOrange = 0x3E9EFFu;
inline constexpr ColorRef kColorRed = 0x0000FFu;
inline constexpr ColorRef kColorDialogError = 0x2080FFu;
inline constexpr ColorRef kColorHint = 0xA4FFFFu;

inline QColor toQColor(ColorRef c, const QPalette& palette = QPalette())
{
    if (c == kColorButtonFace)
        return palette.color(QPalette::Button);
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>((c >> 16) & 0xFF));
}

// Sets one colour role of a widget's palette.
template <class Widget>
void setPaletteColor(Widget* w, QPalette::ColorRole role, const QColor& c)
{
    QPalette pal = w->palette();
    pal.setColor(role, c);
    w->setPalette(pal);
}

}  // namespace qmx
