// The desktop program: start-up, the windows of the shell, and the event loop.
#pragma once

#include <QPointer>
#include <memory>
#include <string>
#include <vector>

#include "app/desktop/form.h"
#include "app/desktop/session_objects.h"
#include "app/desktop/shell_open.h"
#include "app/desktop/shell_views.h"
#include "ui/services.h"

namespace romtide::desktop {

struct DesktopServices {
    Services services;
    ShellOpener& shell;
    TimerFactory makeTimer;
    // Ends the event loop (Quit, or the main window's close button).
    std::function<void()> quitApplication;
};

// A window of the download front ends (the CAN and Profibus windows and their dialogs).
class DesktopWindow {
  public:
    virtual ~DesktopWindow() = default;
    virtual Form& form() = 0;
};

// The download front ends' windows, in the order they are made. A window that needs
// another made after it (the CAN window shows the product dialog) looks it up here
// when it needs it; by then every window exists.
struct DesktopWindows {
    std::unique_ptr<DesktopWindow> can_option;       // Tfrm_can_option
    std::unique_ptr<DesktopWindow> profibus;         // Tfrm_profibus
    std::unique_ptr<DesktopWindow> profibus_option;  // Tfrm_profibus_option
    std::unique_ptr<DesktopWindow> can;              // Tfrm_can
    std::unique_ptr<DesktopWindow> selproduct;       // Tfrm_selproduct
};

// What a window gets when it is made: it takes its own session from `sessions`
// (std::move(context.sessions.can)).
struct WindowContext {
    SessionObjects& sessions;
    const DesktopServices& services;
    QWidget* mainWindow;  // dialogs centre on it
    const DesktopWindows& windows;
};

// How each front-end window is made; a window without a factory does not exist in this
// build (its menu entry stays disabled).
struct WindowFactories {
    using Factory = std::function<std::unique_ptr<DesktopWindow>(WindowContext&)>;
    Factory can_option;
    Factory profibus;
    Factory profibus_option;
    Factory can;
    Factory selproduct;
};

// Built after the five sessions and the application object exist; does the rest of
// the start-up: title, splash shown at once, then the windows in their fixed order,
// the main window last shown.
class Desktop {
  public:
    Desktop(SessionObjects& sessions, DesktopServices services, WindowFactories factories = {});
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    MainWindowView& mainWindow() { return *main_; }
    AboutView& about() { return *about_; }
    ResetView& reset() { return *reset_; }
    // Null once the splash has closed and been freed.
    SplashView* splash() { return splash_.data(); }
    const DesktopWindows& windows() const { return windows_; }
    // What start-up did, in order (windows by their names).
    const std::vector<std::string>& startupSteps() const { return steps_; }

    int ShellOpen(const std::string& file, const std::string& parameters);

  private:
    void createWindows();
    std::unique_ptr<DesktopWindow> make(const WindowFactories::Factory& factory, const char* name);

    SessionObjects& sessions_;
    DesktopServices services_;
    WindowFactories factories_;
    std::vector<std::string> steps_;
    QPointer<SplashView> splash_;
    FormSlot aboutSlot_;
    std::unique_ptr<MainWindowView> main_;
    std::unique_ptr<AboutView> about_;
    std::unique_ptr<ResetView> reset_;
    // Last, so they go before the main window they may belong to.
    DesktopWindows windows_;
};

// Whether the desktop program can show windows here (a display, or a Qt platform named).
bool displayAvailable();

// Runs the desktop program until it ends; returns the exit status. Without a display it
// says so and returns the usage status at once.
int runDesktop(int argc, char** argv, WindowFactories factories = {});

}  // namespace romtide::desktop
