#include "QtDialogSeam.h"

#include "DialogCentring.h"
#include "SizedMessageDialog.h"

#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

#include <algorithm>

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

bool QtDialogSeam::question(QWidget* parent, const QString& text, const QString& caption)
{
    QMessageBox box(QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
    return box.exec() == QMessageBox::Yes;
}

bool QtDialogSeam::execCentred(QDialog& dialog, QWidget* parent)
{
    TDialogCentringHook hook(parent ? parent->window() : nullptr);
    if (parent)
        hook.watch(&dialog);
    if (onShortcutsAttached)
        onShortcutsAttached(false);
    const bool accepted = dialog.exec() == QDialog::Accepted;
    if (onShortcutsAttached)
        onShortcutsAttached(true);
    return accepted;
}

QString QtDialogSeam::fileDialog(QWidget* parent, const FileDialogRequest& request)
{
    QFileDialog d(parent);
    d.setObjectName(request.name);
    d.setOption(QFileDialog::DontUseNativeDialog);  // a window of ours, so that it can be centred
    d.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    d.setFileMode(request.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    d.setOption(QFileDialog::DontConfirmOverwrite, !request.confirmOverwrite);
    if (!request.filter.isEmpty())
        d.setNameFilter(request.filter);
    d.selectFile(request.defaultFileName);
    const bool accepted = execCentred(d, parent);
    return accepted && !d.selectedFiles().isEmpty() ? d.selectedFiles().constFirst() : QString();
}

std::optional<double> QtDialogSeam::inputNumber(QWidget* parent, const NumberRequest& request)
{
    QInputDialog d(parent);
    d.setObjectName(request.name);
    d.setWindowTitle(request.caption);
    d.setLabelText(request.label);
    d.setInputMode(QInputDialog::DoubleInput);
    d.setDoubleDecimals(request.decimals);
    d.setDoubleRange(request.minimum, request.maximum);
    d.setDoubleValue(request.value);
    d.setOkButtonText("Принять");
    d.setCancelButtonText("Отмена");
    const bool accepted = execCentred(d, parent);
    if (!accepted)
        return std::nullopt;
    return std::clamp(d.doubleValue(), request.minimum, request.maximum);
}

}  // namespace qmx
