// The desktop program's start-up and shell windows, against the real widgets.
#include "app/desktop/desktop.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <set>

#include "app/virtual_timer.h"
#include "support/fakes.h"
#include "ui/qt_test_support.h"

namespace romtide::desktop {
namespace {

class ScriptedShell : public ShellOpener {
  public:
    int open(const std::string& file, const std::string& parameters) override {
        opened.push_back(file + "|" + parameters);
        return result;
    }
    std::vector<std::string> opened;
    int result = shell::kOk;
};

// A download window as the later windows will be: a dialog shown modally.
class FakeDownloadWindow {
  public:
    explicit FakeDownloadWindow(const char* name) : form(&dialog) {
        dialog.setObjectName(QString::fromLatin1(name));
    }
    QDialog dialog;
    WidgetForm form;
};

class DesktopTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::testApplication(); }
    void SetUp() override {
        Tbootloader::resetSharedState();
        sessions = std::make_unique<SessionObjects>(services.services);
        desktop = std::make_unique<Desktop>(
            *sessions,
            DesktopServices{
                services.services, shell,
                [this]() { return std::make_unique<test::VirtualTimer>(services.clock); },
                [this]() {
                    ++quits;
                    if (quitEndsLoop) {
                        QCoreApplication::exit(0);  // as the program does
                    }
                }});
    }
    void TearDown() override {
        desktop.reset();
        sessions.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    MainWindowView& main() { return desktop->mainWindow(); }
    void activate(QWidget* w) {
        w->activateWindow();
        QApplication::setActiveWindow(w);
        ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    }
    static std::vector<std::string> visibleTopLevels() {
        std::vector<std::string> names;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible()) {
                names.push_back(w->objectName().toStdString());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    test::TestServices services;
    ScriptedShell shell;
    int quits = 0;
    bool quitEndsLoop = false;
    std::unique_ptr<SessionObjects> sessions;
    std::unique_ptr<Desktop> desktop;
};

TEST_F(DesktopTest, StartUpShowsTheSplashFirstAndLeavesOnlyMainWindowAndSplashVisible) {
    EXPECT_EQ(desktop->startupSteps(),
              (std::vector<std::string>{"title", "splash shown", "frm_main", "frm_about",
                                        "frm_reset", "main window shown"}));
    EXPECT_EQ(QCoreApplication::applicationName().toStdString(), "Romtide");
    EXPECT_EQ(visibleTopLevels(), (std::vector<std::string>{"frm_main", "frm_splash"}));
    ASSERT_NE(desktop->splash(), nullptr);
    EXPECT_TRUE(desktop->splash()->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(desktop->splash()->windowFlags() & Qt::FramelessWindowHint);

    // Every session exists, one for each window that will own one.
    std::set<Tbootloader*> distinct{sessions->can_option.get(), sessions->profibus.get(),
                                    sessions->profibus_option.get(), sessions->can.get(),
                                    sessions->selproduct.get()};
    distinct.erase(nullptr);
    EXPECT_EQ(distinct.size(), 5u);
}

TEST_F(DesktopTest, WindowsHaveTheirCaptionsAndSizes) {
    EXPECT_EQ(main().windowTitle().toStdString(), "Romtide");
    EXPECT_EQ(main().centralWidget()->height() + main().statusBar()->height(), 294);
    EXPECT_EQ(main().width(), 472);
    EXPECT_FALSE(main().windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(main().minimumSize(), main().maximumSize()) << "fixed border";
    auto* notice = main().statusBar()->findChild<QLabel*>(QStringLiteral("notice"));
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->text().toStdString(), text::kNotice);

    auto& about = desktop->about();
    EXPECT_EQ(about.windowTitle().toStdString(), "Romtide - About");
    EXPECT_EQ(about.size(), QSize(312, 145));
    EXPECT_EQ(about.lab_version->text().toStdString(), "Version 2.04.00");
    EXPECT_EQ(about.Button1->text().toStdString(), "&OK");
    EXPECT_EQ(about.img_korvane->cursor().shape(), Qt::PointingHandCursor);
    EXPECT_FALSE(about.img_korvane->pixmap().isNull()) << "the logo comes from the resources";

    auto& reset = desktop->reset();
    EXPECT_EQ(reset.windowTitle().toStdString(), "Information - Bootloader - Korvane Electric AG");
    EXPECT_EQ(reset.size(), QSize(663, 174));
    EXPECT_EQ(reset.label->text().toStdString(), "Reset target!");
    EXPECT_EQ(reset.label->font().pixelSize(), 67);

    auto* picture = desktop->splash()->findChild<QLabel*>(QStringLiteral("img_splash"));
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->pixmap().size(), QSize(480, 340));
}

TEST_F(DesktopTest, MainWindowAndSplashStandCentredOnTheScreen) {
    const QRect screen = main().screen()->availableGeometry();
    for (QWidget* w : {static_cast<QWidget*>(&main()), static_cast<QWidget*>(desktop->splash())}) {
        // The frame is known only once the window is shown; allow for its width.
        const QPoint offset = w->frameGeometry().center() - screen.center();
        EXPECT_LE(offset.manhattanLength(), 8) << w->objectName().toStdString();
    }
}

TEST_F(DesktopTest, SplashClosesAfterThreeSecondsAndIsFreed) {
    services.clock.advanceToUs(2'999'000);
    ASSERT_NE(desktop->splash(), nullptr);
    EXPECT_TRUE(desktop->splash()->isVisible());
    EXPECT_TRUE(main().menu_about->isEnabled()) << "the main window is usable meanwhile";

    services.clock.advanceToUs(3'000'000);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(desktop->splash(), nullptr);
    EXPECT_EQ(visibleTopLevels(), (std::vector<std::string>{"frm_main"}));
    services.clock.advanceToUs(20'000'000);
    EXPECT_EQ(services.clock.pendingEvents(), 0u) << "the closed splash left no timer running";
}

TEST_F(DesktopTest, MenusHaveTheirEntriesShortcutsAndEnabledStates) {
    EXPECT_EQ(main().menu_bootloader->title().toStdString(), "Tools");
    EXPECT_EQ(main().menu_info->title().toStdString(), "Help");
    std::vector<std::string> entries;
    for (QAction* a : main().menu_bootloader->actions()) {
        entries.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    }
    EXPECT_EQ(entries,
              (std::vector<std::string>{"CAN download ", "-", "Profibus download", "-", "&Quit"}));
    EXPECT_EQ(main().menu_info->actions().size(), 1);
    EXPECT_EQ(main().menu_about->text().toStdString(), "&Info");
    EXPECT_EQ(main().menu_can->shortcut(), QKeySequence(Qt::Key_F2));
    EXPECT_EQ(main().menu_profibus->shortcut(), QKeySequence(Qt::Key_F3));

    // No download window exists yet: both entries are disabled, not dead.
    EXPECT_FALSE(main().menu_can->isEnabled());
    EXPECT_FALSE(main().menu_profibus->isEnabled());
    EXPECT_TRUE(main().Quit1->isEnabled());
    EXPECT_TRUE(main().menu_about->isEnabled());
}

TEST_F(DesktopTest, F2OpensTheCanWindowModallyAndF3DoesNothingWhileItIsOpen) {
    FakeDownloadWindow can("frm_can");
    FakeDownloadWindow profibus("frm_profibus");
    main().logic().attachCanWindow(&can.form);
    main().logic().attachProfibusWindow(&profibus.form);
    EXPECT_TRUE(main().menu_can->isEnabled());
    EXPECT_TRUE(main().menu_profibus->isEnabled());
    activate(&main());

    bool mainHidden = false;
    bool profibusOpened = false;
    test::whenModal([&](QWidget* modal) {
        EXPECT_EQ(modal, &can.dialog);
        mainHidden = !main().isVisible();
        QTest::keyClick(&can.dialog, Qt::Key_F3);
        main().logic().menu_profibusClick();
        main().logic().menu_canClick();
        profibusOpened = profibus.dialog.isVisible();
        can.dialog.accept();
    });
    QTest::keyClick(&main(), Qt::Key_F2);
    EXPECT_TRUE(mainHidden);
    EXPECT_FALSE(profibusOpened);
    EXPECT_FALSE(can.dialog.isVisible());
    EXPECT_TRUE(main().isVisible()) << "the main window comes back when the window closes";

    // And the other way round.
    activate(&main());
    bool canOpened = true;
    test::whenModal([&](QWidget* modal) {
        EXPECT_EQ(modal, &profibus.dialog);
        QTest::keyClick(&profibus.dialog, Qt::Key_F2);
        main().logic().menu_canClick();
        canOpened = can.dialog.isVisible();
        profibus.dialog.reject();
    });
    QTest::keyClick(&main(), Qt::Key_F3);
    EXPECT_FALSE(canOpened);
    EXPECT_TRUE(main().isVisible());
}

TEST_F(DesktopTest, AboutBoxLogoOpensTheMakersAddressAndReportsFailuresInGerman) {
    shell.result = shell::kNoAssociation;
    bool shownModal = false;
    QRect aboutFrame;
    test::whenModal([&](QWidget* modal) {
        auto& about = desktop->about();
        shownModal = modal == &about;
        aboutFrame = about.frameGeometry();
        QTest::mouseClick(about.img_korvane, Qt::LeftButton);
        about.Button1->click();
    });
    main().menu_about->trigger();
    EXPECT_TRUE(shownModal);
    EXPECT_FALSE(desktop->about().isVisible());
    EXPECT_LE((aboutFrame.center() - main().frameGeometry().center()).manhattanLength(), 8)
        << "centred on the main window";
    ASSERT_EQ(shell.opened.size(), 1u);
    EXPECT_EQ(shell.opened[0], std::string(text::kMakerAddress) + "|");
    ASSERT_EQ(services.messages.shown.size(), 1u);
    EXPECT_EQ(services.messages.shown[0].title, "Fehler");
    EXPECT_EQ(services.messages.shown[0].icon, ui::MessageIcon::Error);
    EXPECT_EQ(services.messages.shown[0].text,
              "Der angegebene Dateityp ist auf Ihrem Computer keiner Anwendung zugeordnet!");
}

TEST_F(DesktopTest, AboutLogoOpenedFineShowsNoMessage) {
    test::whenModal([&](QWidget*) {
        QTest::mouseClick(desktop->about().img_korvane, Qt::LeftButton);
        QTest::keyClick(&desktop->about(), Qt::Key_Return);
    });
    main().menu_about->trigger();
    EXPECT_EQ(shell.opened.size(), 1u);
    EXPECT_TRUE(services.messages.shown.empty());
}

TEST_F(DesktopTest, QuitAndTheCloseButtonEndTheProgram) {
    main().Quit1->trigger();
    EXPECT_EQ(quits, 1);
    main().close();
    EXPECT_EQ(quits, 2);
}

// The main window is hidden while a download window is open; when that window closes it
// is the last one on screen, and that must not end the program.
TEST_F(DesktopTest, ClosingADownloadWindowDoesNotEndTheProgram) {
    FakeDownloadWindow can("frm_can");
    main().logic().attachCanWindow(&can.form);
    services.clock.advanceToUs(3'000'000);  // the splash is gone
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    quitEndsLoop = true;

    bool stillRunning = false;
    QTimer::singleShot(0, [&]() {
        test::whenModal([&](QWidget*) { can.dialog.close(); });
        main().logic().menu_canClick();
        QTimer::singleShot(50, [&]() {
            stillRunning = true;
            main().Quit1->trigger();
        });
    });
    QTimer::singleShot(5000, []() { QCoreApplication::exit(1); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
    EXPECT_TRUE(stillRunning);
    EXPECT_EQ(quits, 1);
}

// The front-end windows as their issues will add them: dialogs that take their session.
class FakeFrontEndWindow : public DesktopWindow {
  public:
    FakeFrontEndWindow(const char* name, std::unique_ptr<Tbootloader> session,
                       std::vector<std::string>& made)
        : session(std::move(session)), form_(&dialog) {
        dialog.setObjectName(QString::fromLatin1(name));
        made.push_back(name);
    }
    Form& form() override { return form_; }
    std::unique_ptr<Tbootloader> session;
    QDialog dialog;

  private:
    WidgetForm form_;
};

TEST(DesktopWindowsTest, FrontEndWindowsAreMadeInOrderWithTheirOwnSessions) {
    test::testApplication();
    test::TestServices services;
    ScriptedShell shell;
    SessionObjects sessions(services.services);
    Tbootloader* canSession = sessions.can.get();
    std::vector<std::string> made;
    DesktopWindow* selproductSeenByCan = nullptr;
    auto factory = [&](const char* name, std::unique_ptr<Tbootloader> SessionObjects::*which) {
        return [&, name, which](WindowContext& context) -> std::unique_ptr<DesktopWindow> {
            EXPECT_NE(context.mainWindow, nullptr);
            return std::make_unique<FakeFrontEndWindow>(name, std::move(context.sessions.*which),
                                                        made);
        };
    };
    WindowFactories factories{factory("frm_can_option", &SessionObjects::can_option),
                              factory("frm_profibus", &SessionObjects::profibus),
                              factory("frm_profibus_option", &SessionObjects::profibus_option),
                              nullptr, factory("frm_selproduct", &SessionObjects::selproduct)};
    factories.can = [&](WindowContext& context) -> std::unique_ptr<DesktopWindow> {
        auto window =
            std::make_unique<FakeFrontEndWindow>("frm_can", std::move(context.sessions.can), made);
        // The product dialog comes later; the CAN window finds it when it needs it.
        const DesktopWindows& windows = context.windows;
        QObject::connect(&window->dialog, &QDialog::finished, [&windows, &selproductSeenByCan]() {
            selproductSeenByCan = windows.selproduct.get();
        });
        return window;
    };

    Desktop desktop(
        sessions,
        {services.services, shell,
         [&]() { return std::make_unique<test::VirtualTimer>(services.clock); }, []() {}},
        std::move(factories));
    EXPECT_EQ(desktop.startupSteps(),
              (std::vector<std::string>{"title", "splash shown", "frm_main", "frm_about",
                                        "frm_can_option", "frm_reset", "frm_profibus",
                                        "frm_profibus_option", "frm_can", "frm_selproduct",
                                        "main window shown"}));
    EXPECT_EQ(made.size(), 5u);
    EXPECT_FALSE(sessions.can_option || sessions.profibus || sessions.profibus_option ||
                 sessions.can || sessions.selproduct)
        << "every window took its session";
    auto* can = static_cast<FakeFrontEndWindow*>(desktop.windows().can.get());
    EXPECT_EQ(can->session.get(), canSession);

    auto& main = desktop.mainWindow();
    EXPECT_TRUE(main.menu_can->isEnabled());
    EXPECT_TRUE(main.menu_profibus->isEnabled());
    test::whenModal([](QWidget* modal) { static_cast<QDialog*>(modal)->reject(); });
    main.menu_can->trigger();
    EXPECT_EQ(selproductSeenByCan, desktop.windows().selproduct.get());
    EXPECT_NE(selproductSeenByCan, nullptr);
}

TEST_F(DesktopTest, ResetNoticeMovesToTheTopEdgeWhenActivated) {
    auto& reset = desktop->reset();
    reset.move(5, 300);
    reset.show();
    activate(&reset);
    const QRect screen = reset.screen()->availableGeometry();
    EXPECT_EQ(reset.frameGeometry().top(), screen.top());
    EXPECT_LE(std::abs(reset.frameGeometry().center().x() - screen.center().x()), 1);
    reset.hide();
}

}  // namespace
}  // namespace romtide::desktop
