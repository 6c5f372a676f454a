#include "StringGrid.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QStyledItemDelegate>

namespace qmx {

class TStringGrid::Delegate : public QStyledItemDelegate {
public:
    explicit Delegate(TStringGrid* grid) : QStyledItemDelegate(grid), _grid(grid) {}

    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        GridDrawState state;
        state.fixed = index.row() < _grid->_fixedRows || index.column() < _grid->_fixedCols;
        state.focused = index == _grid->currentIndex() && (_grid->hasFocus() || _grid->editorMode());
        p->save();
        if (_grid->OnDrawCell) {
            _grid->OnDrawCell(_grid, *p, index.column(), index.row(), option.rect, state);
        } else {
            p->fillRect(option.rect, state.fixed ? _grid->FixedColor : _grid->Color);
            p->setPen(_grid->FontColor);
            p->drawText(option.rect, Qt::AlignCenter | Qt::TextSingleLine, index.data().toString());
        }
        p->restore();
    }

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&, const QModelIndex& index) const override
    {
        auto* e = new QLineEdit(parent);
        e->setFrame(false);
        e->setAlignment(Qt::AlignCenter);
        e->setFont(_grid->font());
        _grid->editorOpened(e, index.column(), index.row());
        return e;
    }
    void setEditorData(QWidget*, const QModelIndex&) const override {}  // set when opened
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}  // cell follows every change
    void destroyEditor(QWidget* editor, const QModelIndex& index) const override
    {
        _grid->editorClosed(static_cast<QLineEdit*>(editor));
        QStyledItemDelegate::destroyEditor(editor, index);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (e->type() == QEvent::KeyPress)
            return _grid->handleKeyPress(static_cast<QKeyEvent*>(e), true);
        if (e->type() == QEvent::KeyRelease)
            return _grid->handleKeyRelease(static_cast<QKeyEvent*>(e));
        if (e->type() == QEvent::ShortcutOverride)
            return false;
        return QStyledItemDelegate::eventFilter(watched, e);
    }

private:
    TStringGrid* _grid;
};

void paintGridCell(QPainter& p, const QRect& rect, const GridCellStyle& style)
{
    p.fillRect(rect, style.background);
    QRect textRect = rect;
    if (style.framed) {
        const QRect inner = rect.adjusted(1, 1, -2, -2);
        p.setPen(QPen(style.frame, 1));
        p.setBrush(Qt::NoBrush);
        p.drawRect(inner);
        textRect = inner;
    }
    p.setFont(style.font);
    p.setPen(style.text);
    p.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine, style.shownText);
}

TStringGrid::TStringGrid(QWidget* parent) : QTableWidget(parent)
{
    horizontalHeader()->hide();
    verticalHeader()->hide();
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setItemDelegate(new Delegate(this));
    FixedColor = palette().color(QPalette::Button);
}

void TStringGrid::setGridSize(int colCount, int rowCount, int fixedCols, int fixedRows)
{
    hideEditor();
    _fixedCols = fixedCols;
    _fixedRows = fixedRows;
    clear();
    setRowCount(rowCount);
    setColumnCount(colCount);
    for (int r = 0; r < rowCount; ++r)
        for (int c = 0; c < colCount; ++c) {
            auto* item = new QTableWidgetItem;
            const bool fixed = r < fixedRows || c < fixedCols;
            // Fixed cells can never become current: keyboard moves and clicks pass them by.
            item->setFlags(fixed ? Qt::NoItemFlags : Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable);
            setItem(r, c, item);
        }
    if (rowCount > fixedRows && colCount > fixedCols)
        focusCell(fixedCols, fixedRows);
}

void TStringGrid::setCellSizes(const QList<int>& colWidths, int rowHeight)
{
    int total = 0;
    for (int c = 0; c < columnCount(); ++c) {
        const int w = colWidths.isEmpty() ? 64 : colWidths.at(qMin<int>(c, static_cast<int>(colWidths.size()) - 1));
        setColumnWidth(c, w);
        total += w;
    }
    for (int r = 0; r < rowCount(); ++r)
        setRowHeight(r, rowHeight);
    const int f = 2 * frameWidth();
    setFixedSize(total + f, rowCount() * rowHeight + f);
}

QString TStringGrid::cell(int col, int row) const
{
    const QTableWidgetItem* i = item(row, col);
    return i ? i->text() : QString();
}

void TStringGrid::setCell(int col, int row, const QString& text)
{
    if (QTableWidgetItem* i = item(row, col))
        i->setText(text);
    if (_editor && col == _editCol && row == _editRow && _editor->text() != text) {
        _settingEditorText = true;
        _editor->setText(text);
        _settingEditorText = false;
    }
}

void TStringGrid::focusCell(int col, int row)
{
    setCurrentCell(row, col);
}

void TStringGrid::setEditingAllowed(bool allowed)
{
    _editingAllowed = allowed;
    if (!allowed)
        hideEditor();
}

void TStringGrid::showEditor()
{
    if (!_editingAllowed || _editor || !currentIndex().isValid())
        return;
    edit(currentIndex());
}

void TStringGrid::hideEditor()
{
    if (!_editor)
        return;
    QLineEdit* e = _editor;
    closeEditor(e, QAbstractItemDelegate::NoHint);
    if (_editor == e)  // closeEditor leaves the editor to the event loop; it is done with now
        editorClosed(e);
    setFocus();
}

void TStringGrid::editorOpened(QLineEdit* editor, int col, int row)
{
    _editor = editor;
    _editCol = col;
    _editRow = row;
    QString text = cell(col, row);
    if (OnGetEditText)
        OnGetEditText(this, col, row, text);
    _settingEditorText = true;
    editor->setText(text);
    _settingEditorText = false;
    QObject::connect(editor, &QLineEdit::textChanged, this, [this, editor](const QString& t) {
        if (_editor == editor)
            editorTextChanged(t);
    });
}

void TStringGrid::editorClosed(QLineEdit* editor)
{
    if (_editor != editor)
        return;
    _editor = nullptr;
    _editCol = _editRow = -1;
}

void TStringGrid::editorTextChanged(const QString& text)
{
    if (_settingEditorText)
        return;
    const int c = _editCol;
    const int r = _editRow;
    if (QTableWidgetItem* i = item(r, c))
        i->setText(text);
    if (OnSetEditText)
        OnSetEditText(this, c, r, text);
}

QChar keyChar(const QKeyEvent* e)
{
    switch (e->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return QChar('\r');
    case Qt::Key_Backspace: return QChar('\b');
    case Qt::Key_Delete: return QChar();  // a key without a character, like the moves
    case Qt::Key_Escape: return QChar(0x1B);
    default: break;
    }
    const QString t = e->text();
    return t.isEmpty() ? QChar() : t.at(0);
}

bool isMoveKey(int key)
{
    return key == Qt::Key_Up || key == Qt::Key_Down || key == Qt::Key_PageUp || key == Qt::Key_PageDown;
}


bool TStringGrid::handleKeyPress(QKeyEvent* e, bool inEditor)
{
    int key = e->key();
    if (OnKeyDown)
        OnKeyDown(this, key, e->modifiers());
    if (key == 0)
        return true;
    if (inEditor && isMoveKey(key)) {
        hideEditor();
        QTableWidget::keyPressEvent(e);
        return true;
    }
    QChar ch = keyChar(e);
    if (!ch.isNull()) {
        if (OnKeyPress)
            OnKeyPress(this, ch);
        if (ch.isNull())
            return true;
        if (ch == QChar('\r') || ch == QChar(0x1B))
            return true;
        if (inEditor)
            return false;  // the editor takes the character
        if (_editingAllowed && ch.isPrint()) {
            showEditor();
            if (_editor) {
                _editor->selectAll();
                _editor->insert(QString(ch));
            }
        }
        return true;
    }
    if (inEditor)
        return false;
    QTableWidget::keyPressEvent(e);
    return true;
}

bool TStringGrid::handleKeyRelease(QKeyEvent* e)
{
    int key = e->key();
    if (OnKeyUp)
        OnKeyUp(this, key, e->modifiers());
    return key == 0;
}

void TStringGrid::keyPressEvent(QKeyEvent* e)
{
    handleKeyPress(e, false);
}

void TStringGrid::keyReleaseEvent(QKeyEvent* e)
{
    if (!handleKeyRelease(e))
        QTableWidget::keyReleaseEvent(e);
}

void TStringGrid::mouseDoubleClickEvent(QMouseEvent*)
{
    if (OnDblClick)
        OnDblClick(this);
}

void TStringGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous)
{
    QTableWidget::currentChanged(current, previous);
    if (_editor && (current.row() != _editRow || current.column() != _editCol))
        hideEditor();
    if (current.isValid() && current != previous && OnSelectCell)
        OnSelectCell(this, current.column(), current.row());
    viewport()->update();
}

}  // namespace qmx
