#pragma once
// TLogView: a read-only, non-wrapping text view with a line-number gutter at its left edge and
// keyword colouring. Keywords are matched case-sensitively, the longest first at each place; a
// keyword that begins or ends with a letter or digit matches only where the text next to it is
// not a letter or digit, so "OK" does not colour a part of "TOKEN".

#include <QColor>
#include <QList>
#include <QPlainTextEdit>
#include <QString>

class QSyntaxHighlighter;

namespace qmx {

struct LogKeyword {
    QString text;
    QColor color;
};

class TLogView : public QPlainTextEdit {
public:
    explicit TLogView(QWidget* parent = nullptr);

    QWidget* gutter() const { return _gutter; }
    int gutterWidth() const;
    void setKeywords(const QList<LogKeyword>& keywords);
    const QList<LogKeyword>& keywords() const { return _keywords; }

    // The keyword colour at a place of the text (invalid where no keyword is).
    QColor colorAt(int line, int column) const;

    // Gutter colours.
    QColor GutterColor = QColor(240, 240, 240);
    QColor GutterFontColor = QColor(128, 128, 128);

protected:
    void resizeEvent(QResizeEvent* e) override;

private:
    class Gutter;
    class Highlighter;
    friend class Gutter;
    void paintGutter(QPaintEvent* e);
    void updateGutterWidth();

    QWidget* _gutter = nullptr;
    Highlighter* _highlighter = nullptr;
    QList<LogKeyword> _keywords;
};

}  // namespace qmx
