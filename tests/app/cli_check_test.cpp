// The headless command as a script sees it: output and exit status.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
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

    // A download cut off in its last record would erase the device and then be refused
    // by it: refused here, naming the line.
    std::ifstream in(good, std::ios::binary);
    std::string whole((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string cut = dir.write("cut.mhx", whole.substr(0, whole.size() - 5));
    test::ProgramRun truncated = bootloader("check --allow-empty '" + cut + "'");
    EXPECT_EQ(truncated.status, 4);
    EXPECT_NE(truncated.out.find(": line "), std::string::npos) << truncated.out;
    EXPECT_NE(truncated.out.find("cut short"), std::string::npos) << truncated.out;

    // CR-only line ends: what is wrong with the file, not advice that would erase.
    std::string text = whole;
    for (char& c : text) {
        c = c == '\n' ? '\r' : c;
    }
    std::string crOnly = dir.write("cr.mhx", text);
    test::ProgramRun cr = bootloader("check '" + crOnly + "'");
    EXPECT_EQ(cr.status, 4);
    EXPECT_NE(cr.out.find("carriage return alone"), std::string::npos) << cr.out;
    EXPECT_EQ(cr.out.find("--allow-empty"), std::string::npos) << cr.out;

    EXPECT_EQ(bootloader("check").status, 2);
    EXPECT_EQ(bootloader("frobnicate").status, 2);
    EXPECT_EQ(bootloader("--help").status, 0);
}

}  // namespace
}  // namespace romtide
