#pragma once
// Small helpers the window's form-description code uses to create a named widget in place.

#include <QLabel>
#include <QPushButton>
#include <QRect>
#include <QString>
#include <QWidget>

namespace qmx::form {

template <class W>
W* make(QWidget* parent, const char* name, const QRect& geometry)
{
    auto* w = new W(parent);
    w->setObjectName(name);
    w->setGeometry(geometry);
    return w;
}

inline QLabel* label(QWidget* parent, const char* name, const QString& text, const QRect& geometry)
{
    auto* l = make<QLabel>(parent, name, geometry);
    l->setText(text);
    return l;
}

inline QPushButton* button(QWidget* parent, const char* name, const QString& text, const QRect& geometry)
{
    auto* b = make<QPushButton>(parent, name, geometry);
    b->setText(text);
    return b;
}

}  // namespace qmx::form
