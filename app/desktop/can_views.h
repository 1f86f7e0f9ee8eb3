// Qt views of the CAN download window and its two dialogs. They build the widgets under
// the control names the logic uses, forward the widgets' events to the logic's
// handlers, and join the start-up through the window factories.
#pragma once

#include <QDialog>
#include <QPointer>
#include <memory>

#include "app/desktop/desktop.h"
#include "app/desktop/download_window_view.h"
#include "app/desktop/widget_form.h"
#include "app/desktop/window_run_record.h"
#include "can_ui/can_dialogs.h"
#include "can_ui/can_window.h"
#include "ui/qt/qt_widgets.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;

namespace romtide::desktop {

// A picture shown or hidden by the logic; "hidden" is the widget's own state, so it
// reads the same while the window itself is hidden.
class QtPicture : public canui::Picture {
  public:
    explicit QtPicture(QWidget* widget) : widget_(widget) {}
    void setVisible(bool visible) override;
    bool isVisible() const override;

  private:
    QPointer<QWidget> widget_;
};

class CanOptionView : public QDialog, public DesktopWindow {
  public:
    CanOptionView(std::unique_ptr<Tbootloader> session, ui::MessageBoxes& messages,
                  QWidget* mainWindow);
    Form& form() override { return form_; }
    Tfrm_can_option& logic() { return *logic_; }

    QLabel* lab_option_can_baudrate;
    QComboBox* combobox_baudrate;
    QLabel* lab_can_id;
    QLineEdit* edit_id;
    QPushButton* button_can_option_okay;
    QPushButton* button_can_opt_cancel;

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::unique_ptr<Tbootloader> session_;
    QPointer<QWidget> mainWindow_;
    WidgetForm form_;
    ui::QtComboBox baudList_;
    ui::QtLineEdit id_;
    std::unique_ptr<Tfrm_can_option> logic_;
};

class SelproductView : public QDialog, public DesktopWindow {
  public:
    SelproductView(std::unique_ptr<Tbootloader> session, QWidget* mainWindow);
    Form& form() override { return form_; }
    Tfrm_selproduct& logic() { return *logic_; }

    QComboBox* combobox_devices;
    QPushButton* button_okay;
    QPushButton* button_cancel;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    std::unique_ptr<Tbootloader> session_;
    QPointer<QWidget> mainWindow_;
    WidgetForm form_;
    ui::QtComboBox devices_;
    std::unique_ptr<Tfrm_selproduct> logic_;
};

struct CanViewOptions {
    // The open-file dialog of "&Open file"; null: Qt's own.
    ui::OpenFileDialog* openDialog = nullptr;
    // The start line's date and time; empty: the local time.
    std::function<std::string()> dateTime;
    // The end line's time; empty: now, UTC.
    std::function<std::string()> endTime;
};

class CanView : public DownloadWindowView<Tfrm_can> {
  public:
    CanView(std::unique_ptr<Tbootloader> session, const WindowContext& context,
            CanViewOptions options = {});
    ~CanView() override;
    Tbootloader& session() { return *session_; }

    QPushButton* button_can_init;
    QPushButton* button_can_search;
    QPushButton* button_can_open;
    QPushButton* button_can_download;
    QPushButton* Button1;
    QPushButton* button_can_quit;
    QLabel* lab_option_can_baudrate;
    QComboBox* combobox_baudrate;
    QLabel* label_can_search_status;
    QProgressBar* prog_bar_can_search;
    QTableWidget* StringGrid1;
    QLabel* lab_can_datei;
    QLabel* lab_can_download_status;
    QLabel* lab_can_update_nr;
    QLabel* lab_can_backslash;
    QLabel* lab_can_tot_updatezahl;
    QLabel* Label1;
    QProgressBar* progress;
    QGroupBox* GroupBox1;
    QLabel* lab_can_baudrate;
    QLabel* lab_can_id;
    QLabel* img_can_boot_con_false;
    QLabel* img_can_boot_con_okay;
    QPushButton* button_can_settings;
    QPushButton* button_can_connect;
    QPlainTextEdit* memo_can_ergebnisse;

    ui::Timer& tmr_can_bootloader_connect() { return *monitorTimer_; }
    ui::Timer& tmr_can_settings() { return *settingsTimer_; }
    ui::Timer& tmr_can_updates_anzahl() { return *countTimer_; }

  private:
    std::unique_ptr<Tbootloader> session_;
    const DesktopWindows& windows_;
    std::unique_ptr<ui::OpenFileDialog> qtOpenDialog_;
    ui::OpenFileDialog* openDialog_;
    std::vector<std::unique_ptr<ui::Button>> buttons_;
    std::unique_ptr<ui::QtComboBox> baudList_;
    std::unique_ptr<ui::QtProgressBar> gauge_;
    std::unique_ptr<ui::QtProgressBar> progress_;
    std::unique_ptr<ui::QtTextLabel> fileLabel_, doneLabel_, markedLabel_, baudLabel_, idLabel_;
    std::unique_ptr<QtPicture> notConnected_, connected_;
    std::unique_ptr<ui::QtMemo> memo_;
    std::unique_ptr<ui::QtStringGrid> grid_;
    std::unique_ptr<ui::Timer> monitorTimer_, settingsTimer_, countTimer_;
    WindowRunRecord record_{"can"};
};

// The factories of the three CAN windows for runDesktop.
std::unique_ptr<DesktopWindow> makeCanOptionWindow(WindowContext& context);
std::unique_ptr<DesktopWindow> makeCanWindow(WindowContext& context);
std::unique_ptr<DesktopWindow> makeSelproductWindow(WindowContext& context);

}  // namespace romtide::desktop
