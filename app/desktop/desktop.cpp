#include "app/desktop/desktop.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "app/exit_codes.h"

#include "base/clock.h"
#include "ui/qt/qt_dialogs.h"
#include "ui/qt/qt_event_pump.h"
#include "ui/qt/qt_widgets.h"

namespace romtide::desktop {

Desktop::Desktop(SessionObjects& sessions, DesktopServices services, WindowFactories factories)
    : sessions_(sessions), services_(std::move(services)), factories_(std::move(factories)) {
    QCoreApplication::setApplicationName(QString::fromUtf8(text::kApplicationTitle));
    // The program ends by Quit or by closing the main window only, never because the
    // last visible window closed: the main window hides while a download window is open.
    QGuiApplication::setQuitOnLastWindowClosed(false);
    steps_.push_back("title");

    // The splash comes first and is painted at once, so the user sees the program
    // while the windows are built.
    splash_ = new SplashView(services_.makeTimer);
    splash_->show();
    splash_->repaint();
    steps_.push_back("splash shown");

    createWindows();
    main_->show();
    // The splash stays in front of the main window until it closes, also where no
    // window manager keeps it on top.
    if (splash_) {
        splash_->raise();
    }
    steps_.push_back("main window shown");
}

Desktop::~Desktop() {
    if (splash_) {
        delete splash_.data();
    }
}

void Desktop::createWindows() {
    main_ = std::make_unique<MainWindowView>(aboutSlot_, services_.quitApplication);
    steps_.push_back("frm_main");

    about_ = std::make_unique<AboutView>(
        main_.get(), [this](const std::string& file, const std::string& parameters) {
            return ShellOpen(file, parameters);
        });
    aboutSlot_.set(&about_->form());
    steps_.push_back("frm_about");

    windows_.can_option = make(factories_.can_option, "frm_can_option");

    reset_ = std::make_unique<ResetView>();
    steps_.push_back("frm_reset");

    // The splash was made and shown before the other windows.

    windows_.profibus = make(factories_.profibus, "frm_profibus");
    windows_.profibus_option = make(factories_.profibus_option, "frm_profibus_option");
    windows_.can = make(factories_.can, "frm_can");
    windows_.selproduct = make(factories_.selproduct, "frm_selproduct");

    main_->logic().attachProfibusWindow(windows_.profibus ? &windows_.profibus->form() : nullptr);
    main_->logic().attachCanWindow(windows_.can ? &windows_.can->form() : nullptr);
}

std::unique_ptr<DesktopWindow> Desktop::make(const WindowFactories::Factory& factory,
                                             const char* name) {
    if (!factory) {
        return nullptr;
    }
    WindowContext context{sessions_, services_, main_.get(), windows_};
    auto window = factory(context);
    if (window) {
        steps_.push_back(name);
    }
    return window;
}

int Desktop::ShellOpen(const std::string& file, const std::string& parameters) {
    return desktop::ShellOpen(services_.shell, services_.services.messages, file, parameters);
}

namespace {

// An exception must not unwind through Qt's event loop; it is shown like any other
// unexpected error and the program goes on.
class RomtideApplication : public QApplication {
  public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        try {
            return QApplication::notify(receiver, event);
        } catch (const std::exception& e) {
            showException(e.what());
        } catch (...) {
            showException("Unknown error");
        }
        return false;
    }
    static void showException(const char* what) {
        QMessageBox::critical(QApplication::activeWindow(),
                              QString::fromUtf8(text::kApplicationTitle), QString::fromUtf8(what));
    }
};

}  // namespace

bool displayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

int runDesktop(int argc, char** argv, WindowFactories factories) {
    // Without a display Qt would abort; on a service laptop in a terminal the user most
    // likely wanted a headless command.
    if (!displayAvailable()) {
        std::fprintf(stderr,
                     "bootloader: no display for the desktop program.\n"
                     "Run it on a desktop (or under xvfb-run), or use a headless command: "
                     "bootloader --help\n");
        return exitcode::kUsage;
    }
    SteadyClock clock;
    ui::QtEventPump pump;
    ui::QtMessageBoxes messages;
    Services services{clock, pump, messages};
    // The sessions exist before the application and any window.
    SessionObjects sessions(services);
    RomtideApplication app(argc, argv);
    XdgShellOpener opener(services);
    try {
        Desktop desktop(sessions,
                        {services, opener, []() { return std::make_unique<ui::QtTimer>(); },
                         // Ends the loop at once; the windows go afterwards with the
                         // desktop. (quit() would first close every window, and the
                         // main window's close is itself a Quit.)
                         []() { QCoreApplication::exit(0); }},
                        std::move(factories));
        return app.exec();
    } catch (const std::exception& e) {
        RomtideApplication::showException(e.what());
    }
    return 1;
}

}  // namespace romtide::desktop
