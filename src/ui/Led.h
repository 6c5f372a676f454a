#pragma once
// TLed: a round indicator whose fill colour carries a status; its hint is the tool tip.
// TFlashLed: an indicator with a lit and an unlit colour and a lit state.

#include "Colors.h"

#include <QWidget>

namespace qmx {

class TLed : public QWidget {
public:
    explicit TLed(QWidget* parent = nullptr);

    void setBrushColor(ColorRef c);
    ColorRef brushColor() const { return _color; }
    QColor shownColor() const;

    QSize sizeHint() const override { return {20, 20}; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    ColorRef _color = kColorButtonFace;
};

class TFlashLed : public TLed {
public:
    explicit TFlashLed(QWidget* parent = nullptr);

    void setColors(ColorRef lit, ColorRef unlit);
    void setLit(bool lit);
    bool isLit() const { return _lit; }
    ColorRef litColor() const { return _litColor; }
    ColorRef unlitColor() const { return _unlitColor; }

private:
    void refresh();

    ColorRef _litColor = kColorButtonFace;
    ColorRef _unlitColor = kColorButtonFace;
    bool _lit = false;
};

}  // namespace qmx
