// The headless command as a script sees it: output and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

#include "support/temp_dir.h"

namespace romtide {
namespace {

struct CommandRun {
    int status;
    std::string output;
};

CommandRun bootloader(const std::string& arguments) {
    std::string command = std::string(ROMTIDE_BIN_DIR) + "/bootloader " + arguments + " 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    CommandRun run{-1, {}};
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) {
        run.output.append(buf.data(), n);
    }
    int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(CheckCommand, ExitStatusesTellScriptsWhatHappened) {
    test::TempDir dir;
    auto good =
        test::srecCat("-generate 0 0x100 -constant 1 -address-length=3", dir.file("good.mhx"));
    CommandRun ok = bootloader("check '" + good + "'");
    EXPECT_EQ(ok.status, 0) << ok.output;
    EXPECT_NE(ok.output.find("accepted"), std::string::npos) << ok.output;

    auto area = test::srecCat("-generate 0xFFA000 0xFFA010 -constant 1 -address-length=3",
                              dir.file("area.mhx"));
    CommandRun refused = bootloader("check '" + area + "'");
    EXPECT_EQ(refused.status, 4);
    EXPECT_NE(refused.output.find("The file try to overwrite the Bootloader!"), std::string::npos)
        << refused.output;

    CommandRun missing = bootloader("check '" + dir.file("none.mhx") + "'");
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.output.find("The file couldn't open!"), std::string::npos);

    EXPECT_EQ(bootloader("check").status, 2);
    EXPECT_EQ(bootloader("frobnicate").status, 2);
    EXPECT_EQ(bootloader("--help").status, 0);
}

}  // namespace
}  // namespace romtide
