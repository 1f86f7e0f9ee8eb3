// Reading files for transfer: the units both buses send, and the progress steps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "session/text_units.h"
#include "support/temp_dir.h"

namespace romtide {
namespace {

struct Read {
    std::vector<std::string> units;  // each 4 bytes, zeros included
    int steps = 0;
    std::string text() const {  // what the device receives, without the padding
        std::string out;
        for (const auto& u : units) {
            for (char c : u) {
                if (c != '\0') {
                    out += c;
                }
            }
        }
        return out;
    }
};

Read readAll(const std::string& path) {
    auto file = TextFile::open(path);
    EXPECT_TRUE(file);
    ui::PlainProgressBar bar;
    TextUnitReader reader(*file, &bar);
    Read r;
    while (auto unit = reader.next()) {
        r.units.emplace_back(unit->data(), 4);
    }
    r.steps = bar.position();
    return r;
}

class TextUnits : public ::testing::Test {
  protected:
    test::TempDir dir;
};

TEST_F(TextUnits, APieceOfFortyFiveCharactersIsTwelveUnitsTheLastZeroFilled) {
    std::string line = std::string(44, 'A') + "\n";
    Read r = readAll(dir.write("45.mhx", line));
    ASSERT_EQ(r.units.size(), 12u);
    EXPECT_EQ(r.units[11], std::string("\n\0\0\0", 4));
    EXPECT_EQ(r.text(), line);
}

TEST_F(TextUnits, LinesLongerThanNinetyEightCharactersAreSplitWithPadding) {
    // 101 characters: a piece of 98 (25 units, the last half padding), then 3 characters.
    std::string line;
    for (int i = 0; i < 100; ++i) {
        line += static_cast<char>('0' + i % 10);
    }
    line += "\n";
    Read r = readAll(dir.write("long.mhx", line + "S9\n"));
    ASSERT_EQ(r.units.size(), 25u + 1u + 1u);
    EXPECT_EQ(r.units[24], std::string("67\0\0", 4)) << "characters 96, 97 and two zero bytes";
    EXPECT_EQ(r.units[25], std::string("89\n\0", 4));
    EXPECT_EQ(r.units[26], std::string("S9\n\0", 4));
    EXPECT_EQ(r.text(), line + "S9\n");
}

TEST_F(TextUnits, AHundredThousandCharacterLineIsSentWhole) {
    std::string line = std::string(100000, '7') + "\n";
    Read r = readAll(dir.write("huge.mhx", line));
    EXPECT_EQ(r.text(), line);
    EXPECT_EQ(r.units.size(), 1020u * 25u + 11u);  // 1020 full pieces of 98, then 41 characters
}

TEST_F(TextUnits, CarriageReturnLineFeedIsSentAsLineFeed) {
    Read r = readAll(dir.write("crlf.mhx", "S1\r\nS2\r\n\rX\n"));
    EXPECT_EQ(r.text(), "S1\nS2\n\rX\n") << "a lone CR is text";
    EXPECT_EQ(r.units.size(), 3u);
}

TEST_F(TextUnits, EmptyFilesSendNothingAndNulBytesEndTheirPiece) {
    EXPECT_TRUE(readAll(dir.write("empty.mhx", "")).units.empty());
    Read r = readAll(dir.write("nul.mhx", std::string("S2AB\0CDEF\nS9\n", 13)));
    EXPECT_EQ(r.text(), "S2ABS9\n") << "the rest of a piece after a zero unit start is dropped";
}

TEST_F(TextUnits, ProgressStepsAreOneHundredthsOfTheFileAtMostOnePerPiece) {
    std::string lines;
    for (int i = 0; i < 100; ++i) {
        lines += "S1234567\n";  // 9 bytes
    }
    lines += "S9\n";  // 903 bytes: step 9
    EXPECT_EQ(readAll(dir.write("steps.mhx", lines)).steps, 101);

    // Fewer than 100 bytes: step 0, every piece after the first moves the bar.
    EXPECT_EQ(readAll(dir.write("small.mhx", "S1\nS2\nS3\n")).steps, 3);

    // One long line of 10 000 bytes in 103 pieces of 98: the mark (steps of 100) is passed
    // less often than a piece is read, and the bar still ends full.
    EXPECT_EQ(readAll(dir.write("one.mhx", std::string(9999, 'A') + "\n")).steps, 100);
}

}  // namespace
}  // namespace romtide
