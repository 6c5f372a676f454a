#pragma once
// The centring hook of the open and save dialogs: while a watched dialog is up it is moved,
// without resizing, to the middle of the main window whenever its window is shown; when the
// dialog closes the hook lets go of it. One dialog at a time holds the hook.

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>

class QWidget;

namespace qmx {

// Top-left corner that centres a window of `size` on the frame `main`.
inline QPoint centredOn(const QRect& main, const QSize& size)
{
    return {main.left() + (main.width() - size.width()) / 2, main.top() + (main.height() - size.height()) / 2};
}

class TDialogCentringHook : public QObject {
public:
    explicit TDialogCentringHook(QWidget* mainWindow);

    // Watches a dialog: its show installs the hook (unless one is installed), its close
    // releases it.
    void watch(QWidget* dialog);
    // The dialog window that holds the hook now, if any.
    QWidget* hooked() const { return _hooked; }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    QWidget* _main;
    QPointer<QWidget> _hooked;
};

}  // namespace qmx
