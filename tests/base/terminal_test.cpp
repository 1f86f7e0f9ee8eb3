// Progress for logs: the plain style's lines, one per device and per tenth.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ui/terminal.h"

namespace romtide::ui {
namespace {

std::string contents(std::FILE* f) {
    std::rewind(f);
    std::string text;
    for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

TEST(TerminalProgress, PlainPrintsEachTenthOnceAndStartsAgainForTheNextDevice) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    {
        TerminalProgressBar bar("", out, ProgressStyle::Plain);
        bar.setCaption("Slave 5");
        bar.setRange(0, 200);
        for (int p : {0, 3, 19, 20, 21, 99, 100, 150, 200, 200}) {
            bar.setPosition(p);
        }
        // The next transfer of the same device starts from 0 without repeating it.
        bar.setPosition(0);
        bar.setPosition(40);
        bar.setCaption("Slave 6");
        bar.setPosition(0);
        bar.setPosition(200);
    }
    EXPECT_EQ(contents(out),
              "Slave 5: 0 %\nSlave 5: 10 %\nSlave 5: 40 %\nSlave 5: 50 %\nSlave 5: 70 %\n"
              "Slave 5: 100 %\nSlave 5: 20 %\nSlave 6: 0 %\nSlave 6: 100 %\n");
    std::fclose(out);
}

TEST(TerminalProgress, NoneAndABarOffATerminalPrintNothing) {
    for (ProgressStyle style : {ProgressStyle::None, ProgressStyle::Bar}) {
        std::FILE* out = std::tmpfile();
        ASSERT_NE(out, nullptr);
        {
            TerminalProgressBar bar("Slave 1", out, style);
            bar.setPosition(50);
            bar.finish();
        }
        EXPECT_EQ(contents(out), "");
        std::fclose(out);
    }
}

}  // namespace
}  // namespace romtide::ui
