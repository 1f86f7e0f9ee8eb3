// The REGEDIT4 configuration: parsing, writing back, typed look-ups and the file store.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "nuboxlink/interface/registry.h"
#include "nuboxlink/platform/linux_platform.h"

namespace nuboxlink {
namespace {

const char* kSample =
    "REGEDIT4\r\n"
    "\r\n"
    "; boards of the test bench\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices\\0]\r\n"
    "\"PCI-Board\"=dword:00000042\r\n"
    "\"RemoteMachine\"=\"host \\\"a\\\" \\\\ b\"\r\n"
    "\"PortAddress\"=hex:00,03,\\\r\n"
    "  00,00\r\n"
    "\"MemoryRange\"=hex(4):00,40,00,00\r\n"
    "@=\"default\"\r\n";

TEST(RegFile, ParsesValuesOfEveryForm) {
    auto file = parseRegFile(kSample);
    ASSERT_TRUE(file);
    const RegValues* v = file->find(deviceKeyName(0));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(dwordValue(*v, "pci-board"), 0x42u);  // names ignore case
    EXPECT_EQ(stringValue(*v, "RemoteMachine"), "host \"a\" \\ b");
    // A 4-byte number of any type; "PortAddress" came as binary over two lines.
    EXPECT_EQ(numberValue(*v, "PortAddress"), 0x300u);
    EXPECT_FALSE(dwordValue(*v, "PortAddress"));
    EXPECT_EQ(dwordValue(*v, "MemoryRange"), 0x4000u);
    EXPECT_EQ(stringValue(*v, ""), "default");
    EXPECT_FALSE(numberValue(*v, "RemoteMachine"));
    EXPECT_FALSE(stringValue(*v, "PCI-Board"));
}

TEST(RegFile, RefusesMalformedAndTruncatedFiles) {
    const char* bad[] = {
        "",
        "REGEDIT5\n",
        "REGEDIT4\n\"a\"=dword:1\n",               // value outside a key
        "REGEDIT4\n[K]\n\"a\"=dword:123456789\n",  // nine digits
        "REGEDIT4\n[K]\n\"a\"=dword:12g4\n",       // not hex
        "REGEDIT4\n[K]\n\"a\"=\"unterminated\n",   // truncated string
        "REGEDIT4\n[K]\n\"a\"=hex:01,0\n",         // half a byte
        "REGEDIT4\n[K]\n\"a\"=hex:01,\\\n",        // continuation at the end
        "REGEDIT4\n[K\n",                          // truncated key
        "REGEDIT4\n[K]\n\"a\"dword:1\n",           // no equals sign
        "REGEDIT4\n[K]\n\"a\"=word:1\n",           // unknown type
    };
    for (const char* text : bad) {
        EXPECT_FALSE(parseRegFile(text)) << text;
    }
}

TEST(RegFile, DeletionsAndKeysWithoutCase) {
    auto file = parseRegFile(
        "REGEDIT4\n[A\\B]\n\"x\"=dword:1\n\"y\"=dword:2\n[a\\b]\n\"y\"=-\n[A\\B\\C]\n"
        "\"z\"=dword:3\n[-A\\B]\n[A\\D]\n");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->find("A\\B"), nullptr);
    EXPECT_EQ(file->find("A\\B\\C"), nullptr);
    EXPECT_NE(file->find("a\\d"), nullptr);
}

TEST(RegFile, ARemovalTakesTheKeyAndTheKeysBelowItOnly) {
    // Names that sort between the key and the keys below it ("A\\B!", before "A\\B\\")
    // and just after them ("A\\BC") stay; a key removed and given again comes back last.
    auto file = parseRegFile(
        "REGEDIT4\n[A\\B]\n\"x\"=dword:1\n[A\\B!]\n[A\\B\\C]\n[a\\b\\c\\d]\n[A\\BC]\n"
        "[-a\\B]\n[A\\B\\C]\n\"y\"=dword:2\n[-A\\BC\\X]\n");
    ASSERT_TRUE(file);
    std::vector<std::string> names;
    for (const auto& [name, values] : file->keys) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"A\\B!", "A\\BC", "A\\B\\C"}));
    const RegValues* c = file->find("A\\B\\C");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->size(), 1u) << "its values before the removal are gone";
}

TEST(RegFile, AKeyImpliesItsParents) {
    // A section for device 0 but none for the Devices key itself: device 0 is configured.
    auto file = parseRegFile(std::string("REGEDIT4\n\n[") + deviceKeyName(0) +
                             "]\n\"PCI-Board\"=dword:00000042\n\n[" + deviceKeyName(3) +
                             "\\Parameters]\n\"x\"=dword:1\n");
    ASSERT_TRUE(file);
    EXPECT_TRUE(file->exists(kDevicesKey));
    EXPECT_TRUE(file->exists("hkey_local_machine\\system"));
    EXPECT_FALSE(file->exists(std::string(kDevicesKey) + "\\1"));
    EXPECT_FALSE(file->exists(std::string(kDevicesKey) + "\\0\\x")) << "only parents exist";
    auto devices = devicesOf(*file);
    ASSERT_TRUE(devices);
    ASSERT_TRUE((*devices)[0]);
    EXPECT_EQ(dwordValue(*(*devices)[0], "PCI-Board"), 0x42u);
    EXPECT_FALSE((*devices)[1]);
    ASSERT_TRUE((*devices)[3]) << "a key with only subkeys exists, without values";
    EXPECT_TRUE((*devices)[3]->empty());
    EXPECT_FALSE(devicesOf(*parseRegFile("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SYSTEM]\n")));

    MemoryRegistry memory;
    memory.file = *file;
    RegValues v;
    EXPECT_TRUE(memory.readDevice(0, &v));
    EXPECT_FALSE(memory.readDevice(16, &v));
}

TEST(RegFile, SectionsOfTheSameKeyMergeHoweverManyKeysTheFileHas) {
    std::string text = "REGEDIT4\n";
    for (int i = 0; i < 2000; ++i) {
        text += "[" + std::string(kDevicesKey) + "\\Other\\" + std::to_string(i) + "]\n";
    }
    text += "[" + deviceKeyName(5) + "]\n\"a\"=dword:1\n[" + std::string(kDevicesKey) +
            "\\other\\7]\n[" + deviceKeyName(5) + "]\n\"b\"=dword:2\n";
    auto file = parseRegFile(text);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->keys.size(), 2001u);
    const RegValues* five = file->find(deviceKeyName(5));
    ASSERT_NE(five, nullptr);
    EXPECT_EQ(five->size(), 2u);
}

TEST(RegFile, WritingBackReadsTheSame) {
    auto file = parseRegFile(kSample);
    ASSERT_TRUE(file);
    auto again = parseRegFile(formatRegFile(*file));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->keys, file->keys);
}

class FileRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("nuboxlink-reg-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        path = (dir / "registry.reg").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    void writeFile(const std::string& text) { std::ofstream(path, std::ios::binary) << text; }
    std::string readFile() {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::filesystem::path dir;
    std::string path;
};

TEST_F(FileRegistryTest, ReplaceKeepsOtherDevicesAndRemovesOldValues) {
    writeFile(kSample + std::string("[") + deviceKeyName(1) + "]\n\"USB-Id\"=dword:00001001\n");
    FileRegistry reg(path);
    ASSERT_TRUE(reg.replaceDevice(0, RegValues{{"USB-Id", RegValue::ofDword(7)}}));
    RegValues v;
    ASSERT_TRUE(reg.readDevice(0, &v));
    EXPECT_EQ(v.size(), 1u);
    EXPECT_EQ(dwordValue(v, "USB-Id"), 7u);
    ASSERT_TRUE(reg.readDevice(1, &v));
    EXPECT_EQ(dwordValue(v, "USB-Id"), 0x1001u);
    EXPECT_FALSE(reg.readDevice(2, &v));
    // No temporary file is left beside it.
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos);
    }
}

TEST_F(FileRegistryTest, WritingThroughALinkWritesItsTargetAndKeepsTheLink) {
    // The registry kept in another folder, linked relatively, through two links.
    std::filesystem::create_directories(dir / "kept");
    const std::filesystem::path kept = dir / "kept" / "real.reg";
    std::ofstream(kept, std::ios::binary) << kSample;
    std::filesystem::create_symlink("kept/real.reg", dir / "middle.reg");
    std::filesystem::create_symlink("middle.reg", path);
    FileRegistry reg(path);
    ASSERT_TRUE(reg.replaceDevice(4, RegValues{{"PCI-Board", RegValue::ofDword(0x44)}}));
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "middle.reg"));
    RegValues v;
    ASSERT_TRUE(FileRegistry(kept.string()).readDevice(4, &v));
    EXPECT_EQ(dwordValue(v, "PCI-Board"), 0x44u);
    ASSERT_TRUE(reg.readDevice(0, &v)) << "the rest of the file is kept";

    // Links that go round in circles are no registry to write.
    std::filesystem::create_symlink("loop-b.reg", dir / "loop-a.reg");
    std::filesystem::create_symlink("loop-a.reg", dir / "loop-b.reg");
    EXPECT_FALSE(FileRegistry((dir / "loop-a.reg").string()).replaceDevice(0, RegValues{}));
}

TEST_F(FileRegistryTest, CreatesAMissingFile) {
    FileRegistry reg(path);
    RegValues v;
    EXPECT_FALSE(reg.readDevice(0, &v));
    ASSERT_TRUE(reg.replaceDevice(3, RegValues{{"PCI-Board", RegValue::ofDword(0x42)}}));
    ASSERT_TRUE(reg.readDevice(3, &v));
    EXPECT_EQ(dwordValue(v, "PCI-Board"), 0x42u);
}

TEST_F(FileRegistryTest, AMalformedFileIsNeitherReadNorOverwritten) {
    const std::string text = std::string(kSample) + "\"broken\n";
    writeFile(text);
    FileRegistry reg(path);
    RegValues v;
    EXPECT_FALSE(reg.readDevice(0, &v));
    EXPECT_FALSE(reg.replaceDevice(0, RegValues{{"PCI-Board", RegValue::ofDword(1)}}));
    EXPECT_EQ(readFile(), text);
}

TEST_F(FileRegistryTest, AnUnreadablePathIsNotConfigured) {
    FileRegistry reg(dir.string());  // a directory, not a file
    RegValues v;
    EXPECT_FALSE(reg.readDevice(0, &v));
    // A FIFO in the registry's place is refused at once rather than waited on.
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    auto reading =
        std::async(std::launch::async, [&] { return FileRegistry(path).readDevice(0, &v); });
    if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ::close(::open(path.c_str(), O_WRONLY));  // let the blocked read go
        FAIL() << "reading a FIFO waited for a writer";
    }
    EXPECT_FALSE(reading.get());
    FileRegistry nowhere((dir / "missing" / "registry.reg").string());
    EXPECT_FALSE(nowhere.replaceDevice(0, RegValues{}));
}

}  // namespace
}  // namespace nuboxlink
