// Opening and checking image files, on files that srec_cat writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>

#include "session/file_messages.h"
#include "session/image_records.h"
#include "session/tbootloader.h"
#include "session/text_units.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace romtide {
namespace {

const std::string kOverwrite =
    "\n\tWarning!!\n\nThe file try to overwrite the Bootloader!\nThe process will be terminated!!";
const std::string kResetAddress =
    "\tAttention!\n\nThe opened file shows the adress H'FFFFDC.\nProbably the reset adress is "
    "wrong.\nThe process will be terminated.";

class ImageCheck : public ::testing::Test {
  protected:
    void SetUp() override { Tbootloader::resetSharedState(); }

    int32_t open(const std::string& path) {
        dialog.answer = path;
        return session.OpenFile(dialog);
    }
    // Opens and checks; the result of the check (or of the opening when it failed).
    int32_t openAndCheck(const std::string& path) {
        int32_t r = open(path);
        return r != 0 ? r : session.CheckFile();
    }
    // S2 records of `from`..`to` (exclusive) filled with 0x5A.
    std::string image(const std::string& name, uint32_t from, uint32_t to,
                      const std::string& extra = "") {
        char range[64];
        std::snprintf(range, sizeof range, "-generate 0x%X 0x%X -constant 0x5A", from, to);
        return test::srecCat(std::string(range) + " -address-length=3 " + extra, dir.file(name));
    }

    test::TempDir dir;
    test::TestServices ui;
    test::ScriptedFileDialog dialog;
    Tbootloader session{ui.services};
};

TEST_F(ImageCheck, AddressesUpToTheBootloaderAreaAndAfterItPass) {
    EXPECT_EQ(openAndCheck(image("below.mhx", 0xFF9F00, 0xFFA000)), 0);
    EXPECT_EQ(openAndCheck(image("above.mhx", 0xFFC000, 0xFFC100)), 0);
    EXPECT_TRUE(ui.messages.shown.empty());
    // An accepted file is rewound for the transfer.
    ASSERT_TRUE(session.imageFile);
    EXPECT_EQ(session.imageFile->position(), 0);
    EXPECT_FALSE(session.imageFile->eof());
}

TEST_F(ImageCheck, AnyAddressInsideTheBootloaderAreaRefusesTheFile) {
    for (auto [from, to] : {std::pair{0xFFA000u, 0xFFA010u}, std::pair{0xFFBFFFu, 0xFFC000u},
                            std::pair{0xFF9000u, 0xFFB000u}}) {
        SCOPED_TRACE(from);
        ui.messages.shown.clear();
        EXPECT_EQ(openAndCheck(image("area.mhx", from, to)), -2);
        EXPECT_FALSE(session.imageFile) << "a refused file is closed at once";
        ASSERT_EQ(ui.messages.shown.size(), 1u);
        EXPECT_EQ(ui.messages.shown[0].text, kOverwrite);
        EXPECT_EQ(ui.messages.shown[0].title, "Romtide");
        EXPECT_EQ(ui.messages.shown[0].icon, ui::MessageIcon::Error);
        EXPECT_EQ(ui.messages.shown[0].buttons, ui::MessageButtons::Ok);
    }
}

TEST_F(ImageCheck, ATerminationRecordWithTheResetAddressRefusesTheFile) {
    auto path = image("reset.mhx", 0x010000, 0x010100, "-execution-start-address=0xFFFFDC");
    EXPECT_EQ(openAndCheck(path), -3);
    EXPECT_FALSE(session.imageFile);
    ASSERT_EQ(ui.messages.shown.size(), 1u);
    EXPECT_EQ(ui.messages.shown[0].text, kResetAddress);
    EXPECT_EQ(ui.messages.shown[0].title, "Romtide");
    EXPECT_EQ(ui.messages.shown[0].icon, ui::MessageIcon::Information);
}

TEST_F(ImageCheck, TheBootloaderTestComesBeforeTheResetAddressTest) {
    // The bootloader area is found first even when the reset address follows.
    auto path =
        dir.write("both.mhx", "S214FFA000000000000000000000000000000000000\nS804FFFFDC21\n");
    EXPECT_EQ(openAndCheck(path), -2);
}

TEST_F(ImageCheck, ShortRecordsEndTheirAddressAtTheLineEnd) {
    // S9030000FC names H'0000 (FC is its checksum); a record cut short has only the digits
    // it holds.
    auto path = dir.write("short.mhx", "S804FFFFDB22\nS9\nS9030000FC\n\n");
    EXPECT_EQ(openAndCheck(path), 0);
    EXPECT_EQ(recordHead("S9030000FC\n", 11).address, 0x0000u);
    EXPECT_EQ(recordHead("S804FFFF", 8).address, 0xFFFFu);
    EXPECT_EQ(recordHead("S2\n", 3).address, 0u);
    EXPECT_EQ(recordHead("S214FF\0A000", 11).address, 0xFFu) << "a NUL byte ends the field";
    EXPECT_EQ(recordHead("s214ffa0001122", 14).address, 0xFFA000u);
    EXPECT_EQ(recordHead("S214FFA000", 10).length, 16u);
    EXPECT_EQ(recordHead("S2XXFFA000", 10).length, 1u) << "a damaged count still holds one byte";
}

TEST_F(ImageCheck, EachRecordIsCheckedForTheBytesItWritesInTheWidthOfItsType) {
    struct Case {
        const char* record;
        int32_t result;
    };
    for (const Case& c : {
             // An S3 record's address has eight digits: 00FFA000 is in the area.
             Case{"S30900FFA0000102030442\n", -2},
             Case{"S30900FF9FF001020304FF\n", 0},
             // S2 from H'FF9FF8 with 16 bytes runs into the area at H'FFA000.
             Case{"S214FF9FF800000000000000000000000000000000\n", -2},
             Case{"S214FF9FEF00000000000000000000000000000000\n", 0},
             // The last byte of the area reached from below, and the first byte after it.
             Case{"S205FFBFFF0000\n", -2},
             Case{"S205FFC0000000\n", 0},
             // S1 addresses are four digits: FFA0 is H'00FFA0, far below the area.
             Case{"S107FFA0000102034C\n", 0},
             // Start records: S7 with eight digits, S8 with six.
             Case{"S70500FFFFDC00\n", -3},
             Case{"S804FFFFDC21\n", -3},
             Case{"S70500FFFFDD00\n", 0},
             // A header record is not a data record, whatever its text reads like.
             Case{"S006FFA0000000\n", 0},
             // A 32-bit address reaches the device in its low 24 bits.
             Case{"S30901FFA0000102030442\n", -2},
         }) {
        SCOPED_TRACE(c.record);
        EXPECT_EQ(openAndCheck(dir.write(
                      "one.mhx", std::string("S00600004844521B\n") + c.record + "S9030000FC\n")),
                  c.result);
    }
}

TEST_F(ImageCheck, ContinuationPiecesOfALongLineAreNeverReadAsRecords) {
    // Characters 49..98 form a second piece whose positions 4..9 read FFA000; they are
    // data digits of a record far below the area.
    std::string line =
        "S2FF010000" + std::string(39, '0') + "0000FFA000" + std::string(20, '1') + "\n";
    EXPECT_EQ(openAndCheck(dir.write("long.mhx", line)), 0);
    // A piece after a line feed is a record start again.
    EXPECT_EQ(openAndCheck(dir.write("next.mhx", line + "S205FFA0000000\n")), -2);
}

TEST_F(ImageCheck, WindowsLineEndsAndEmptyFilesPass) {
    auto unix = image("unix.mhx", 0x000000, 0x000400);
    std::string text = test::runCommand("cat '" + unix + "'");
    std::string crlf;
    for (char c : text) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    EXPECT_EQ(openAndCheck(dir.write("crlf.mhx", crlf)), 0);
    EXPECT_EQ(openAndCheck(dir.write("empty.mhx", "")), 0);
    EXPECT_TRUE(ui.messages.shown.empty());
}

TEST_F(ImageCheck, CancellingKeepsTheOpenFileAndAFailedOpenLosesIt) {
    auto good = image("good.mhx", 0, 0x100);
    ASSERT_EQ(open(good), 0);
    EXPECT_EQ(dialog.lastOptions.filter, "(*.mhx)|*.mhx");
    EXPECT_EQ(dialog.lastOptions.title, "Romtide - Open file");
    EXPECT_TRUE(dialog.lastOptions.mustExist);

    dialog.answer.reset();
    EXPECT_EQ(session.OpenFile(dialog), -2);
    ASSERT_TRUE(session.imageFile);
    EXPECT_EQ(session.imageFile->path(), good);

    EXPECT_EQ(open(dir.file("missing.mhx")), -1);
    EXPECT_FALSE(session.imageFile);
    EXPECT_EQ(session.CheckFile(), -1);

    ASSERT_EQ(open(good), 0);
    EXPECT_EQ(open(dir.path().string()), -1) << "a folder is not an image file";
    EXPECT_FALSE(session.imageFile);
}

TEST_F(ImageCheck, TheFileIsReadOnceWhenOpenedAndWhatIsCheckedIsWhatIsSent) {
    auto gone = image("gone.mhx", 0, 0x100);
    ASSERT_EQ(open(gone), 0);
    std::filesystem::remove(gone);
    EXPECT_EQ(session.CheckFile(), 0) << "the opened file stays readable";

    // Cut off after opening: still refused for what it held when it was opened.
    auto shrinking = image("shrink.mhx", 0xFFA000, 0xFFA100, "-generate 0 0x100 -constant 0");
    ASSERT_EQ(open(shrinking), 0);
    ASSERT_EQ(::truncate(shrinking.c_str(), 0), 0);
    EXPECT_EQ(session.CheckFile(), -2);

    // Cut off after the check, during a transfer: every unit of the checked text is sent,
    // the end record included.
    auto good = image("good.mhx", 0x010000, 0x010400);
    std::string text = test::runCommand("cat '" + good + "'");
    ASSERT_EQ(openAndCheck(good), 0);
    ui::PlainProgressBar bar;
    TextUnitReader reader(*session.imageFile, &bar);
    std::string sent;
    for (int units = 0; auto unit = reader.next(); ++units) {
        if (units == 10) {
            ASSERT_EQ(::truncate(good.c_str(), 20), 0);
        }
        sent.append(unit->data(), std::find(unit->begin(), unit->end(), '\0'));
    }
    EXPECT_EQ(sent, text);
}

TEST_F(ImageCheck, AFifoOrDeviceIsRefusedWithoutWaitingForAWriter) {
    std::string fifo = dir.file("fifo.mhx");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto opening = std::async(std::launch::async, [&] { return open(fifo); });
    if (opening.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        // Let the blocked open go, so the test ends and says why.
        int writer = ::open(fifo.c_str(), O_WRONLY);
        ::close(writer);
        FAIL() << "opening a FIFO waited for a writer";
    }
    EXPECT_EQ(opening.get(), -1);
    EXPECT_FALSE(session.imageFile);
    EXPECT_EQ(open("/dev/zero"), -1);
    EXPECT_FALSE(TextFile::open(fifo)) << "update files are opened the same way";
}

TEST_F(ImageCheck, BinaryFilesAndNulBytesEndInAResult) {
    std::string bytes;
    for (int i = 0; i < 4096; ++i) {
        bytes += static_cast<char>((i * 7919) & 0xFF);
    }
    int32_t r = openAndCheck(dir.write("binary.mhx", bytes));
    EXPECT_TRUE(r == 0 || r == -2 || r == -3) << r;
    std::string nul("S214\0\0FFA000\n", 13);
    EXPECT_EQ(openAndCheck(dir.write("nul.mhx", nul)), 0);
    // A 100 000-character line is 2041 pieces; each reads H'FFFFFF.
    EXPECT_EQ(openAndCheck(dir.write("huge.mhx", std::string(100000, 'F') + "\n")), 0);
}

TEST(FileMessages, TheWindowsReportOpeningAndCheckingFailures) {
    auto open = openFileResultMessage(-1);
    ASSERT_TRUE(open);
    EXPECT_EQ(open->text, "The file couldn't open!");
    EXPECT_EQ(open->title, "Bootloader");
    EXPECT_EQ(open->icon, ui::MessageIcon::Error);
    auto check = checkFileResultMessage(-1);
    ASSERT_TRUE(check);
    EXPECT_EQ(check->text, "No file is open or the file has an error!");
    EXPECT_EQ(check->title, "Romtide");
    EXPECT_EQ(check->icon, ui::MessageIcon::Information);
    for (int code : {0, -2, -3}) {
        EXPECT_FALSE(openFileResultMessage(code));
        EXPECT_FALSE(checkFileResultMessage(code));
    }
}

}  // namespace
}  // namespace romtide
