#include "app/desktop/profibus_views.h"

#include "app/desktop/view_helpers.h"
#include "app/device_outcome.h"

#include <QComboBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QTableWidget>

#include "ui/qt/qt_dialogs.h"

namespace romtide::desktop {

namespace {

constexpr int kGridColumns = 5;
constexpr int kGridWidths[kGridColumns] = {87, 79, 223, 118, 187};
constexpr int kGridRowHeight = 20;

QRadioButton* radio(QWidget* parent, const char* name, const char* text, int x, int y) {
    auto* r = named(new QRadioButton(q(text), parent), name, x, y, 80, 20);
    setBold(r);
    return r;
}

}  // namespace

ProfibusOptionView::ProfibusOptionView(std::unique_ptr<Tbootloader> session, QWidget* mainWindow)
    : QDialog(nullptr, Qt::Dialog | kFixedBorderFlags),
      lab_profibus_option_baudrate(
          label(this, "lab_profibus_option_baudrate", "Baudrate:", 12, 14, 80, true)),
      combobox_profibus_baudrate(
          named(new QComboBox(this), "combobox_profibus_baudrate", 96, 10, 120, 24)),
      button_profibus_option_okay(
          button(this, "button_profibus_option_okay", "&OK", 228, 8, 90, 26)),
      button_profibus_option_cancel(
          button(this, "button_profibus_option_cancel", "&Cancel", 228, 44, 90, 26)),
      lab_profibus_option_id(
          label(this, "lab_profibus_option_id", "NodeID (Dez):", 12, 50, 80, true)),
      edit_id_profibus(named(new QLineEdit(this), "edit_id_profibus", 96, 46, 120, 24)),
      // The PPO choice lies below the client area: it is kept, not offered.
      radio_profibus_ppo1(radio(this, "radio_profibus_ppo1", "PPO1", 12, 96)),
      radio_profibus_ppo2(radio(this, "radio_profibus_ppo2", "PPO2", 100, 96)),
      session_(std::move(session)),
      mainWindow_(mainWindow),
      form_(this),
      baudList_(combobox_profibus_baudrate, true),
      id_(edit_id_profibus),
      ppo1_(radio_profibus_ppo1),
      ppo2_(radio_profibus_ppo2) {
    setObjectName(QStringLiteral("frm_profibus_option"));
    setWindowTitle(q(Tfrm_profibus_option::kCaption));
    paintWhite(this);
    setFixedSize(Tfrm_profibus_option::kClientWidth, Tfrm_profibus_option::kClientHeight);
    for (QWidget* hidden : std::initializer_list<QWidget*>{
             lab_profibus_option_id, edit_id_profibus, radio_profibus_ppo1, radio_profibus_ppo2}) {
        hidden->hide();
    }
    setTabOrder(combobox_profibus_baudrate, button_profibus_option_okay);
    setTabOrder(button_profibus_option_okay, button_profibus_option_cancel);
    edit_id_profibus->installEventFilter(this);
    logic_ = std::make_unique<Tfrm_profibus_option>(
        *session_, Tfrm_profibus_option::Controls{baudList_, id_, ppo1_, ppo2_, cursor_},
        [this]() { QDialog::accept(); });
    connect(button_profibus_option_okay, &QPushButton::clicked, this,
            [this]() { logic_->button_profibus_option_okayClick(); });
    connect(button_profibus_option_cancel, &QPushButton::clicked, this,
            [this]() { logic_->button_profibus_option_cancelClick(); });
}

ProfibusOptionView::~ProfibusOptionView() {
    logic_.reset();
}

void ProfibusOptionView::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (event->spontaneous()) {
        return;
    }
    centreOnMain(form_, mainWindow_);
    logic_->FormActivate();
    combobox_profibus_baudrate->setFocus();
}

bool ProfibusOptionView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == edit_id_profibus &&
        dropsKey(event, Tfrm_profibus_option::edit_id_profibusKeyPress)) {
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

ProfibusView::ProfibusView(std::unique_ptr<Tbootloader> session, const WindowContext& context,
                           ProfibusViewOptions options)
    : DownloadWindowView(context.mainWindow),
      buton_profibus_initialize(
          button(this, "buton_profibus_initialize", "&Init Talvik adapter", 10, 12, 140)),
      button_profibus_search(button(this, "button_profibus_search", "&Search", 158, 12, 100)),
      button_profibus_settings(button(this, "button_profibus_settings", "&Settings", 266, 12, 100)),
      button_profibus_open_file(
          button(this, "button_profibus_open_file", "&Open File", 374, 12, 100)),
      button_profibus_download(button(this, "button_profibus_download", "&Download", 482, 12, 100)),
      button_profibus_cancel(button(this, "button_profibus_cancel", "&Cancel", 590, 12, 100)),
      button_profibus_close(button(this, "button_profibus_close", "&Quit", 698, 12, 94)),
      StringGrid1(named(new QTableWidget(this), "StringGrid1", 10, 52, 782, 270)),
      check_box_status(named(new QListWidget(this), "check_box_status", 10, 332, 220, 44)),
      lab_profibus_adapter(label(this, "lab_profibus_adapter", "", 10, 380, 220)),
      lab_profibus_baudrate(label(this, "lab_profibus_baudrate", "Baudrate", 250, 332, 200)),
      lab_profibus_id(label(this, "lab_profibus_id", "Node-ID", 250, 355, 200)),
      lab_profibus_ppo(label(this, "lab_profibus_ppo", "PPO", 250, 378, 200)),
      lab_profibus_info(label(this, "lab_profibus_info", "Info", 470, 332, 322)),
      progress_profibus(named(new QProgressBar(this), "progress_profibus", 470, 355, 322, 18)),
      progress_profibus_slaves(
          named(new QProgressBar(this), "progress_profibus_slaves", 470, 378, 322, 18)),
      lab_profibus_datei(label(this, "lab_profibus_datei", "", 10, 406, 782)),
      session_(std::move(session)),
      windows_(context.windows) {
    setObjectName(QStringLiteral("frm_profibus"));
    setWindowTitle(q(Tfrm_profibus::kCaption));
    setFixedSize(Tfrm_profibus::kClientWidth, Tfrm_profibus::kClientHeight);

    if (options.openDialog == nullptr) {
        qtOpenDialog_ = std::make_unique<ui::QtOpenFileDialog>();
        openDialog_ = qtOpenDialog_.get();
    } else {
        openDialog_ = options.openDialog;
    }

    for (QProgressBar* bar : {progress_profibus, progress_profibus_slaves}) {
        bar->setTextVisible(false);
    }
    check_box_status->setFrameShape(QFrame::NoFrame);
    check_box_status->setFocusPolicy(Qt::NoFocus);
    check_box_status->setAutoFillBackground(false);

    StringGrid1->setColumnCount(kGridColumns);
    StringGrid1->setFocusPolicy(Qt::NoFocus);
    StringGrid1->verticalHeader()->setVisible(false);
    StringGrid1->verticalHeader()->setDefaultSectionSize(kGridRowHeight);
    StringGrid1->verticalHeader()->setMinimumSectionSize(kGridRowHeight);
    StringGrid1->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    StringGrid1->horizontalHeader()->setHighlightSections(false);
    StringGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    StringGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    StringGrid1->setWordWrap(false);
    for (int col = 0; col < kGridColumns; ++col) {
        StringGrid1->setColumnWidth(col, kGridWidths[col]);
    }
    setTabOrder(buton_profibus_initialize, button_profibus_search);
    setTabOrder(button_profibus_search, button_profibus_settings);
    setTabOrder(button_profibus_settings, button_profibus_open_file);
    setTabOrder(button_profibus_open_file, button_profibus_download);
    setTabOrder(button_profibus_download, button_profibus_cancel);
    setTabOrder(button_profibus_cancel, button_profibus_close);

    auto add = [this](QPushButton* b) -> ui::Button& {
        buttons_.push_back(std::make_unique<ui::QtButton>(b));
        return *buttons_.back();
    };
    auto text = [this](QLabel* l) -> ui::TextLabel& {
        labels_.push_back(std::make_unique<ui::QtTextLabel>(l));
        return *labels_.back();
    };
    status_ = std::make_unique<ui::QtCheckList>(check_box_status);
    progress_ = std::make_unique<ui::QtProgressBar>(progress_profibus);
    stations_ = std::make_unique<ui::QtProgressBar>(progress_profibus_slaves);
    grid_ = std::make_unique<ui::QtStringGrid>(StringGrid1);
    timer_ = context.services.makeTimer();

    Tfrm_profibus::Controls controls{add(buton_profibus_initialize),
                                     add(button_profibus_search),
                                     add(button_profibus_settings),
                                     add(button_profibus_open_file),
                                     add(button_profibus_download),
                                     add(button_profibus_cancel),
                                     add(button_profibus_close),
                                     *status_,
                                     text(lab_profibus_adapter),
                                     text(lab_profibus_baudrate),
                                     text(lab_profibus_id),
                                     text(lab_profibus_ppo),
                                     text(lab_profibus_datei),
                                     text(lab_profibus_info),
                                     *progress_,
                                     *stations_,
                                     *grid_,
                                     *openDialog_,
                                     *timer_,
                                     cursor_};
    Tfrm_profibus::Actions actions;
    actions.close = [this]() { form_.close(); };
    // Looked up when needed: the dialog is made after this window.
    actions.showProfibusOption = [this]() {
        if (windows_.profibus_option) {
            windows_.profibus_option->form().showModal();
        }
    };
    actions.runStarted = [this]() {
        const std::string board = "device " + std::to_string(session_->profibus->GetDevice());
        record_.begin(board, *session_->imageFile);
    };
    actions.stationRecorded = [this](const pbui::StationResult& r, int64_t units) {
        // The version the search showed for the station, when it ran its application.
        std::optional<std::string> before;
        for (int row = 1; row < grid_->rowCount(); ++row) {
            const std::string version = grid_->cell(3, row);
            if (grid_->cell(1, row) == std::to_string(r.station) && pbui::versionWordOf(version)) {
                before = version;
            }
        }
        record_.device(headless::profibusEntry(r, before, units));
    };
    actions.runEnded = [this](const RunCounts& counts, const std::vector<int>& notRun,
                              bool stopped) { return record_.end(counts, notRun, stopped); };
    logic_ = std::make_unique<Tfrm_profibus>(*session_, controls, std::move(actions));

    auto on = [this](QPushButton* b, void (Tfrm_profibus::*handler)()) {
        connect(b, &QPushButton::clicked, this, [this, handler]() { ((*logic_).*handler)(); });
    };
    on(buton_profibus_initialize, &Tfrm_profibus::buton_profibus_initializeClick);
    on(button_profibus_search, &Tfrm_profibus::button_profibus_searchClick);
    on(button_profibus_settings, &Tfrm_profibus::button_profibus_settingsClick);
    on(button_profibus_open_file, &Tfrm_profibus::button_profibus_open_fileClick);
    on(button_profibus_download, &Tfrm_profibus::button_profibus_downloadClick);
    on(button_profibus_cancel, &Tfrm_profibus::button_profibus_cancelClick);
    on(button_profibus_close, &Tfrm_profibus::button_profibus_closeClick);
    grid_->setSelectHandler(
        [this](int column, int row) { logic_->StringGrid1SelectCell(column, row); });
}

ProfibusView::~ProfibusView() {
    // The logic goes before the adapters and the timer it refers to.
    logic_.reset();
}

std::unique_ptr<DesktopWindow> makeProfibusWindow(WindowContext& context) {
    return std::make_unique<ProfibusView>(std::move(context.sessions.profibus), context);
}

std::unique_ptr<DesktopWindow> makeProfibusOptionWindow(WindowContext& context) {
    return std::make_unique<ProfibusOptionView>(std::move(context.sessions.profibus_option),
                                                context.mainWindow);
}

}  // namespace romtide::desktop
