// The application shell's windows as logic: the main window with its Tools and Help
// menus, the About box, the splash and the reset notice. The Qt views in
// shell_views.h build the widgets and forward their events here.
#pragma once

#include <functional>
#include <string>

#include "app/desktop/form.h"
#include "ui/widgets.h"

namespace romtide::desktop {

namespace text {
inline constexpr const char* kApplicationTitle = "Romtide";
inline constexpr const char* kMainCaption = "Romtide";
inline constexpr const char* kToolsMenu = "Tools";
inline constexpr const char* kHelpMenu = "Help";
inline constexpr const char* kCanDownload = "CAN download ";
inline constexpr const char* kProfibusDownload = "Profibus download";
inline constexpr const char* kQuit = "&Quit";
inline constexpr const char* kInfo = "&Info";
inline constexpr const char* kAboutCaption = "Romtide - About";
inline constexpr const char* kVersion = "Version 2.04.00";
inline constexpr const char* kOk = "&OK";
inline constexpr const char* kResetCaption = "Information - Bootloader - Korvane Electric AG";
inline constexpr const char* kResetTarget = "Reset target!";
// The status bars of the main window and the splash.
inline constexpr const char* kNotice = "Korvane Electric AG - for trained service staff only";
// Opened by a click on the maker's logo in the About box.
inline constexpr const char* kMakerAddress = "https://www.korvane.example/";
}  // namespace text

class Tfrm_main {
  public:
    struct Controls {
        Form& self;
        ui::Button& menu_can;
        ui::Button& menu_profibus;
    };
    // `about`: the About box. `quitApplication` ends the event loop.
    Tfrm_main(Controls controls, Form& about, std::function<void()> quitApplication);

    // The download windows are reached only through these; until a window is attached
    // its menu entry stays disabled rather than doing nothing when clicked.
    void attachCanWindow(Form* window);
    void attachProfibusWindow(Form* window);

    // Creation: the main window stands centred on the screen.
    void FormCreate();
    void menu_canClick();
    void menu_profibusClick();
    void menu_aboutClick();
    void Quit1Click();
    // The title bar's close button ends the application like Quit.
    void FormClose();

  private:
    bool downloadWindowVisible() const;
    void openDownloadWindow(Form* window);

    Controls c_;
    Form& about_;
    std::function<void()> quit_;
    Form* can_ = nullptr;
    Form* profibus_ = nullptr;
};

class Tfrm_about {
  public:
    // `shellOpen` (file, parameters) → shell result.
    using ShellOpenFn = std::function<int(const std::string&, const std::string&)>;
    Tfrm_about(Form& self, ShellOpenFn shellOpen);

    // Centred on the main window each time it is shown.
    void FormShow(const Rect& mainWindow);
    void Button1Click();
    void img_korvaneClick();

  private:
    Form& self_;
    ShellOpenFn shellOpen_;
};

class Tfrm_splash {
  public:
    static constexpr int kCloseAfterMs = 3000;
    // Starts `tmr_close` at once: the splash closes 3000 ms after it was created.
    Tfrm_splash(Form& self, ui::Timer& tmr_close);
    void tmr_closeTimer();

  private:
    Form& self_;
    ui::Timer& tmr_close_;
};

// "Reset target!" in large letters. Nothing opens it today; it stays for the workflows
// that ask the technician to power-cycle a device.
class Tfrm_reset {
  public:
    explicit Tfrm_reset(Form& self) : self_(self) {}
    // On activation it moves to the top edge of its screen, centred horizontally.
    void FormActivate();

  private:
    Form& self_;
};

}  // namespace romtide::desktop
