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

// Built after the five sessions and the application object exist; builds the rest of
// the start-up: title, splash shown at once, then the windows in their fixed order,
// the main window last shown. Windows added by later work take their session from
// `sessions` and their place in createWindows().
class Desktop {
  public:
    Desktop(SessionObjects& sessions, DesktopServices services);
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    MainWindowView& mainWindow() { return *main_; }
    AboutView& about() { return *about_; }
    ResetView& reset() { return *reset_; }
    // Null once the splash has closed and been freed.
    SplashView* splash() { return splash_.data(); }
    // What start-up did, in order (windows by their names).
    const std::vector<std::string>& startupSteps() const { return steps_; }

    int ShellOpen(const std::string& file, const std::string& parameters);

  private:
    void createWindows();

    SessionObjects& sessions_;
    DesktopServices services_;
    std::vector<std::string> steps_;
    QPointer<SplashView> splash_;
    FormSlot aboutSlot_;
    std::unique_ptr<MainWindowView> main_;
    std::unique_ptr<AboutView> about_;
    std::unique_ptr<ResetView> reset_;
};

// Runs the desktop program until it ends; returns the exit status.
int runDesktop(int argc, char** argv);

}  // namespace romtide::desktop
