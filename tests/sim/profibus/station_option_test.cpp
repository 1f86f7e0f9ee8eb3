// The station descriptions of nubox-simd and bootloader --simulate, and the segments
// built from them.
#include <gtest/gtest.h>

#include "sim/profibus/station_option.h"

namespace romtide::sim {
namespace {

TEST(DpStationOption, EveryItemLandsInTheEncoder) {
    std::string error;
    auto c = parseDpStationOption(
        "addr=17,ppo=2,ident=0xBEef,version=1.2.3,boot=15.15.255,mode=boot,delay=250,"
        "fail=error@40:9",
        &error);
    ASSERT_TRUE(c) << error;
    EXPECT_EQ(c->address, 17);
    EXPECT_EQ(c->ppo, 2);
    EXPECT_EQ(c->ident, 0xBEEF);
    EXPECT_EQ(c->version.word(), 0x1203);
    EXPECT_EQ(c->bootVersion.word(), 0xFFFF);
    EXPECT_TRUE(c->startsInBootloader);
    EXPECT_EQ(c->processingUs, 250);
    EXPECT_EQ(c->errorAt, 40);
    EXPECT_EQ(c->errorCode, 9);

    auto plain = parseDpStationOption("addr=0", &error);
    ASSERT_TRUE(plain) << error;
    EXPECT_EQ(plain->ppo, 1);
    EXPECT_EQ(plain->ident, 0x0793);
    EXPECT_FALSE(plain->startsInBootloader);
    EXPECT_EQ(parseDpStationOption("addr=3,fail=noack@5", &error)->noAnswerAt, 5);
    EXPECT_EQ(parseDpStationOption("addr=3,fail=gone@0", &error)->goneAfter, 0);
    EXPECT_TRUE(parseDpStationOption("addr=3,fail=erase", &error)->eraseNeverAnswered);
    EXPECT_EQ(parseDpStationOption("addr=3,fail=finish:4", &error)->finishRefusedWith, 4);
    EXPECT_EQ(plain->finishRefusedWith, -1);
}

TEST(DpStationOption, EveryBadItemIsRefusedByName) {
    struct Case {
        const char* text;
        const char* named;
    } cases[] = {
        {"ppo=1", "addr=N"},
        {"addr=127", "addr=127"},
        {"addr=-1", "addr=-1"},
        {"addr=3,ppo=3", "ppo=3"},
        {"addr=3,ident=0793", "ident=0793"},
        {"addr=3,ident=0x10000", "ident=0x10000"},
        {"addr=3,ident=0xG1", "ident=0xG1"},
        {"addr=3,version=1.2", "version=1.2"},
        {"addr=3,version=16.0.0", "version=16.0.0"},
        {"addr=3,boot=1.2.256", "boot=1.2.256"},
        {"addr=3,boot=1.2.3.4", "boot=1.2.3.4"},
        {"addr=3,version=1.2.3.", "version=1.2.3."},
        {"addr=3,version=+1.+2.+3", "version=+1.+2.+3"},
        {"addr=3,version=1..3", "version=1..3"},
        {"addr=3,version= 1.2.3", "version= 1.2.3"},
        {"addr=+3", "addr=+3"},
        {"addr=3,fail=finish:", "fail=finish:"},
        {"addr=3,fail=finish:256", "fail=finish:256"},
        {"addr=3,mode=updater", "mode=updater"},
        {"addr=3,delay=-5", "delay=-5"},
        {"addr=3,fail=noack@0", "fail=noack@0"},
        {"addr=3,fail=error@2", "fail=error@2"},
        {"addr=3,fail=error@2:256", "fail=error@2:256"},
        {"addr=3,fail=gone@", "fail=gone@"},
        {"addr=3,fail=sometimes", "fail=sometimes"},
        {"addr=3,colour=red", "colour=red"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(parseDpStationOption(c.text, &error)) << c.text;
        EXPECT_NE(error.find(c.named), std::string::npos) << c.text << ": " << error;
    }
}

TEST(DpSegmentDescription, TheDefaultAndTheAddressesAStationCannotHave) {
    DpSegmentConfig d = defaultDpSegment();
    ASSERT_EQ(d.encoders.size(), 3u);
    EXPECT_EQ(d.encoders[0].address, 3);
    EXPECT_EQ(d.encoders[1].ppo, 2);
    EXPECT_TRUE(d.encoders[2].startsInBootloader);
    EXPECT_EQ(d.masters, std::vector<int>{2});
    EXPECT_EQ(checkDpSegment(d), "");

    DpSegmentConfig atMaster{{SimEncoderConfig{.address = 1}}, {}};
    EXPECT_NE(checkDpSegment(atMaster).find("address 1"), std::string::npos);
    DpSegmentConfig twice{{SimEncoderConfig{.address = 7}, SimEncoderConfig{.address = 7}}, {}};
    EXPECT_NE(checkDpSegment(twice).find("two simulated stations at address 7"), std::string::npos);
    DpSegmentConfig clash{{SimEncoderConfig{.address = 2}}, {2}};
    EXPECT_NE(checkDpSegment(clash), "");
}

}  // namespace
}  // namespace romtide::sim
