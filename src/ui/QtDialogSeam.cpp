#include "QtDialogSeam.h"

#include "SizedMessageDialog.h"

#include <QMessageBox>

namespace qmx {

void QtDialogSeam::messageBox(QWidget* parent, const QString& text, const QString& caption, MsgIcon icon)
{
    QMessageBox::Icon qi = QMessageBox::NoIcon;
    switch (icon) {
    case MsgIcon::Information: qi = QMessageBox::Information; break;
    case MsgIcon::Warning: qi = QMessageBox::Warning; break;
    case MsgIcon::Error: qi = QMessageBox::Critical; break;
    case MsgIcon::None: break;
    }
    QMessageBox box(qi, caption, text, QMessageBox::Ok, parent);
    box.exec();
}

int QtDialogSeam::sizedMessageDialog(QWidget* parent, const QString& caption, DialogKind kind,
                                     const QStringList& buttons, const QString& text)
{
    if (onShortcutsAttached)
        onShortcutsAttached(false);
    const int result = showSizedMessageDialog(parent, caption, kind, buttons, text);
    if (onShortcutsAttached)
        onShortcutsAttached(true);
    return result;
}

}  // namespace qmx
