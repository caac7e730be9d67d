#pragma once
// Building the controls of the save and print dialogs: each named, placed,
// in the dialog face, and where its caption is not what a screen reader
// should say, with its spoken name.

#include <QGroupBox>
#include <QRect>
#include <QString>
#include <QWidget>

#include "app/fonts.h"

// A label, radio button or push button; spoken empty keeps the caption as
// the accessible name (a caption that changes while the dialog lives).
template <class W>
W* makeControl(QWidget* parent, const char* name, const QString& caption, const QString& spoken,
               QRect geometry) {
    W* w = new W(caption, parent);
    w->setObjectName(QString::fromLatin1(name));
    if (!spoken.isEmpty()) w->setAccessibleName(spoken);
    w->setFont(dialogFont(11));
    w->setGeometry(geometry);
    return w;
}

// A group box with its caption in bold 16 pixels; the controls inside set
// their own font.
inline QGroupBox* makeGroup(QWidget* parent, const char* name, const QString& caption,
                            const QString& spoken, QRect geometry) {
    auto* g = new QGroupBox(caption, parent);
    g->setObjectName(QString::fromLatin1(name));
    if (!spoken.isEmpty()) g->setAccessibleName(spoken);
    g->setFont(dialogFont(16, true));
    g->setGeometry(geometry);
    return g;
}
