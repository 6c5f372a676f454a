#pragma once
// A three-state check box whose grey state is set only by the program: an operator's click
// goes to checked, or from checked to unchecked.

#include <QCheckBox>

namespace qmx {

class TriStateCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override { setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked); }
};

}  // namespace qmx
