#include "DialogCentring.h"

#include <QEvent>
#include <QWidget>

namespace qmx {

TDialogCentringHook::TDialogCentringHook(QWidget* mainWindow) : QObject(mainWindow), _main(mainWindow) {}

void TDialogCentringHook::watch(QWidget* dialog)
{
    dialog->installEventFilter(this);
}

bool TDialogCentringHook::eventFilter(QObject* watched, QEvent* e)
{
    auto* w = qobject_cast<QWidget*>(watched);
    if (!w)
        return false;
    switch (e->type()) {
    case QEvent::Show:
        if (!_hooked)
            _hooked = w->window();
        if (_hooked == w->window())
            _hooked->move(centredOn(_main->frameGeometry(), _hooked->frameGeometry().size()));
        break;
    case QEvent::Hide:
    case QEvent::Close:
        if (_hooked == w->window())
            _hooked = nullptr;
        break;
    default:
        break;
    }
    return false;
}

}  // namespace qmx
