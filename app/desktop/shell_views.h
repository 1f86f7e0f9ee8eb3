// Qt views of the shell's windows. They build the widgets under the control names the
// logic uses and forward the widgets' events to the logic's handlers.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QMainWindow>
#include <QWidget>
#include <memory>

#include "app/desktop/shell_forms.h"
#include "app/desktop/widget_form.h"
#include "ui/qt/qt_widgets.h"

class QAction;
class QMenu;
class QPushButton;

namespace romtide::desktop {

// A picture that reports clicks (the maker's logo).
class ClickableLabel : public QLabel {
  public:
    using QLabel::QLabel;
    std::function<void()> onClick;

  protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
};

class MainWindowView : public QMainWindow {
  public:
    MainWindowView(Form& about, std::function<void()> quitApplication);
    Tfrm_main& logic() { return logic_; }
    Form& form() { return form_; }

    QMenu* menu_bootloader;
    QMenu* menu_info;
    QAction* menu_can;
    QAction* menu_profibus;
    QAction* Quit1;
    QAction* menu_about;

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    WidgetForm form_;
    std::unique_ptr<ui::QtActionButton> canItem_;
    std::unique_ptr<ui::QtActionButton> profibusItem_;
    Tfrm_main logic_;
};

class AboutView : public QDialog {
  public:
    // `mainWindow`: the box is centred on it each time it is shown.
    AboutView(QWidget* mainWindow, Tfrm_about::ShellOpenFn shellOpen);
    Tfrm_about& logic() { return logic_; }
    Form& form() { return form_; }

    ClickableLabel* img_korvane;
    QLabel* lab_version;
    QPushButton* Button1;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QPointer<QWidget> mainWindow_;
    WidgetForm form_;
    Tfrm_about logic_;
};

// Closing frees the splash: it is deleted once its close has been handled.
class SplashView : public QWidget {
  public:
    explicit SplashView(const TimerFactory& makeTimer);
    Tfrm_splash& logic() { return *logic_; }
    ui::Timer& tmr_close() { return *timer_; }

  private:
    WidgetForm form_;
    std::unique_ptr<ui::Timer> timer_;
    std::unique_ptr<Tfrm_splash> logic_;
};

class ResetView : public QDialog {
  public:
    ResetView();
    Tfrm_reset& logic() { return logic_; }
    QLabel* label;

  protected:
    bool event(QEvent* event) override;

  private:
    WidgetForm form_;
    Tfrm_reset logic_;
};

}  // namespace romtide::desktop
