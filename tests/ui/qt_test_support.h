// One QApplication for a whole test program, on the offscreen platform with the screens
// below unless the environment names another platform, and helpers to answer modal windows from
// inside their loops.
#pragma once

#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QRect>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace romtide::test {

// The offscreen platform's screens: a large one, on which every window fits, and at
// kSmallScreen a 1024 x 768 panel to the right of it.
inline const QRect kSmallScreen{1920, 0, 1024, 768};

inline QApplication& testApplication() {
    static int argc = 1;
    static char name[] = "romtide_tests";
    static char* argv[] = {name, nullptr};
    // Read by the platform when the application is made, removed afterwards.
    std::string config;
    // The test scripts name the plain offscreen platform for every program; its one default
    // screen (800 x 600) is smaller than the CAN window, so it gets the two screens too.
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform.isEmpty() || platform == "offscreen") {
        config = (std::filesystem::temp_directory_path() /
                  ("romtide-screens-" + std::to_string(::getpid()) + ".json"))
                     .string();
        std::ofstream(config)
            << R"({"screens": [)"
            << R"({"name": "large", "x": 0, "y": 0, "width": 1920, "height": 1200},)"
            << R"({"name": "small", "x": )" << kSmallScreen.x() << R"(, "y": )" << kSmallScreen.y()
            << R"(, "width": )" << kSmallScreen.width() << R"(, "height": )"
            << kSmallScreen.height() << "}]}";
        qputenv("QT_QPA_PLATFORM", QByteArray("offscreen:configfile=") + config.c_str());
    }
    // Lives to the end of the program: widgets of every test are gone before it.
    static QApplication* app = new QApplication(argc, argv);
    if (!config.empty()) {
        std::filesystem::remove(config);
    }
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
