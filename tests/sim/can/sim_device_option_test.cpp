// The --sim-device text shared by the headless commands and the bus server.
#include "sim/can/sim_device_option.h"

#include <gtest/gtest.h>

namespace romtide::sim {
namespace {

TEST(SimDeviceOption, EveryItemLandsInTheDeviceAndIfaceOnlyWhereBusesAreNamed) {
    std::string error;
    auto option = parseSimDeviceOption(
        "node=12,kbit=250,boot=V1.0,product=F,name=QUAD,delay=900,fail=gone@40,iface=bench", true,
        &error);
    ASSERT_TRUE(option) << error;
    EXPECT_EQ(option->config.node, 12);
    EXPECT_EQ(option->config.kbit, 250);
    EXPECT_TRUE(option->kbitGiven);
    EXPECT_EQ(option->config.bootVersion, 0);
    EXPECT_EQ(option->config.product, 'F');
    EXPECT_EQ(option->config.name, "QUAD");
    EXPECT_EQ(option->config.answerDelayUs, 900);
    EXPECT_EQ(option->config.goneAfterUnits, 40);
    EXPECT_EQ(option->iface, "bench");

    auto plain = parseSimDeviceOption("node=3,fail=noack@7", false, &error);
    ASSERT_TRUE(plain) << error;
    EXPECT_FALSE(plain->kbitGiven);  // the bus server then runs it at its interface's rate
    EXPECT_EQ(plain->config.noAckAfterUnits, 7);
    EXPECT_TRUE(plain->iface.empty());

    EXPECT_FALSE(parseSimDeviceOption("node=3,iface=bench", false, &error));
    EXPECT_NE(error.find("iface=bench"), std::string::npos) << error;
    for (const char* bad :
         {"kbit=125", "node=0", "node=128", "node=5,kbit=126", "node=5,boot=x", "node=5,product=DE",
          "node=5,fail=sometimes", "node=5,iface=", "node=5,fail=noack@"}) {
        error.clear();
        EXPECT_FALSE(parseSimDeviceOption(bad, true, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

}  // namespace
}  // namespace romtide::sim
