#include "SizedMessageDialog.h"

#include "Colors.h"

#include <QApplication>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

namespace qmx {
namespace {
constexpr int kMargin = 12;
constexpr int kIconSize = 32;

QStyle::StandardPixmap iconFor(DialogKind kind)
{
    switch (kind) {
    case DialogKind::Warning: return QStyle::SP_MessageBoxWarning;
    case DialogKind::Error: return QStyle::SP_MessageBoxCritical;
    case DialogKind::Information: return QStyle::SP_MessageBoxInformation;
    case DialogKind::Confirmation: return QStyle::SP_MessageBoxQuestion;
    default: return QStyle::SP_CustomBase;
    }
}
}  // namespace

SizedMessageDialog::SizedMessageDialog(QWidget* parent, const QString& caption, DialogKind kind,
                                       const QStringList& buttons, const QString& text)
    : QDialog(parent)
{
    setObjectName("SizedMessageDialog");
    setWindowTitle(caption);
    setModal(true);
    QFont f = font();
    f.setPointSize(kFontPointSize);
    setFont(f);
    if (kind == DialogKind::Error) {
        QPalette pal = palette();
        pal.setColor(QPalette::Window, toQColor(kColorDialogError));
        pal.setColor(QPalette::WindowText, Qt::white);
        setPalette(pal);
        setAutoFillBackground(true);
    }

    int textLeft = kMargin;
    if (iconFor(kind) != QStyle::SP_CustomBase) {
        auto* icon = new QLabel(this);
        icon->setObjectName("Image");
        icon->setPixmap(style()->standardIcon(iconFor(kind)).pixmap(kIconSize, kIconSize));
        icon->setGeometry(kMargin, kMargin, kIconSize, kIconSize);
        textLeft += kIconSize + kMargin;
    }

    // The text label spans the dialog's width and grows downwards with the wrapped text.
    _label = new QLabel(text, this);
    _label->setObjectName("Message");
    _label->setWordWrap(true);
    _label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    const int labelWidth = kWidth - textLeft - kMargin;
    const int labelHeight = qMax(kIconSize, _label->heightForWidth(labelWidth));
    _label->setGeometry(textLeft, kMargin, labelWidth, labelHeight);

    // Buttons sized to their captions, centred as a row, 10 pixels below the text.
    const QFontMetrics fm(font());
    const int top = _label->geometry().bottom() + 1 + 10;
    int rowWidth = 0;
    QList<QSize> sizes;
    for (const QString& cap : buttons) {
        const QSize s(fm.horizontalAdvance(cap) + 20, fm.height() + 15);
        sizes.push_back(s);
        rowWidth += s.width();
    }
    rowWidth += qMax(0, static_cast<int>(sizes.size()) - 1) * kMargin;
    int x = (kWidth - rowWidth) / 2;
    int bottom = top;
    for (int i = 0; i < buttons.size(); ++i) {
        auto* b = new QPushButton(buttons[i], this);
        b->setObjectName(QString("Button%1").arg(i));
        b->setGeometry(x, top, sizes[i].width(), sizes[i].height());
        b->setAutoDefault(i == 0);
        x += sizes[i].width() + kMargin;
        bottom = top + sizes[i].height();
        connect(b, &QPushButton::clicked, this, [this, i] {
            _clicked = i;
            accept();
        });
        _buttons.push_back(b);
    }
    setFixedSize(kWidth, bottom + 10);
}

int showSizedMessageDialog(QWidget* parent, const QString& caption, DialogKind kind, const QStringList& buttons,
                           const QString& text)
{
    SizedMessageDialog dlg(parent, caption, kind, buttons, text);
    if (parent) {
        const QRect pg = parent->frameGeometry();
        dlg.move(pg.center() - QPoint(dlg.width() / 2, dlg.height() / 2));
    }
    dlg.exec();
    return dlg.clickedIndex();
}

}  // namespace qmx
