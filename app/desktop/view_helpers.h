// Small pieces every Qt view of the desktop program shares.
#pragma once

#include <QPalette>
#include <QString>
#include <QWidget>

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

}  // namespace romtide::desktop
