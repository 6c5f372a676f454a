#pragma once
// The program's dialog seam: Qt message boxes and the sized message dialog. While a dialog is
// up, the window's Escape short-cut is detached (the dialog handles its own keys).

#include "DialogSeam.h"

#include <functional>

class QDialog;

namespace qmx {

class QtDialogSeam : public DialogSeam {
public:
    void messageBox(QWidget* parent, const QString& text, const QString& caption, MsgIcon icon) override;
    int sizedMessageDialog(QWidget* parent, const QString& caption, DialogKind kind, const QStringList& buttons,
                           const QString& text) override;
    bool question(QWidget* parent, const QString& text, const QString& caption) override;
    QString fileDialog(QWidget* parent, const FileDialogRequest& request) override;
    std::optional<double> inputNumber(QWidget* parent, const NumberRequest& request) override;

    // Called with false before a modal dialog is shown and with true after it closed.
    std::function<void(bool)> onShortcutsAttached;

private:
    // Runs a dialog of ours modally, centred on the parent's window, with the short cuts
    // detached meanwhile; true when it was accepted.
    bool execCentred(QDialog& dialog, QWidget* parent);
};

}  // namespace qmx
