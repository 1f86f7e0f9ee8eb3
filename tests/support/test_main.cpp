// The main of every test program: GoogleTest's, run with a data folder of the program's
// own, so that the run history of the runs the tests make (the windows', and the
// program's that they start) never lands in the user's home.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/temp_dir.h"

int main(int argc, char** argv) {
    romtide::test::TempDir data;
    ::setenv("XDG_DATA_HOME", data.path().c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
