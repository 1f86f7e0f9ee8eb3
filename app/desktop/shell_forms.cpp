#include "app/desktop/shell_forms.h"

namespace romtide::desktop {

Tfrm_main::Tfrm_main(Controls controls, Form& about, std::function<void()> quitApplication)
    : c_(controls), about_(about), quit_(std::move(quitApplication)) {
    c_.menu_can.setEnabled(false);
    c_.menu_profibus.setEnabled(false);
}

void Tfrm_main::attachCanWindow(Form* window) {
    can_ = window;
    c_.menu_can.setEnabled(window != nullptr);
}

void Tfrm_main::attachProfibusWindow(Form* window) {
    profibus_ = window;
    c_.menu_profibus.setEnabled(window != nullptr);
}

void Tfrm_main::FormCreate() {
    centreOn(c_.self, c_.self.screenArea());
}

bool Tfrm_main::downloadWindowVisible() const {
    return (can_ && can_->isVisible()) || (profibus_ && profibus_->isVisible());
}

void Tfrm_main::openDownloadWindow(Form* window) {
    // A shortcut can reach us while a download window is open; one at a time.
    if (window == nullptr || downloadWindowVisible()) {
        return;
    }
    c_.self.hide();
    window->showModal();
    c_.self.show();
}

void Tfrm_main::menu_canClick() {
    openDownloadWindow(can_);
}

void Tfrm_main::menu_profibusClick() {
    openDownloadWindow(profibus_);
}

void Tfrm_main::menu_aboutClick() {
    about_.showModal();
}

void Tfrm_main::Quit1Click() {
    if (quit_) {
        quit_();
    }
}

void Tfrm_main::FormClose() {
    Quit1Click();
}

Tfrm_about::Tfrm_about(Form& self, ShellOpenFn shellOpen)
    : self_(self), shellOpen_(std::move(shellOpen)) {}

void Tfrm_about::FormShow(const Rect& mainWindow) {
    centreOn(self_, mainWindow);
}

void Tfrm_about::Button1Click() {
    self_.close();
}

void Tfrm_about::img_korvaneClick() {
    if (shellOpen_) {
        shellOpen_(text::kMakerAddress, "");
    }
}

Tfrm_splash::Tfrm_splash(Form& self, ui::Timer& tmr_close) : self_(self), tmr_close_(tmr_close) {
    tmr_close_.setHandler([this]() { tmr_closeTimer(); });
    tmr_close_.setInterval(kCloseAfterMs);
    tmr_close_.setEnabled(true);
}

void Tfrm_splash::tmr_closeTimer() {
    tmr_close_.setEnabled(false);
    self_.close();
}

void Tfrm_reset::FormActivate() {
    const Rect screen = self_.screenArea();
    const Rect f = self_.frame();
    self_.moveTo(screen.left + (screen.width - f.width) / 2, screen.top);
}

}  // namespace romtide::desktop
