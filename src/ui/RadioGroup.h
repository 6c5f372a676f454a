#pragma once
// TRadioGroup: a titled group of radio buttons, one per item, of which at most one is chosen.
// OnChange runs when the operator or the program changes the chosen item.

#include <QGroupBox>
#include <QStringList>

#include <functional>

class QButtonGroup;
class QRadioButton;

namespace qmx {

class TRadioGroup : public QGroupBox {
public:
    explicit TRadioGroup(QWidget* parent = nullptr);

    // Replaces the items, laid out in `columns` columns; no item is chosen afterwards.
    void setItems(const QStringList& items, int columns = 1);
    QStringList items() const;
    int itemIndex() const;
    void setItemIndex(int index);
    QRadioButton* button(int index) const;

    std::function<void(TRadioGroup*)> OnChange;

protected:
    void resizeEvent(QResizeEvent* e) override;

private:
    void layoutButtons();
    QButtonGroup* _group;
    QList<QRadioButton*> _buttons;
    int _columns = 1;
    bool _setting = false;
};

}  // namespace qmx
