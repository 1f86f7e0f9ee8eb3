// Where a program looks for its own files: beside itself in the build tree, at the
// installed places otherwise.
#include "base/program_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/temp_dir.h"

namespace romtide {
namespace {

TEST(ProgramFiles, BesideTheProgramFirstThenWhereAnInstallationPutsThem) {
    test::TempDir dir;
    const std::string bin = dir.file("usr/bin");
    std::filesystem::create_directories(bin + "/Update");
    std::ofstream(bin + "/Update/x.mhx") << "S9\n";

    EXPECT_EQ(programFileFrom(bin, "Update/x.mhx", ProgramFileKind::Data), bin + "/Update/x.mhx");
    // Not beside it: the installed place, relative to the program's folder, whether or
    // not the file is there (a message then names where it was looked for).
    const std::string data = programFileFrom(bin, "demo/demo.mhx", ProgramFileKind::Data);
    EXPECT_EQ(data.rfind(bin + "/../", 0), 0u) << data;
    EXPECT_NE(data.find("/share/romtide/demo/demo.mhx"), std::string::npos) << data;
    const std::string module = programFileFrom(bin + "/", "libx.so", ProgramFileKind::Module);
    EXPECT_EQ(module.rfind(bin + "/../lib", 0), 0u) << module;
    EXPECT_NE(module.find("/romtide/libx.so"), std::string::npos) << module;
}

}  // namespace
}  // namespace romtide
