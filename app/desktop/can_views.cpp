#include "app/desktop/can_views.h"
#include "app/desktop/view_helpers.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShowEvent>
#include <QTableWidget>

#include "app/desktop/xat_select_dialog.h"
#include "app/device_outcome.h"
#include "can_ui/can_search.h"
#include "ui/qt/qt_dialogs.h"

namespace romtide::desktop {

namespace {

// The monitor's indicator: a red dot when no bootloader answers, a green one when it does.
QPixmap indicator(const QColor& colour) {
    QPixmap pixmap(14, 14);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(colour.darker(150));
    painter.setBrush(colour);
    painter.drawEllipse(1, 1, 12, 12);
    return pixmap;
}

}  // namespace

void QtPicture::setVisible(bool visible) {
    if (widget_) {
        widget_->setHidden(!visible);
    }
}

bool QtPicture::isVisible() const {
    return widget_ && !widget_->isHidden();
}

CanOptionView::CanOptionView(std::unique_ptr<Tbootloader> session, ui::MessageBoxes& messages,
                             QWidget* mainWindow)
    : QDialog(nullptr, Qt::Dialog | kFixedBorderFlags),
      lab_option_can_baudrate(label(this, "lab_option_can_baudrate", "Baudrate", 12, 14, 80, true)),
      combobox_baudrate(named(new QComboBox(this), "combobox_baudrate", 96, 10, 130, 24)),
      lab_can_id(label(this, "lab_can_id", "Node-ID", 12, 52, 80, true)),
      edit_id(named(new QLineEdit(this), "edit_id", 96, 48, 130, 24)),
      button_can_option_okay(button(this, "button_can_option_okay", "&OK", 246, 10, 96, 26)),
      button_can_opt_cancel(button(this, "button_can_opt_cancel", "&Cancel", 246, 48, 96, 26)),
      session_(std::move(session)),
      mainWindow_(mainWindow),
      form_(this),
      baudList_(combobox_baudrate),
      id_(edit_id) {
    setObjectName(QStringLiteral("frm_can_option"));
    setWindowTitle(q(Tfrm_can_option::kCaption));
    paintWhite(this);
    setFixedSize(353, 89);
    setTabOrder(button_can_option_okay, button_can_opt_cancel);
    setTabOrder(button_can_opt_cancel, combobox_baudrate);
    setTabOrder(combobox_baudrate, edit_id);
    edit_id->installEventFilter(this);
    logic_ = std::make_unique<Tfrm_can_option>(*session_, messages,
                                               Tfrm_can_option::Controls{baudList_, id_},
                                               [this]() { QDialog::accept(); });
    connect(button_can_option_okay, &QPushButton::clicked, this,
            [this]() { logic_->button_can_option_okayClick(); });
    connect(button_can_opt_cancel, &QPushButton::clicked, this,
            [this]() { logic_->button_can_opt_cancelClick(); });
    logic_->FormCreate();
}

void CanOptionView::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    centreOnMain(form_, mainWindow_);
    button_can_option_okay->setFocus();
}

bool CanOptionView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == edit_id && dropsKey(event, Tfrm_can_option::edit_idKeyPress)) {
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

SelproductView::SelproductView(std::unique_ptr<Tbootloader> session, QWidget* mainWindow)
    : QDialog(nullptr, Qt::Dialog | kFixedBorderFlags),
      combobox_devices(named(new QComboBox(this), "combobox_devices", 10, 8, 239, 24)),
      button_okay(button(this, "button_okay", "&OK", 30, 40, 90, 26)),
      button_cancel(button(this, "button_cancel", "&Cancel", 140, 40, 90, 26)),
      session_(std::move(session)),
      mainWindow_(mainWindow),
      form_(this),
      devices_(combobox_devices, true) {
    setObjectName(QStringLiteral("frm_selproduct"));
    setWindowTitle(q(Tfrm_selproduct::kCaption));
    paintWhite(this);
    setFixedSize(259, 73);
    logic_ = std::make_unique<Tfrm_selproduct>(*session_, Tfrm_selproduct::Controls{devices_},
                                               [this]() { QDialog::accept(); });
    connect(button_okay, &QPushButton::clicked, this, [this]() { logic_->button_okayClick(); });
    connect(button_cancel, &QPushButton::clicked, this, [this]() { logic_->button_cancelClick(); });
    logic_->FormCreate();
}

void SelproductView::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    centreOnMain(form_, mainWindow_);
}

CanView::CanView(std::unique_ptr<Tbootloader> session, const WindowContext& context,
                 CanViewOptions options)
    : DownloadWindowView(context.mainWindow),
      button_can_init(button(this, "button_can_init", "&Init CAN adapter", 10, 12)),
      button_can_search(button(this, "button_can_search", "&Search", 140, 12)),
      button_can_open(button(this, "button_can_open", "&Open file", 270, 12)),
      button_can_download(button(this, "button_can_download", "&Download", 400, 12)),
      Button1(button(this, "Button1", "&Cancel", 530, 12)),
      button_can_quit(button(this, "button_can_quit", "&Quit", 660, 12)),
      lab_option_can_baudrate(
          label(this, "lab_option_can_baudrate", "Adapter search baudrate", 790, 4, 165)),
      combobox_baudrate(named(new QComboBox(this), "combobox_baudrate", 790, 22, 130, 24)),
      label_can_search_status(label(this, "label_can_search_status", "Search status", 966, 4, 124)),
      prog_bar_can_search(named(new QProgressBar(this), "prog_bar_can_search", 966, 25, 124, 18)),
      StringGrid1(named(new QTableWidget(this), "StringGrid1", 10, 56, 1080, 330)),
      lab_can_datei(label(this, "lab_can_datei", "File name", 10, 398, 530)),
      lab_can_download_status(
          label(this, "lab_can_download_status", "Download status", 10, 422, 130)),
      lab_can_update_nr(label(this, "lab_can_update_nr", "0", 150, 422, 30)),
      lab_can_backslash(label(this, "lab_can_backslash", "/", 182, 422, 10)),
      lab_can_tot_updatezahl(label(this, "lab_can_tot_updatezahl", "0", 194, 422, 30)),
      Label1(label(this, "Label1", "done", 226, 422, 60)),
      progress(named(new QProgressBar(this), "progress", 10, 444, 530, 20)),
      GroupBox1(
          named(new QGroupBox(q("Bootloader V1.0 only "), this), "GroupBox1", 10, 474, 530, 119)),
      lab_can_baudrate(label(GroupBox1, "lab_can_baudrate", "Baudrate", 14, 34, 200)),
      lab_can_id(label(GroupBox1, "lab_can_id", "Node-ID", 14, 70, 200)),
      img_can_boot_con_false(
          named(new QLabel(GroupBox1), "img_can_boot_con_false", 236, 52, 14, 14)),
      img_can_boot_con_okay(named(new QLabel(GroupBox1), "img_can_boot_con_okay", 236, 52, 14, 14)),
      button_can_settings(button(GroupBox1, "button_can_settings", "&Select slave", 290, 26)),
      button_can_connect(button(GroupBox1, "button_can_connect", "&Detect", 290, 66)),
      memo_can_ergebnisse(
          named(new QPlainTextEdit(this), "memo_can_ergebnisse", 550, 398, 540, 195)),
      session_(std::move(session)),
      windows_(context.windows) {
    setObjectName(QStringLiteral("frm_can"));
    setWindowTitle(q(Tfrm_can::kCaption));
    // The client area is 1028 x 603, widened to 1100 when the window is made.
    setFixedSize(Tfrm_can::kWidth, Tfrm_can::kClientHeight);

    if (options.openDialog == nullptr) {
        qtOpenDialog_ = std::make_unique<ui::QtOpenFileDialog>();
        openDialog_ = qtOpenDialog_.get();
    } else {
        openDialog_ = options.openDialog;
    }

    combobox_baudrate->setEditable(false);
    prog_bar_can_search->setTextVisible(false);
    {
        QPalette p = prog_bar_can_search->palette();
        p.setColor(QPalette::Highlight, QColor(0, 0, 128));  // navy
        prog_bar_can_search->setPalette(p);
    }
    progress->setTextVisible(false);

    StringGrid1->setColumnCount(8);
    StringGrid1->verticalHeader()->setVisible(false);
    StringGrid1->verticalHeader()->setDefaultSectionSize(18);
    StringGrid1->verticalHeader()->setMinimumSectionSize(18);
    StringGrid1->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    StringGrid1->horizontalHeader()->setHighlightSections(false);
    StringGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    StringGrid1->setSelectionMode(QAbstractItemView::SingleSelection);
    StringGrid1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    StringGrid1->setWordWrap(false);
    const int widths[] = {89, 222, 236, 86, 91, 91, 88, 98};
    for (int col = 0; col < 8; ++col) {
        StringGrid1->setColumnWidth(col, widths[col]);
    }

    img_can_boot_con_false->setPixmap(indicator(QColor(220, 30, 30)));
    img_can_boot_con_okay->setPixmap(indicator(QColor(30, 180, 30)));
    memo_can_ergebnisse->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    auto add = [this](QPushButton* b) -> ui::Button& {
        buttons_.push_back(std::make_unique<ui::QtButton>(b));
        return *buttons_.back();
    };
    baudList_ = std::make_unique<ui::QtComboBox>(combobox_baudrate);
    gauge_ = std::make_unique<ui::QtProgressBar>(prog_bar_can_search);
    progress_ = std::make_unique<ui::QtProgressBar>(progress);
    fileLabel_ = std::make_unique<ui::QtTextLabel>(lab_can_datei);
    doneLabel_ = std::make_unique<ui::QtTextLabel>(lab_can_update_nr);
    markedLabel_ = std::make_unique<ui::QtTextLabel>(lab_can_tot_updatezahl);
    baudLabel_ = std::make_unique<ui::QtTextLabel>(lab_can_baudrate);
    idLabel_ = std::make_unique<ui::QtTextLabel>(lab_can_id);
    notConnected_ = std::make_unique<QtPicture>(img_can_boot_con_false);
    connected_ = std::make_unique<QtPicture>(img_can_boot_con_okay);
    memo_ = std::make_unique<ui::QtMemo>(memo_can_ergebnisse);
    grid_ = std::make_unique<ui::QtStringGrid>(StringGrid1);
    monitorTimer_ = context.services.makeTimer();
    settingsTimer_ = context.services.makeTimer();
    countTimer_ = context.services.makeTimer();

    Tfrm_can::Controls controls{add(button_can_init),
                                add(button_can_search),
                                add(button_can_open),
                                add(button_can_download),
                                add(Button1),
                                add(button_can_quit),
                                add(button_can_settings),
                                add(button_can_connect),
                                *baudList_,
                                *gauge_,
                                *fileLabel_,
                                *doneLabel_,
                                *markedLabel_,
                                *progress_,
                                *baudLabel_,
                                *idLabel_,
                                *notConnected_,
                                *connected_,
                                *memo_,
                                *grid_,
                                *openDialog_,
                                *monitorTimer_,
                                *settingsTimer_,
                                *countTimer_};
    Tfrm_can::Actions actions;
    actions.close = [this]() { form_.close(); };
    // The dialogs are looked up when needed: the product dialog is made after this window.
    actions.showCanOption = [this]() {
        if (windows_.can_option) {
            windows_.can_option->form().showModal();
        }
    };
    actions.showSelproduct = [this]() {
        if (windows_.selproduct) {
            windows_.selproduct->form().showModal();
        }
    };
    if (options.dateTime) {
        actions.dateTime = std::move(options.dateTime);
    }
    if (options.endTime) {
        actions.endTime = std::move(options.endTime);
    }
    actions.runStarted = [this]() {
        record_.begin(TCANComm::boardInterface, *session_->imageFile);
    };
    actions.nodeRecorded = [this](const canui::NodeResult& r, double seconds, int64_t units) {
        std::optional<std::string> before;
        for (const auto& d : logic_->search().devices()) {
            if (d.node == r.node) {
                before = headless::applicationVersion(d);
            }
        }
        record_.device(headless::canEntry(r, before, seconds, units));
    };
    actions.runEnded = [this](const RunCounts& counts, const std::vector<int>& notRun,
                              bool stopped) { return record_.end(counts, notRun, stopped); };
    logic_ = std::make_unique<Tfrm_can>(*session_, controls, std::move(actions));

    auto on = [this](QPushButton* b, void (Tfrm_can::*handler)()) {
        connect(b, &QPushButton::clicked, this, [this, handler]() { ((*logic_).*handler)(); });
    };
    on(button_can_init, &Tfrm_can::button_can_initClick);
    on(button_can_search, &Tfrm_can::button_can_searchClick);
    on(button_can_open, &Tfrm_can::button_can_openClick);
    on(button_can_download, &Tfrm_can::button_can_downloadClick);
    on(Button1, &Tfrm_can::Button1Click);
    on(button_can_quit, &Tfrm_can::button_can_quitClick);
    on(button_can_settings, &Tfrm_can::button_can_settingsClick);
    on(button_can_connect, &Tfrm_can::button_can_connectClick);
    grid_->setSelectHandler(
        [this](int column, int row) { logic_->StringGrid1SelectCell(column, row); });
    // "Init CAN adapter" lets the user choose among the interfaces found.
    vci::setHardwareSelector(selectHardwareDialog);
}

CanView::~CanView() {
    vci::setHardwareSelector({});
    // The logic goes before the adapters and timers it refers to.
    logic_.reset();
}

std::unique_ptr<DesktopWindow> makeCanOptionWindow(WindowContext& context) {
    return std::make_unique<CanOptionView>(std::move(context.sessions.can_option),
                                           context.services.services.messages, context.mainWindow);
}

std::unique_ptr<DesktopWindow> makeCanWindow(WindowContext& context) {
    return std::make_unique<CanView>(std::move(context.sessions.can), context);
}

std::unique_ptr<DesktopWindow> makeSelproductWindow(WindowContext& context) {
    return std::make_unique<SelproductView>(std::move(context.sessions.selproduct),
                                            context.mainWindow);
}

}  // namespace romtide::desktop
