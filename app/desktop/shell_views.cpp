#include "app/desktop/shell_views.h"
#include "app/desktop/view_helpers.h"

#include <QAction>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

namespace romtide::desktop {

namespace {

QStatusBar* noticeBar(QWidget* parent) {
    auto* bar = new QStatusBar(parent);
    bar->setObjectName(QStringLiteral("StatusBar1"));
    bar->setSizeGripEnabled(false);
    auto* notice = new QLabel(q(text::kNotice), bar);
    notice->setObjectName(QStringLiteral("notice"));
    notice->setMinimumWidth(50);
    bar->addWidget(notice, 1);
    return bar;
}

}  // namespace

void ClickableLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        onClick) {
        onClick();
    }
}

MainWindowView::MainWindowView(Form& about, std::function<void()> quitApplication)
    : QMainWindow(nullptr, Qt::Window | kFixedBorderFlags),
      menu_bootloader(menuBar()->addMenu(q(text::kToolsMenu))),
      menu_info(menuBar()->addMenu(q(text::kHelpMenu))),
      menu_can(menu_bootloader->addAction(q(text::kCanDownload))),
      menu_profibus([this]() {
          menu_bootloader->addSeparator();
          return menu_bootloader->addAction(q(text::kProfibusDownload));
      }()),
      Quit1([this]() {
          menu_bootloader->addSeparator();
          return menu_bootloader->addAction(q(text::kQuit));
      }()),
      menu_about(menu_info->addAction(q(text::kInfo))),
      form_(this),
      canItem_(std::make_unique<ui::QtActionButton>(menu_can)),
      profibusItem_(std::make_unique<ui::QtActionButton>(menu_profibus)),
      logic_({form_, *canItem_, *profibusItem_}, about, std::move(quitApplication)) {
    setObjectName(QStringLiteral("frm_main"));
    setWindowTitle(q(text::kMainCaption));
    menu_bootloader->setObjectName(QStringLiteral("menu_bootloader"));
    menu_info->setObjectName(QStringLiteral("menu_info"));
    menu_can->setObjectName(QStringLiteral("menu_can"));
    menu_can->setShortcut(QKeySequence(Qt::Key_F2));
    menu_profibus->setObjectName(QStringLiteral("menu_profibus"));
    menu_profibus->setShortcut(QKeySequence(Qt::Key_F3));
    Quit1->setObjectName(QStringLiteral("Quit1"));
    menu_about->setObjectName(QStringLiteral("menu_about"));

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("img_main"));
    picture->setPixmap(QPixmap(QStringLiteral(":/romtide/product.png")));
    picture->setScaledContents(true);
    paintWhite(picture);
    setCentralWidget(picture);
    setStatusBar(noticeBar(this));
    paintWhite(this);

    // The client area (picture and status bar) is 472 x 294; the menu bar comes on top.
    setFixedSize(472, 294 + menuBar()->sizeHint().height());

    connect(menu_can, &QAction::triggered, this, [this]() { logic_.menu_canClick(); });
    connect(menu_profibus, &QAction::triggered, this, [this]() { logic_.menu_profibusClick(); });
    connect(Quit1, &QAction::triggered, this, [this]() { logic_.Quit1Click(); });
    connect(menu_about, &QAction::triggered, this, [this]() { logic_.menu_aboutClick(); });
    logic_.FormCreate();
}

void MainWindowView::closeEvent(QCloseEvent* event) {
    event->accept();
    logic_.FormClose();
}

AboutView::AboutView(QWidget* mainWindow, Tfrm_about::ShellOpenFn shellOpen)
    : QDialog(mainWindow, Qt::Window | kFixedBorderFlags | Qt::Dialog),
      img_korvane(new ClickableLabel(this)),
      lab_version(new QLabel(q(text::kVersion), this)),
      Button1(new QPushButton(q(text::kOk), this)),
      mainWindow_(mainWindow),
      form_(this),
      logic_(form_, std::move(shellOpen)) {
    setObjectName(QStringLiteral("frm_about"));
    setWindowTitle(q(text::kAboutCaption));
    paintWhite(this);

    img_korvane->setObjectName(QStringLiteral("img_korvane"));
    img_korvane->setPixmap(QPixmap(QStringLiteral(":/romtide/korvane_logo.png")));
    img_korvane->setCursor(Qt::PointingHandCursor);
    img_korvane->onClick = [this]() { logic_.img_korvaneClick(); };
    lab_version->setObjectName(QStringLiteral("lab_version"));
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, [this]() { logic_.Button1Click(); });

    auto* top = new QHBoxLayout;
    top->addWidget(img_korvane, 0, Qt::AlignLeft | Qt::AlignTop);
    top->addStretch(1);
    top->addWidget(lab_version, 0, Qt::AlignRight | Qt::AlignVCenter);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch(1);
    bottom->addWidget(Button1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 1);
    layout->addLayout(bottom);
    setFixedSize(312, 145);
}

void AboutView::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (mainWindow_) {
        logic_.FormShow(toRect(mainWindow_->frameGeometry()));
    }
}

SplashView::SplashView(const TimerFactory& makeTimer)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      form_(this),
      timer_(makeTimer()) {
    setObjectName(QStringLiteral("frm_splash"));
    setAttribute(Qt::WA_DeleteOnClose);
    paintWhite(this);
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("img_splash"));
    picture->setPixmap(QPixmap(QStringLiteral(":/romtide/product.png")));
    picture->setFixedSize(480, 340);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(picture);
    layout->addWidget(noticeBar(this));
    adjustSize();
    setFixedSize(size());
    centreOn(form_, form_.screenArea());
    logic_ = std::make_unique<Tfrm_splash>(form_, *timer_);
}

ResetView::ResetView()
    : QDialog(nullptr), label(new QLabel(q(text::kResetTarget), this)), form_(this), logic_(form_) {
    setObjectName(QStringLiteral("frm_reset"));
    setWindowTitle(q(text::kResetCaption));
    paintWhite(this);
    label->setObjectName(QStringLiteral("Label1"));
    label->setAlignment(Qt::AlignCenter);
    QFont font(QStringLiteral("Arial"));
    font.setPixelSize(67);
    label->setFont(font);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, p.color(QPalette::Highlight));
    label->setPalette(p);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label);
    setFixedSize(663, 174);
}

bool ResetView::event(QEvent* event) {
    const bool handled = QDialog::event(event);
    if (event->type() == QEvent::WindowActivate) {
        logic_.FormActivate();
    }
    return handled;
}

}  // namespace romtide::desktop
