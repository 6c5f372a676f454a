#include "LogView.h"

#include <QPaintEvent>
#include <QPainter>
#include <QSyntaxHighlighter>
#include <QTextBlock>

#include <algorithm>

namespace qmx {

class TLogView::Gutter : public QWidget {
public:
    explicit Gutter(TLogView* view) : QWidget(view), _view(view) {}
    QSize sizeHint() const override { return {_view->gutterWidth(), 0}; }

protected:
    void paintEvent(QPaintEvent* e) override { _view->paintGutter(e); }

private:
    TLogView* _view;
};

class TLogView::Highlighter : public QSyntaxHighlighter {
public:
    Highlighter(TLogView* view) : QSyntaxHighlighter(view->document()), _view(view) {}

protected:
    void highlightBlock(const QString& text) override
    {
        QList<LogKeyword> words = _view->keywords();
        std::stable_sort(words.begin(), words.end(),
                         [](const LogKeyword& a, const LogKeyword& b) { return a.text.size() > b.text.size(); });
        const auto wordChar = [](QChar c) { return c.isLetterOrNumber(); };
        int i = 0;
        while (i < text.size()) {
            int matched = 0;
            for (const LogKeyword& w : words) {
                if (w.text.isEmpty() || !text.mid(i).startsWith(w.text))
                    continue;
                const int end = i + static_cast<int>(w.text.size());
                if (wordChar(w.text.front()) && i > 0 && wordChar(text.at(i - 1)))
                    continue;
                if (wordChar(w.text.back()) && end < text.size() && wordChar(text.at(end)))
                    continue;
                QTextCharFormat f;
                f.setForeground(w.color);
                setFormat(i, static_cast<int>(w.text.size()), f);
                matched = static_cast<int>(w.text.size());
                break;
            }
            i += matched > 0 ? matched : 1;
        }
    }

private:
    TLogView* _view;
};

TLogView::TLogView(QWidget* parent) : QPlainTextEdit(parent)
{
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    _gutter = new Gutter(this);
    _highlighter = new Highlighter(this);
    connect(this, &QPlainTextEdit::blockCountChanged, this, [this] { updateGutterWidth(); });
    connect(this, &QPlainTextEdit::updateRequest, this, [this](const QRect& r, int dy) {
        if (dy)
            _gutter->scroll(0, dy);
        else
            _gutter->update(0, r.y(), _gutter->width(), r.height());
    });
    updateGutterWidth();
}

int TLogView::gutterWidth() const
{
    int digits = 1;
    for (int n = qMax(1, blockCount()); n >= 10; n /= 10)
        ++digits;
    return 12 + fontMetrics().horizontalAdvance(QLatin1Char('9')) * qMax(3, digits);
}

void TLogView::setKeywords(const QList<LogKeyword>& keywords)
{
    _keywords = keywords;
    _highlighter->rehighlight();
}

QColor TLogView::colorAt(int line, int column) const
{
    const QTextBlock block = document()->findBlockByNumber(line);
    if (!block.isValid() || !block.layout())
        return {};
    for (const QTextLayout::FormatRange& r : block.layout()->formats())
        if (column >= r.start && column < r.start + r.length && r.format.hasProperty(QTextFormat::ForegroundBrush))
            return r.format.foreground().color();
    return {};
}

void TLogView::updateGutterWidth()
{
    setViewportMargins(gutterWidth(), 0, 0, 0);
    const QRect cr = contentsRect();
    _gutter->setGeometry(cr.left(), cr.top(), gutterWidth(), cr.height());
}

void TLogView::resizeEvent(QResizeEvent* e)
{
    QPlainTextEdit::resizeEvent(e);
    updateGutterWidth();
}

void TLogView::paintGutter(QPaintEvent* e)
{
    QPainter p(_gutter);
    p.fillRect(e->rect(), GutterColor);
    p.setPen(GutterFontColor);
    p.setFont(font());
    QTextBlock block = firstVisibleBlock();
    int top = qRound(blockBoundingGeometry(block).translated(contentOffset()).top());
    const int h = fontMetrics().height();
    while (block.isValid() && top <= e->rect().bottom()) {
        if (block.isVisible())
            p.drawText(0, top, _gutter->width() - 6, h, Qt::AlignRight | Qt::AlignVCenter, QString::number(block.blockNumber() + 1));
        top += qRound(blockBoundingRect(block).height());
        block = block.next();
    }
}

}  // namespace qmx
