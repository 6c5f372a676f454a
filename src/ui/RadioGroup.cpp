#include "RadioGroup.h"

#include <QButtonGroup>
#include <QRadioButton>

namespace qmx {

TRadioGroup::TRadioGroup(QWidget* parent) : QGroupBox(parent), _group(new QButtonGroup(this))
{
    _group->setExclusive(true);
    connect(_group, &QButtonGroup::idToggled, this, [this](int, bool on) {
        if (on && OnChange)
            OnChange(this);
    });
}

void TRadioGroup::setItems(const QStringList& items, int columns)
{
    for (QRadioButton* b : _buttons) {
        _group->removeButton(b);
        delete b;
    }
    _buttons.clear();
    _columns = qMax(1, columns);
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items.at(i), this);
        _group->addButton(b, i);
        _buttons.append(b);
        b->show();
    }
    layoutButtons();
}

QStringList TRadioGroup::items() const
{
    QStringList out;
    for (const QRadioButton* b : _buttons)
        out << b->text();
    return out;
}

int TRadioGroup::itemIndex() const { return _group->checkedId(); }

void TRadioGroup::setItemIndex(int index)
{
    if (index >= 0 && index < _buttons.size()) {
        _buttons.at(index)->setChecked(true);
        return;
    }
    // No item chosen: an exclusive group keeps one, so let go of it for a moment.
    if (QAbstractButton* b = _group->checkedButton()) {
        _group->setExclusive(false);
        b->setChecked(false);
        _group->setExclusive(true);
    }
}

QRadioButton* TRadioGroup::button(int index) const
{
    return index >= 0 && index < _buttons.size() ? _buttons.at(index) : nullptr;
}

void TRadioGroup::resizeEvent(QResizeEvent* e)
{
    QGroupBox::resizeEvent(e);
    layoutButtons();
}

void TRadioGroup::layoutButtons()
{
    if (_buttons.isEmpty())
        return;
    const int top = 22;
    const int rows = (static_cast<int>(_buttons.size()) + _columns - 1) / _columns;
    const int w = qMax(1, (width() - 12) / _columns);
    const int h = qMax(18, (height() - top - 4) / qMax(1, rows));
    for (int i = 0; i < _buttons.size(); ++i) {
        const int c = i / rows;
        const int r = i % rows;
        _buttons.at(i)->setGeometry(8 + c * w, top + r * h, w - 4, h);
    }
}

}  // namespace qmx
