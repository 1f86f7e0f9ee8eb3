// The program without a sub-command on a machine without a display.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/exit_codes.h"
#include "support/temp_dir.h"

namespace {

TEST(DesktopStart, WithoutADisplayItSaysSoInsteadOfAborting) {
    auto run = romtide::test::runProgram(
        std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '") + ROMTIDE_BIN_DIR +
        "/bootloader'");
    const std::string& text = run.out;
    EXPECT_EQ(run.status, 2) << text;
    EXPECT_NE(text.find("no display for the desktop program"), std::string::npos) << text;
    EXPECT_NE(text.find("bootloader --help"), std::string::npos) << text;
}

// --simulate starts the simulated Profibus board (in a private folder under $TMPDIR)
// before the desktop: the folder goes when the program ends, here at once for the
// missing display, and a board that cannot be served is reported.
TEST(DesktopStart, SimulateServesTheProfibusBoardFromAFolderThatGoesWithTheProgram) {
    romtide::test::TempDir tmp;
    auto program = [&](const std::string& tmpdir) {
        return romtide::test::runProgram(
            "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM TMPDIR='" + tmpdir + "' '" +
            ROMTIDE_BIN_DIR + "/bootloader' --simulate");
    };
    auto run = program(tmp.path().string());
    EXPECT_EQ(run.status, romtide::exitcode::kUsage) << run.out;
    EXPECT_NE(run.out.find("no display for the desktop program"), std::string::npos) << run.out;
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "the board's folder is left behind";

    run = program(tmp.file("missing"));
    EXPECT_EQ(run.status, romtide::exitcode::kNoBoard) << run.out;
    EXPECT_NE(run.out.find("bootloader: the simulated Profibus board: cannot make a folder"),
              std::string::npos)
        << run.out;
}

}  // namespace
