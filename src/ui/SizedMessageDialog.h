#pragma once
// The fixed-size modal message dialog both worker threads report failures in: 570 pixels
// wide, font size 12, the text word-wrapped across the width, the buttons sized to their
// captions (text height + 15 high, text width + 20 wide) and centred 10 pixels below the text,
// the height fitted to the last button. The error kind is white text on orange (0x2080FF).

#include "DialogSeam.h"

#include <QDialog>
#include <QList>

class QLabel;
class QPushButton;

namespace qmx {

class SizedMessageDialog : public QDialog {
public:
    static constexpr int kWidth = 570;
    static constexpr int kInitialHeight = 600;
    static constexpr int kFontPointSize = 12;

    SizedMessageDialog(QWidget* parent, const QString& caption, DialogKind kind, const QStringList& buttons,
                       const QString& text);

    // Index of the button that closed the dialog, -1 if none did.
    int clickedIndex() const { return _clicked; }
    QLabel* textLabel() const { return _label; }
    const QList<QPushButton*>& buttons() const { return _buttons; }

private:
    QLabel* _label = nullptr;
    QList<QPushButton*> _buttons;
    int _clicked = -1;
};

// Shows the dialog modally, centred over `parent`; returns the button index (-1 if none).
int showSizedMessageDialog(QWidget* parent, const QString& caption, DialogKind kind, const QStringList& buttons,
                           const QString& text);

}  // namespace qmx
