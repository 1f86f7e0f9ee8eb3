#include "app/desktop/shell_open.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "support/fakes.h"

namespace romtide::desktop {
namespace {

namespace fs = std::filesystem;

TEST(ShellErrorMessage, EachShellErrorHasItsMessage) {
    const std::string file = "/opt/romtide/handbuch.pdf";
    const std::pair<int, std::string> cases[] = {
        {2, "Die angegebene Datei '/opt/romtide/handbuch.pdf' wurde nicht gefunden!"},
        {3, "Der Pfad zur Datei '/opt/romtide/handbuch.pdf' wurde nicht gefunden!"},
        {8, "Zum Ausführen der Anwendung ist nicht genügend Arbeitsspeicher frei!"},
        {11, "Die aufgerufene Anwendung ist ungültig oder beschädigt!"},
        {26,
         "Der Zugriff auf die Datei '/opt/romtide/handbuch.pdf' wurde vom Betriebssystem "
         "verweigert!"},
        {31, "Der angegebene Dateityp ist auf Ihrem Computer keiner Anwendung zugeordnet!"},
        {0, "Datei '/opt/romtide/handbuch.pdf' konnte nicht geöffnet werden!"},
        {5, "Datei '/opt/romtide/handbuch.pdf' konnte nicht geöffnet werden!"},
        {32, "Datei '/opt/romtide/handbuch.pdf' konnte nicht geöffnet werden!"},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(shellErrorMessage(error, file), text) << "shell error " << error;
    }
}

class FixedOpener : public ShellOpener {
  public:
    explicit FixedOpener(int result) : result_(result) {}
    int open(const std::string& file, const std::string& parameters) override {
        opened = file;
        params = parameters;
        return result_;
    }
    std::string opened;
    std::string params;

  private:
    int result_;
};

TEST(ShellOpen, SuccessShowsNothingAndFailuresShowTheGermanMessage) {
    for (int result : {33, 42, 100}) {
        test::RecordingMessageBoxes messages;
        FixedOpener opener(result);
        EXPECT_EQ(ShellOpen(opener, messages, "https://x.example/", "-p"), result);
        EXPECT_TRUE(messages.shown.empty()) << result;
        EXPECT_EQ(opener.params, "-p");
    }
    for (int result : {0, 2, 31, 32}) {
        test::RecordingMessageBoxes messages;
        FixedOpener opener(result);
        EXPECT_EQ(ShellOpen(opener, messages, "mailto:service", ""), result);
        ASSERT_EQ(messages.shown.size(), 1u) << result;
        EXPECT_EQ(messages.shown[0].title, "Fehler");
        EXPECT_EQ(messages.shown[0].icon, ui::MessageIcon::Error);
        EXPECT_EQ(messages.shown[0].buttons, ui::MessageButtons::Ok);
        EXPECT_EQ(messages.shown[0].text, shellErrorMessage(result, "mailto:service"));
    }
}

TEST(ShellOpen, AddressesAndPaths) {
    EXPECT_TRUE(isAddress("https://www.korvane.example/"));
    EXPECT_TRUE(isAddress("mailto:service@korvane.example"));
    EXPECT_TRUE(isAddress("file:///tmp/a.pdf"));
    EXPECT_FALSE(isAddress("/tmp/a:b.pdf"));
    EXPECT_FALSE(isAddress("handbuch.pdf"));
    EXPECT_FALSE(isAddress("C:\\x.pdf")) << "a drive letter is no scheme";
    EXPECT_FALSE(isAddress("./notes: today.txt"));
    EXPECT_FALSE(isAddress(""));
}

// The desktop opener is replaced by small scripts that end like xdg-open does.
class XdgShellOpenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/romtide_shell_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        document = dir / "handbuch.pdf";
        std::ofstream(document) << "%PDF";
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string opener(const std::string& body) {
        const fs::path script = dir / ("opener" + std::to_string(++scripts));
        std::ofstream(script) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(script, fs::perms::owner_all);
        return script.string();
    }
    int open(const std::string& program, const std::string& target, int limitMs = 3000) {
        XdgShellOpener shell(services, program, limitMs);
        return shell.open(target, "");
    }

    SteadyClock clock;
    ui::QueuedEventPump pump;
    test::RecordingMessageBoxes messages;
    Services services{clock, pump, messages};
    fs::path dir;
    fs::path document;
    int scripts = 0;
};

TEST_F(XdgShellOpenerTest, OpenerExitStatusesMapToShellResults) {
    const std::pair<int, int> cases[] = {
        {0, shell::kOk},
        {1, shell::kOther},  // bad arguments
        {2, shell::kFileNotFound},
        {3, shell::kNoAssociation},  // a tool it needs is missing
        {4, shell::kNoAssociation},  // nothing took the action
        {127, shell::kNoAssociation},
    };
    for (const auto& [status, result] : cases) {
        EXPECT_EQ(open(opener("exit " + std::to_string(status)), "https://www.korvane.example/"),
                  result)
            << "exit " << status;
    }
}

TEST_F(XdgShellOpenerTest, AnAddressNoProgramHandlesIsErrorThirtyOne) {
    const auto program = opener("echo 'no method available for opening' >&2; exit 3");
    XdgShellOpener shell(services, program);
    const int result = ShellOpen(shell, messages, "romtide-unknown:thing", "");
    EXPECT_EQ(result, 31);
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text,
              "Der angegebene Dateityp ist auf Ihrem Computer keiner Anwendung zugeordnet!");
}

TEST_F(XdgShellOpenerTest, TheTargetIsHandedToTheOpenerUnchanged) {
    const fs::path seen = dir / "seen";
    const auto program = opener("printf '%s' \"$1\" > '" + seen.string() + "'");
    const std::string target = "https://www.korvane.example/a b?c=1&d='x'";
    EXPECT_EQ(open(program, target), shell::kOk);
    std::ifstream in(seen);
    std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(got, target);
}

TEST_F(XdgShellOpenerTest, LocalPathsAreCheckedBeforeTheOpenerRuns) {
    const auto fine = opener("exit 0");
    EXPECT_EQ(open(fine, document.string()), shell::kOk);
    EXPECT_EQ(open(fine, (dir / "missing.pdf").string()), shell::kFileNotFound);
    EXPECT_EQ(open(fine, (dir / "no_such_folder" / "a.pdf").string()), shell::kPathNotFound);
    EXPECT_EQ(open(fine, (document / "a.pdf").string()), shell::kPathNotFound)
        << "a file used as a folder";
    EXPECT_EQ(open(fine, ""), shell::kFileNotFound);
    if (::geteuid() != 0) {
        fs::permissions(document, fs::perms::none);
        EXPECT_EQ(open(fine, document.string()), shell::kSharingViolation);
    }
}

TEST_F(XdgShellOpenerTest, NoOpenerOnThisDesktopIsNoAssociation) {
    EXPECT_EQ(open((dir / "no-such-opener").string(), "https://www.korvane.example/"),
              shell::kNoAssociation);
}

TEST_F(XdgShellOpenerTest, AnOpenerThatStaysHasStartedSomething) {
    // Some openers wait for the application they started; the window waits no longer
    // than its limit and stays alive meanwhile.
    test::TestServices virtualTime;
    XdgShellOpener shell(virtualTime.services, opener("exec >/dev/null 2>&1; sleep 2"), 100);
    EXPECT_EQ(shell.open("https://www.korvane.example/", ""), shell::kOk);
    EXPECT_GE(virtualTime.clock.nowMs(), 100);
    EXPECT_LE(virtualTime.clock.nowMs(), 120);
    EXPECT_GE(virtualTime.pump.calls, 5) << "events run while the opener is awaited";
    // Let the shell read its script before the folder goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
}

}  // namespace
}  // namespace romtide::desktop
