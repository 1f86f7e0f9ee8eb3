// The headless command as a script sees it: output and exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/temp_dir.h"

namespace romtide {
namespace {

test::ProgramRun bootloader(const std::string& arguments) {
    return test::runProgram(std::string(ROMTIDE_BIN_DIR) + "/bootloader " + arguments);
}

TEST(CheckCommand, ExitStatusesTellScriptsWhatHappened) {
    test::TempDir dir;
    auto good =
        test::srecCat("-generate 0 0x100 -constant 1 -address-length=3", dir.file("good.mhx"));
    test::ProgramRun ok = bootloader("check '" + good + "'");
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_NE(ok.out.find("accepted"), std::string::npos) << ok.out;

    auto area = test::srecCat("-generate 0xFFA000 0xFFA010 -constant 1 -address-length=3",
                              dir.file("area.mhx"));
    test::ProgramRun refused = bootloader("check '" + area + "'");
    EXPECT_EQ(refused.status, 4);
    EXPECT_NE(refused.out.find("The file try to overwrite the Bootloader!"), std::string::npos)
        << refused.out;

    test::ProgramRun missing = bootloader("check '" + dir.file("none.mhx") + "'");
    EXPECT_EQ(missing.status, 3);
    EXPECT_NE(missing.out.find("The file couldn't open!"), std::string::npos);

    EXPECT_EQ(bootloader("check").status, 2);
    EXPECT_EQ(bootloader("frobnicate").status, 2);
    EXPECT_EQ(bootloader("--help").status, 0);
}

}  // namespace
}  // namespace romtide
