// The shell's window logic against plain forms and controls.
#include "app/desktop/shell_forms.h"

#include <gtest/gtest.h>

#include <vector>

namespace romtide::desktop {
namespace {

// Records what was done to it; a modal show runs `duringModal` while it is open.
class RecordingForm : public Form {
  public:
    explicit RecordingForm(std::vector<std::string>* log = nullptr, std::string name = "")
        : log_(log), name_(std::move(name)) {}
    bool isVisible() const override { return visible; }
    void show() override {
        visible = true;
        note("show");
    }
    void hide() override {
        visible = false;
        note("hide");
    }
    void showModal() override {
        visible = true;
        note("modal");
        ++modalRuns;
        if (duringModal) {
            duringModal();
        }
        visible = false;
        note("closed");
    }
    void close() override {
        visible = false;
        note("close");
    }
    Rect frame() const override { return at; }
    Rect screenArea() const override { return screen; }
    void moveTo(int left, int top) override {
        at.left = left;
        at.top = top;
    }

    bool visible = false;
    int modalRuns = 0;
    std::function<void()> duringModal;
    Rect at{0, 0, 480, 340};
    Rect screen{0, 0, 1280, 800};

  private:
    void note(const char* what) {
        if (log_) {
            log_->push_back(name_ + " " + what);
        }
    }
    std::vector<std::string>* log_;
    std::string name_;
};

class MainWindowLogic : public ::testing::Test {
  protected:
    std::vector<std::string> log;
    RecordingForm self{&log, "main"};
    RecordingForm about{&log, "about"};
    RecordingForm can{&log, "can"};
    RecordingForm profibus{&log, "profibus"};
    ui::PlainButton menu_can{true};
    ui::PlainButton menu_profibus{true};
    int quits = 0;
    Tfrm_main main{{self, menu_can, menu_profibus}, about, [this]() { ++quits; }};
};

TEST_F(MainWindowLogic, DownloadEntriesAreDisabledUntilTheirWindowExists) {
    EXPECT_FALSE(menu_can.isEnabled());
    EXPECT_FALSE(menu_profibus.isEnabled());
    main.menu_canClick();
    main.menu_profibusClick();
    EXPECT_TRUE(log.empty()) << "a click that reaches a disabled entry does nothing";
    main.attachCanWindow(&can);
    EXPECT_TRUE(menu_can.isEnabled());
    EXPECT_FALSE(menu_profibus.isEnabled());
    main.attachCanWindow(nullptr);
    EXPECT_FALSE(menu_can.isEnabled());
}

TEST_F(MainWindowLogic, ADownloadWindowOpensModallyWhileTheMainWindowHides) {
    main.attachCanWindow(&can);
    self.visible = true;
    main.menu_canClick();
    EXPECT_EQ(log, (std::vector<std::string>{"main hide", "can modal", "can closed", "main show"}));
    EXPECT_TRUE(self.visible);
}

TEST_F(MainWindowLogic, OneDownloadWindowAtATime) {
    main.attachCanWindow(&can);
    main.attachProfibusWindow(&profibus);
    can.duringModal = [this]() {
        main.menu_profibusClick();  // F3 in the CAN window
        main.menu_canClick();       // F2 again
    };
    profibus.duringModal = [this]() { main.menu_canClick(); };
    main.menu_canClick();
    main.menu_profibusClick();
    EXPECT_EQ(can.modalRuns, 1);
    EXPECT_EQ(profibus.modalRuns, 1);
}

TEST_F(MainWindowLogic, AboutQuitAndClose) {
    main.menu_aboutClick();
    EXPECT_EQ(about.modalRuns, 1);
    main.Quit1Click();
    main.FormClose();
    EXPECT_EQ(quits, 2);
}

TEST_F(MainWindowLogic, CreationCentresOnTheScreen) {
    self.at = {0, 0, 480, 340};
    self.screen = {100, 50, 1280, 800};
    main.FormCreate();
    EXPECT_EQ(self.at.left, 100 + (1280 - 480) / 2);
    EXPECT_EQ(self.at.top, 50 + (800 - 340) / 2);
}

TEST(AboutLogic, LogoOpensTheMakersAddressAndOkCloses) {
    RecordingForm self;
    std::vector<std::pair<std::string, std::string>> opened;
    Tfrm_about about(self, [&](const std::string& file, const std::string& parameters) {
        opened.emplace_back(file, parameters);
        return 42;
    });
    about.img_korvaneClick();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].first, text::kMakerAddress);
    EXPECT_EQ(opened[0].second, "");
    self.visible = true;
    about.Button1Click();
    EXPECT_FALSE(self.visible);

    self.at = {0, 0, 312, 145};
    about.FormShow({200, 100, 480, 340});
    EXPECT_EQ(self.at.left, 200 + (480 - 312) / 2);
    EXPECT_EQ(self.at.top, 100 + (340 - 145) / 2);
}

TEST(SplashLogic, ClosesOnceWhenItsTimerFires) {
    RecordingForm self;
    ui::PlainTimer timer;
    Tfrm_splash splash(self, timer);
    EXPECT_EQ(timer.interval(), 3000);
    EXPECT_TRUE(timer.isEnabled());
    self.visible = true;
    timer.fire();
    EXPECT_FALSE(self.visible);
    EXPECT_FALSE(timer.isEnabled()) << "the timer switches itself off";
}

TEST(ResetLogic, ActivationMovesToTheTopEdgeCentred) {
    RecordingForm self;
    self.screen = {1280, 0, 1920, 1080};  // second screen
    self.at = {10, 500, 663, 200};
    Tfrm_reset reset(self);
    reset.FormActivate();
    EXPECT_EQ(self.at.left, 1280 + (1920 - 663) / 2);
    EXPECT_EQ(self.at.top, 0);
}

}  // namespace
}  // namespace romtide::desktop
