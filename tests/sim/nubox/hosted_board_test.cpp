// The in-process host of `bootloader --simulate`: a simulated board with its segment in
// a private folder, reached through libnuboxlink.so exactly as a real board.
#include <sys/stat.h>

#include <filesystem>

#include "sim/nubox/hosted_board.h"
#include "support/temp_dir.h"
#include "tests/sim/nubox/dp_client.h"

namespace nubox_sim {
namespace {

using namespace test;

TEST(HostedBoard, TheDefaultSegmentThroughTheLibraryAndNothingLeftBehind) {
    romtide::test::TempDir tmp;
    setenv("TMPDIR", tmp.path().c_str(), 1);
    std::string error;
    auto host = HostedProfibusBoard::start(romtide::sim::defaultDpSegment(), &error);
    ASSERT_TRUE(host) << error;
    const std::string folder = std::filesystem::path(host->driverDir()).parent_path().string();
    EXPECT_EQ(std::filesystem::path(folder).parent_path(), tmp.path());
    setenv("NUBOXLINK_DRIVER_DIR", host->driverDir().c_str(), 1);
    setenv("NUBOXLINK_REGISTRY", host->registryPath().c_str(), 1);

    ASSERT_TRUE(initBoard());
    ASSERT_TRUE(busUp(7));
    Block list = confirm(liveListBlock());
    EXPECT_EQ(list[1], 11);
    Block d = confirm(diagnosisBlock(4));
    EXPECT_EQ(d[12] << 8 | d[13], 0x0793);
    ASSERT_TRUE(exchangePpo1(3));
    writeWords(3, 0x63C4, 0x0900, 0, 0);
    EXPECT_TRUE(await(3, 0x43C4, 0x0900));
    EXPECT_EQ(host->encoder(5)->mode(), romtide::sim::EncoderMode::Bootloader);
    EXPECT_EQ(host->dumpStations(tmp.file("dump")), "");
    EXPECT_TRUE(std::filesystem::exists(tmp.file("dump/station-4.srec")));
    EXPECT_NE(host->dumpStations("/proc/no-such-place"), "");

    host.reset();
    EXPECT_FALSE(std::filesystem::exists(folder));
    // The scratch folder holds the dump and nothing else.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.path()), {}), 1);
}

TEST(HostedBoard, ARefusedSegmentStartsNothing) {
    std::string error;
    romtide::sim::DpSegmentConfig twice{{{.address = 3}, {.address = 3}}, {}};
    EXPECT_FALSE(HostedProfibusBoard::start(twice, &error));
    EXPECT_NE(error.find("address 3"), std::string::npos) << error;
}

}  // namespace
}  // namespace nubox_sim
