// The program without a sub-command on a machine without a display.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace {

TEST(DesktopStart, WithoutADisplayItSaysSoInsteadOfAborting) {
    const std::string command =
        std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '") + ROMTIDE_BIN_DIR +
        "/bootloader' 2>&1";
    FILE* out = ::popen(command.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    std::array<char, 256> buffer{};
    while (std::fgets(buffer.data(), buffer.size(), out) != nullptr) {
        text += buffer.data();
    }
    const int status = ::pclose(out);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2) << text;
    EXPECT_NE(text.find("no display for the desktop program"), std::string::npos) << text;
    EXPECT_NE(text.find("bootloader --help"), std::string::npos) << text;
}

}  // namespace
