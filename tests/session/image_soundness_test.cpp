// Files a device's bootloader would refuse halfway, after its erase, are found before.
#include "session/image_soundness.h"

#include <gtest/gtest.h>

#include <string>

namespace romtide {
namespace {

using Kind = ImageFault::Kind;

// Two sound S2 data records, an S0 header and an S8 end record.
const std::string kHeader = "S00600004844521B";
const std::string kData1 = "S2080000005A5A5A5A8F";
const std::string kData2 = "S2080000045A5A5A5A8B";
const std::string kEnd = "S804000000FB";

std::string lines(std::initializer_list<std::string> records, const std::string& end = "\n") {
    std::string text;
    for (const auto& r : records) {
        text += r + end;
    }
    return text;
}

ImageInspection inspect(std::string bytes) {
    auto file = TextFile::fromBytes(std::move(bytes), "image.mhx");
    return inspectImage(*file);
}

TEST(ImageInspection, SoundFilesPassWhateverTheirLineEnds) {
    for (const char* end : {"\n", "\r\n", "  \t\n"}) {
        ImageInspection r = inspect(lines({kHeader, kData1, "", kData2, kEnd}, end));
        EXPECT_TRUE(r.ok()) << describeImageFault(*r.fault);
        EXPECT_EQ(r.records, 4);
        EXPECT_EQ(r.dataRecords, 2);
    }
    // The last line needs no line feed, and lower-case digits are digits.
    EXPECT_TRUE(inspect(kHeader + "\n" + kData1 + "\nS804000000fb").ok());
    // A record count that agrees.
    EXPECT_TRUE(inspect(lines({kData1, kData2, "S5030002FA"})).ok());
}

TEST(ImageInspection, RecordsOnlyThatEraseAreSoundButEraseOnly) {
    EXPECT_TRUE(inspect("").eraseOnly());
    EXPECT_TRUE(inspect("\n\n").eraseOnly());
    ImageInspection r = inspect(lines({kHeader, kEnd}));
    EXPECT_TRUE(r.eraseOnly());
    EXPECT_EQ(r.records, 2);
    EXPECT_FALSE(inspect(lines({kData1})).eraseOnly());
}

TEST(ImageInspection, FilesTheDeviceWouldRefuseNameTheLineAndWhy) {
    struct Case {
        const char* what;
        std::string bytes;
        Kind kind;
        int64_t line;
        const char* reason;
    };
    const Case cases[] = {
        {"download cut off in its last record", lines({kHeader, kData1}) + "S2080000045A5A",
         Kind::BrokenRecord, 3,
         "cut short: its byte count (0x08) calls for 16 digits after it, "
         "the line holds 10"},
        {"cut in the middle of a byte", lines({kData1}) + "S2080000045A5A5A5A8", Kind::BrokenRecord,
         2, "cut short"},
        {"end record with a wrong checksum and no line end", lines({kData1}) + "S804000000FC",
         Kind::BrokenRecord, 2, "wrong checksum: the record says 0xFC, its bytes give 0xFB"},
        {"longer than its byte count", lines({"S2080000005A5A5A5A8F00"}), Kind::BrokenRecord, 1,
         "longer than its byte count (0x08) says"},
        {"a data digit that is no digit", lines({"S2080000005A5G5A5A8F"}), Kind::BrokenRecord, 1,
         "not a hexadecimal digit"},
        {"the password file", "root:x:0:0:root:/root:/bin/bash\n", Kind::BrokenRecord, 1,
         "not an S-record (it starts \"root:x:0:0:root:...\")"},
        {"a stray line among records", lines({kData1, "; comment", kData2}), Kind::BrokenRecord, 2,
         "not an S-record"},
        {"an unknown record type", lines({"S4030000FC"}), Kind::BrokenRecord, 1, "record type S4"},
        {"a record count that does not agree", lines({kData1, "S5030002FA"}), Kind::BrokenRecord, 2,
         "record count says 2"},
        {"a line longer than any record", std::string("S2") + std::string(600, '0') + "\n",
         Kind::BrokenRecord, 1, "longer than any S-record"},
        {"a program file",
         std::string("\x7f"
                     "ELF\x02\x01\x01",
                     7),
         Kind::NotText, 1, "byte 0 is the control character 0x7F"},
        {"a NUL in the third line", lines({kData1, kData2}) + std::string("S2\0", 3), Kind::NotText,
         3, "byte 44 is a NUL byte"},
        {"lines ended by CR alone", lines({kHeader, kData1, kEnd}, "\r"), Kind::CrOnlyLineEnds, 1,
         "carriage return alone"},
    };
    for (const Case& c : cases) {
        ImageInspection r = inspect(c.bytes);
        ASSERT_TRUE(r.fault) << c.what;
        EXPECT_EQ(r.fault->kind, c.kind) << c.what;
        EXPECT_EQ(r.fault->line, c.line) << c.what;
        EXPECT_NE(r.fault->reason.find(c.reason), std::string::npos)
            << c.what << ": " << r.fault->reason;
        EXPECT_FALSE(r.eraseOnly()) << c.what;
    }
}

}  // namespace
}  // namespace romtide
