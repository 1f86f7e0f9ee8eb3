// Small pieces every Qt view of the desktop program shares.
#pragma once

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include "app/desktop/form.h"
#include "app/desktop/widget_form.h"

namespace romtide::desktop {

// Fixed single border with system menu and minimise box.
constexpr Qt::WindowFlags kFixedBorderFlags =
    Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

inline QString q(const char* text) {
    return QString::fromUtf8(text);
}

// The windows of the program have white client areas.
inline void paintWhite(QWidget* w) {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, Qt::white);
    w->setPalette(p);
    w->setAutoFillBackground(true);
}

// A widget under its control name, at its place.
template <typename W>
W* named(W* widget, const char* name, int x, int y, int width, int height) {
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(x, y, width, height);
    return widget;
}

inline void setBold(QWidget* w) {
    QFont f = w->font();
    f.setBold(true);
    w->setFont(f);
}

inline QLabel* label(QWidget* parent, const char* name, const char* text, int x, int y, int width,
                     bool bold = false) {
    auto* l = named(new QLabel(q(text), parent), name, x, y, width, 18);
    if (bold) {
        setBold(l);
    }
    return l;
}

inline QPushButton* button(QWidget* parent, const char* name, const char* text, int x, int y,
                           int width = 120, int height = 30) {
    return named(new QPushButton(q(text), parent), name, x, y, width, height);
}

// Dialogs and download windows stand centred on the main window.
inline void centreOnMain(Form& form, QWidget* mainWindow) {
    if (mainWindow != nullptr) {
        centreOn(form, toRect(mainWindow->frameGeometry()));
    }
}

// Whether a key event of a filtered edit is dropped: `keyPress` judges the keys that
// type a character; navigation, Delete (which the desktop sends with the text DEL) and
// the dialog's own keys (Tab, Enter, Escape) keep working.
inline bool dropsKey(QEvent* event, bool (*keyPress)(char)) {
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    const QString text = static_cast<QKeyEvent*>(event)->text();
    if (text.size() != 1 || text[0] == QLatin1Char('\t') || text[0] == QLatin1Char('\r') ||
        text[0] == QChar(0x1B) || text[0] == QChar(0x7F)) {
        return false;
    }
    const char16_t c = text[0].unicode();
    return c > 0x7F || !keyPress(static_cast<char>(c));
}

}  // namespace romtide::desktop
