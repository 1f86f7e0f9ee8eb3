// One QApplication for a whole test program, on the offscreen platform unless the
// environment names another, and helpers to answer modal windows from inside their
// loops.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <functional>
#include <memory>

namespace romtide::test {

inline QApplication& testApplication() {
    static int argc = 1;
    static char name[] = "romtide_tests";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    // Lives to the end of the program: widgets of every test are gone before it.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Runs `action` on the first modal window that shows up (a message box, a file dialog,
// a window opened modally), from inside its modal loop; a modal window `other` than
// the one awaited (the one already open) is passed over. Gives up after `limitMs`.
inline void whenModal(std::function<void(QWidget*)> action, QWidget* other = nullptr,
                      int limitMs = 5000) {
    auto tries = std::make_shared<int>(limitMs / 10);
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [action = std::move(action), tries, poll, other]() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal != other && modal->isVisible()) {
            action(modal);
            *poll = nullptr;  // break the cycle
            return;
        }
        if (--*tries > 0) {
            QTimer::singleShot(10, [poll]() {
                if (*poll) {
                    (*poll)();
                }
            });
        }
    };
    QTimer::singleShot(0, [poll]() {
        if (*poll) {
            (*poll)();
        }
    });
}

}  // namespace romtide::test
