// Updates interrupted at points drawn from a fixed seed: the program killed outright,
// the bus server killed under it. A device left half-written stays in its bootloader
// and is never reported done; a second run finds it and updates it, and srec_cmp says
// it holds the image.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "app/exit_codes.h"
#include "process_support.h"

namespace romtide {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;

TEST(Recovery, AProgramKilledMidUpdateLeavesTheDeviceInItsBootloaderForTheNextRun) {
    test::TempDir dir;
    std::string image = test::makeImage(dir, "image.mhx", "0x010000 0x010600");
    std::mt19937 random(1414);
    for (int attempt = 0; attempt < 3; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        uint16_t port = 0;
        std::string dump = dir.file("dump" + std::to_string(attempt));
        // Slow answers stretch the transfer over seconds, so the kill falls inside it.
        auto server = test::startBusServer({"--interface", "vcan0:1000", "--sim-device",
                                            "node=5,product=D,delay=1500", "--sim-dump", dump},
                                           &port);
        ASSERT_NE(port, 0) << server->output;
        std::string iface = "socketcand:127.0.0.1:" + std::to_string(port) + "/vcan0";

        auto first = test::startBootloader(
            {"update", "--interface", iface, "--bitrate", "1000", "--node", "5", image});
        ASSERT_TRUE(first->waitForText("Slave 5 - bootloader connect ok")) << first->output;
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + random() % 900));
        first->stop(SIGKILL);
        EXPECT_EQ(first->output.find("Slave 5 - okay"), std::string::npos) << first->output;

        // The next run finds the device, now in its bootloader, and updates it.
        auto search = test::startBootloader({"search", "--interface", iface, "--bitrate", "1000"});
        EXPECT_EQ(search->wait(), exitcode::kOk) << search->output;
        EXPECT_NE(search->output.find("Bootloader V.3.497 Encoder"), std::string::npos)
            << search->output;
        auto second = test::startBootloader(
            {"update", "--interface", iface, "--bitrate", "1000", "--node", "5", image});
        EXPECT_EQ(second->wait(), exitcode::kOk) << second->output;
        EXPECT_NE(second->output.find("Slave 5 - okay"), std::string::npos) << second->output;
        EXPECT_EQ(server->stop(SIGINT), 0) << server->output;
        EXPECT_TRUE(test::sameImage(image, dump + "/node-5.srec"));
    }
}

TEST(Recovery, ABusServerKilledMidUpdateIsABusErrorAndTheNextRunFinishesTheDevice) {
    test::TempDir dir;
    std::string image = test::makeImage(dir, "image.mhx", "0x010000 0x010600");
    uint16_t port = 0;
    auto server = test::startBusServer({"--interface", "vcan0:1000"}, &port);
    ASSERT_NE(port, 0) << server->output;
    std::string address = "127.0.0.1:" + std::to_string(port);
    // The device in a process of its own, which outlives the server as a device outlives
    // its bus's gateway, and writes what it was programmed with when it is stopped.
    std::string dump = dir.file("device");
    ChildProcess device(
        {test::bin("romtide-canbus"), "--connect", address, "--reconnect", "--sim-device",
         "node=6,kbit=1000,product=D,delay=1500", "--sim-dump", dump},
        ChildProcess::Output::Joined);
    ASSERT_TRUE(device.waitForLine("ready")) << device.output;

    std::string iface = "socketcand:" + address + "/vcan0";
    auto update = test::startBootloader(
        {"update", "--interface", iface, "--bitrate", "1000", "--node", "6", image});
    ASSERT_TRUE(update->waitForText("Slave 6 - bootloader connect ok")) << update->output;
    std::this_thread::sleep_for(500ms);
    server->stop(SIGKILL);
    EXPECT_EQ(update->wait(), exitcode::kDeviceFailed) << update->output;
    EXPECT_EQ(update->output.find("Slave 6 - okay"), std::string::npos) << update->output;

    // The server back on its port: the device joins it again, still in its bootloader, and
    // the next run finds it there and updates it.
    ChildProcess restarted(
        {test::bin("romtide-canbus"), "--port", std::to_string(port), "--interface", "vcan0:1000"});
    ASSERT_TRUE(restarted.waitForLine("ready")) << restarted.output;
    ASSERT_TRUE(device.waitForText("node 6 connected again")) << device.output;
    auto search = test::startBootloader({"search", "--interface", iface, "--bitrate", "1000"});
    EXPECT_EQ(search->wait(), exitcode::kOk) << search->output;
    EXPECT_NE(search->output.find("Bootloader V.3.497 Encoder"), std::string::npos)
        << search->output;
    auto second = test::startBootloader(
        {"update", "--interface", iface, "--bitrate", "1000", "--node", "6", image});
    EXPECT_EQ(second->wait(), exitcode::kOk) << second->output;
    EXPECT_NE(second->output.find("Slave 6 - okay"), std::string::npos) << second->output;
    EXPECT_EQ(device.stop(SIGINT), 0) << device.output;
    EXPECT_TRUE(test::sameImage(image, dump + "/node-6.srec"));
    EXPECT_EQ(restarted.stop(SIGINT), 0) << restarted.output;
}

}  // namespace
}  // namespace romtide
