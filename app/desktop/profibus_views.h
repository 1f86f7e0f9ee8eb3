// Qt views of the Profibus download window and its options dialog. They build the
// widgets under the control names the logic uses, forward the widgets' events to the
// logic's handlers, and join the start-up through the window factories.
#pragma once

#include <QDialog>
#include <QPointer>
#include <memory>
#include <vector>

#include "app/desktop/desktop.h"
#include "app/desktop/download_window_view.h"
#include "app/desktop/widget_form.h"
#include "app/desktop/window_run_record.h"
#include "profibus_ui/profibus_option.h"
#include "profibus_ui/profibus_window.h"
#include "ui/qt/qt_widgets.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTableWidget;

namespace romtide::desktop {

class ProfibusOptionView : public QDialog, public DesktopWindow {
  public:
    ProfibusOptionView(std::unique_ptr<Tbootloader> session, QWidget* mainWindow);
    ~ProfibusOptionView() override;
    Form& form() override { return form_; }
    Tfrm_profibus_option& logic() { return *logic_; }

    QLabel* lab_profibus_option_baudrate;
    QComboBox* combobox_profibus_baudrate;
    QPushButton* button_profibus_option_okay;
    QPushButton* button_profibus_option_cancel;
    QLabel* lab_profibus_option_id;
    QLineEdit* edit_id_profibus;
    QRadioButton* radio_profibus_ppo1;
    QRadioButton* radio_profibus_ppo2;

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    std::unique_ptr<Tbootloader> session_;
    QPointer<QWidget> mainWindow_;
    WidgetForm form_;
    ui::QtComboBox baudList_;
    ui::QtLineEdit id_;
    ui::QtCheckControl ppo1_, ppo2_;
    ui::QtBusyCursor cursor_;
    std::unique_ptr<Tfrm_profibus_option> logic_;
};

struct ProfibusViewOptions {
    // The open-file dialog of "&Open File"; null: Qt's own.
    ui::OpenFileDialog* openDialog = nullptr;
};

class ProfibusView : public DownloadWindowView<Tfrm_profibus> {
  public:
    ProfibusView(std::unique_ptr<Tbootloader> session, const WindowContext& context,
                 ProfibusViewOptions options = {});
    ~ProfibusView() override;
    Tbootloader& session() { return *session_; }

    QPushButton* buton_profibus_initialize;
    QPushButton* button_profibus_search;
    QPushButton* button_profibus_settings;
    QPushButton* button_profibus_open_file;
    QPushButton* button_profibus_download;
    QPushButton* button_profibus_cancel;
    QPushButton* button_profibus_close;
    QTableWidget* StringGrid1;
    QListWidget* check_box_status;
    QLabel* lab_profibus_adapter;
    QLabel* lab_profibus_baudrate;
    QLabel* lab_profibus_id;
    QLabel* lab_profibus_ppo;
    QLabel* lab_profibus_info;
    QProgressBar* progress_profibus;
    QProgressBar* progress_profibus_slaves;
    QLabel* lab_profibus_datei;

    ui::Timer& tmr_connect_adapter() { return *timer_; }

  private:
    std::unique_ptr<Tbootloader> session_;
    const DesktopWindows& windows_;
    std::unique_ptr<ui::OpenFileDialog> qtOpenDialog_;
    ui::OpenFileDialog* openDialog_;
    std::vector<std::unique_ptr<ui::Button>> buttons_;
    std::unique_ptr<ui::QtCheckList> status_;
    std::vector<std::unique_ptr<ui::QtTextLabel>> labels_;
    std::unique_ptr<ui::QtProgressBar> progress_, stations_;
    std::unique_ptr<ui::QtStringGrid> grid_;
    std::unique_ptr<ui::Timer> timer_;
    ui::QtBusyCursor cursor_;
    WindowRunRecord record_{"profibus"};
};

// The factories of the two Profibus windows for runDesktop.
std::unique_ptr<DesktopWindow> makeProfibusWindow(WindowContext& context);
std::unique_ptr<DesktopWindow> makeProfibusOptionWindow(WindowContext& context);

}  // namespace romtide::desktop
