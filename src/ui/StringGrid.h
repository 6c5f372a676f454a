#pragma once
// TStringGrid: a grid of texts addressed by (column, row), whose first rows and columns are
// fixed (shown, never current), with owner-drawn cells and an in-place editor.
//
// The editor opens only while editing is allowed (showEditor(), or a typed character once
// editing is allowed); disallowing editing closes it. The editor writes every change into its
// cell at once and reports it through OnSetEditText. Every key, whether the grid or its editor
// has the focus, goes to OnKeyDown (and to OnKeyPress when it carries a character: Enter is
// '\r', Backspace '\b', Escape '\x1b') before anything else; a handler that zeroes the key
// swallows it. Up, Down, Page Up and Page Down close an open editor and move the current cell;
// Enter and Escape do nothing by themselves.

#include <QColor>
#include <QFont>
#include <QTableWidget>

#include <functional>

class QKeyEvent;
class QLineEdit;
class QPainter;

namespace qmx {

// The character a key carries as the program's key-press handlers see it: Enter is '\r',
// Backspace '\b', Escape 0x1B; null for a key without one (moves, Delete and the like).
QChar keyChar(const QKeyEvent* e);

struct GridDrawState {
    bool fixed = false;    // a cell of the fixed rows or columns
    bool focused = false;  // the current cell of a grid that has the focus
};

// How one cell is drawn: filled with `background`; when `framed`, a 1-pixel rectangle one pixel
// inside the cell in `frame` and the text centred inside it, else the text centred in the cell.
struct GridCellStyle {
    QFont font;
    QColor text;
    QColor background;
    bool framed = false;
    QColor frame;
    QString shownText;
};
void paintGridCell(QPainter& p, const QRect& rect, const GridCellStyle& style);

class TStringGrid : public QTableWidget {
public:
    explicit TStringGrid(QWidget* parent = nullptr);

    // Sizes the grid; the fixed rows and columns come first. Every cell text is cleared.
    void setGridSize(int colCount, int rowCount, int fixedCols, int fixedRows);
    // Column widths (the last one repeats for the remaining columns) and the height of every
    // row; the widget is sized to show all cells.
    void setCellSizes(const QList<int>& colWidths, int rowHeight);
    int fixedCols() const { return _fixedCols; }
    int fixedRows() const { return _fixedRows; }

    QString cell(int col, int row) const;
    // Sets a cell's text; an editor open on that cell shows it too (without OnSetEditText).
    void setCell(int col, int row, const QString& text);

    // The current cell.
    int col() const { return currentColumn(); }
    int row() const { return currentRow(); }
    void focusCell(int col, int row);

    bool editingAllowed() const { return _editingAllowed; }
    void setEditingAllowed(bool allowed);
    bool editorMode() const { return _editor != nullptr; }
    // Opens the editor on the current cell when editing is allowed.
    void showEditor();
    void hideEditor();
    QLineEdit* editor() const { return _editor; }

    // Colours: value cells' background, fixed cells' background, text.
    QColor Color = Qt::white;
    QColor FixedColor;
    QColor FontColor = Qt::black;

    std::function<void(TStringGrid*, QPainter&, int col, int row, const QRect&, GridDrawState)> OnDrawCell;
    std::function<void(TStringGrid*)> OnDblClick;
    std::function<void(TStringGrid*, int& key, Qt::KeyboardModifiers)> OnKeyDown;
    std::function<void(TStringGrid*, int& key, Qt::KeyboardModifiers)> OnKeyUp;
    std::function<void(TStringGrid*, QChar& key)> OnKeyPress;
    std::function<void(TStringGrid*, int col, int row)> OnSelectCell;
    std::function<void(TStringGrid*, int col, int row, QString& text)> OnGetEditText;
    std::function<void(TStringGrid*, int col, int row, const QString& text)> OnSetEditText;

    // The key rules above, for the grid and its editor; true when the key was used up.
    bool handleKeyPress(QKeyEvent* e, bool inEditor);
    bool handleKeyRelease(QKeyEvent* e);

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;

private:
    class Delegate;
    friend class Delegate;
    void editorOpened(QLineEdit* editor, int col, int row);
    void editorClosed(QLineEdit* editor);
    void editorTextChanged(const QString& text);

    int _fixedCols = 0;
    int _fixedRows = 0;
    bool _editingAllowed = false;
    QLineEdit* _editor = nullptr;
    int _editCol = -1;
    int _editRow = -1;
    bool _settingEditorText = false;
};

}  // namespace qmx
