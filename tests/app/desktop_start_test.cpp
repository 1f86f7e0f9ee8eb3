// The program without a sub-command on a machine without a display.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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

}  // namespace
