// Faults that only a kernel interface produces (inside the CAN kernel of
// scripts/can-kernel): a full transmit queue, the interface taken down during a
// transfer, other traffic at a high rate, and two programs on one interface. Whatever
// happens, a device is reported okay only when it holds the image (srec_cmp), and a
// failed run says so in its status.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "process_support.h"
#include "support/can_kernel.h"

namespace romtide {
namespace {

using test::ChildProcess;

class SocketCanFaultTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto missing = test::canKernelMissing()) {
            GTEST_SKIP() << *missing;
        }
        image = test::makeImage(dir, "image.mhx", "0x010000 0x010600");
    }
    void sh(const std::string& command) {
        auto failure = test::shellFailure(command);
        ASSERT_FALSE(failure) << *failure;
    }
    std::unique_ptr<ChildProcess> update(const std::string& ifname, const std::string& nodes,
                                         const std::string& report,
                                         std::vector<std::string> more = {}) {
        std::vector<std::string> args{"update",    "--interface", "socketcan:" + ifname,
                                      "--bitrate", "125",         "--node",
                                      nodes,       "--yes",       "--report",
                                      report};
        args.insert(args.end(), more.begin(), more.end());
        args.push_back(image);
        return test::startBootloader(args);
    }
    // The report line of `node`: "node=N outcome=WORD result=N ...".
    static std::string outcomeOf(const std::string& report, int node) {
        std::ifstream in(report);
        std::regex line("node=" + std::to_string(node) + " outcome=([a-z-]+) ");
        std::smatch m;
        for (std::string text; std::getline(in, text);) {
            if (std::regex_search(text, m, line)) {
                return m[1];
            }
        }
        return "(no line)";
    }
    // A device reported okay holds the image; a run that did not end with every device
    // okay says so in its status.
    void expectNothingLostReportedOkay(int status, const std::string& output,
                                       const std::string& report, int node,
                                       const std::string& dump) {
        std::string okay = "Slave " + std::to_string(node) + " - okay";
        if (output.find(okay) != std::string::npos) {
            EXPECT_EQ(outcomeOf(report, node), "okay") << output;
            EXPECT_TRUE(test::sameImage(image, dump)) << "reported okay, but it differs\n"
                                                      << output;
            EXPECT_EQ(status, exitcode::kOk) << output;
        } else {
            EXPECT_NE(outcomeOf(report, node), "okay") << output;
            EXPECT_EQ(status, exitcode::kDeviceFailed) << output;
        }
    }
    test::TempDir dir;
    std::string image;
};

// A transmit queue of one frame that empties at a bit rate (txqueuelen 1, and a tbf queue
// discipline, for a vcan takes every frame at once) and cangen filling it: a unit waits
// for room and goes late, or the run fails; every frame dropped is counted by the queue.
TEST_F(SocketCanFaultTest, AFullTransmitQueueDelaysUnitsOrFailsTheRunNeverLosingOneUnseen) {
    struct Case {
        const char* gapMs;  // cangen's pause between frames; 0: as fast as it can
        bool mustEndOkay;   // a few frames a millisecond leave room for the update
    } cases[] = {{"1", true}, {"0", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("cangen -g ") + c.gapMs);
        sh("ip link set vcan1 txqueuelen 1");
        sh("tc qdisc replace dev vcan1 root tbf rate 200kbit burst 32 limit 16");
        const std::string dump = dir.file(std::string("full-") + c.gapMs);
        auto devices = test::startDevicesOn("vcan1", {"node=5"}, dump);
        ChildProcess cangen(
            {"/usr/bin/cangen", "vcan1", "-g", c.gapMs, "-I", "123", "-L", "8", "-D", "i", "-i"},
            ChildProcess::Output::Joined);
        const std::string report = dir.file(std::string("full-") + c.gapMs + ".txt");
        auto run = update("vcan1", "5", report);
        int status = run->wait();
        cangen.stop(SIGTERM);
        EXPECT_EQ(devices->stop(SIGINT), 0) << devices->output;
        expectNothingLostReportedOkay(status, run->output, report, 5, dump + "/node-5.srec");
        if (c.mustEndOkay) {
            EXPECT_EQ(status, exitcode::kOk) << run->output;
        }
        auto queue = test::runProgram("tc -s qdisc show dev vcan1");
        std::smatch dropped;
        ASSERT_TRUE(std::regex_search(queue.out, dropped, std::regex("dropped ([0-9]+)")))
            << queue.out;
        EXPECT_GT(std::stoll(dropped[1]), 0) << "the queue was never full\n" << queue.out;
        std::printf("cangen -g %s: node 5 %s, %s frame(s) dropped by the full queue\n", c.gapMs,
                    outcomeOf(report, 5).c_str(), dropped[1].str().c_str());
        sh("tc qdisc del dev vcan1 root");
        sh("ip link set vcan1 txqueuelen 1000");
    }
}

// The interface taken down while a unit is on its way: the run ends with the device's
// failure and the interface's message, and no device after it is reported okay.
TEST_F(SocketCanFaultTest, AnInterfaceTakenDownMidTransferEndsTheRunWithItsMessageAndNoOkay) {
    const std::string dump = dir.file("down");
    auto devices = test::startDevicesOn("vcan1", {"node=5", "node=6"}, dump);
    const std::string report = dir.file("down.txt");
    auto run = update("vcan1", "5,6", report, {"--progress", "plain"});
    ASSERT_TRUE(run->waitForText("Slave 5: 20 %")) << run->output;
    sh("ip link set vcan1 down");
    EXPECT_EQ(run->wait(), exitcode::kDeviceFailed) << run->output;
    EXPECT_NE(run->output.find("The CAN interface vcan1 went down: Network is down."),
              std::string::npos)
        << run->output;
    EXPECT_EQ(run->output.find(" - okay"), std::string::npos) << run->output;
    EXPECT_NE(run->output.find("0 of 2 device(s) updated"), std::string::npos) << run->output;
    // Cut off in its transfer: the unit's answer or the next unit could not pass.
    std::string first = outcomeOf(report, 5);
    EXPECT_TRUE(first == "bus-error" || first == "bootloader-lost" || first == "not-acknowledged")
        << first;
    EXPECT_NE(outcomeOf(report, 6), "okay");
    EXPECT_NE(outcomeOf(report, 6), "(no line)");
    std::printf("taken down at 20 %% of node 5: node 5 %s, node 6 %s\n", first.c_str(),
                outcomeOf(report, 6).c_str());
    sh("ip link set vcan1 up");
}

// Frames of another node at the rate a 125 kbit/s bus carries, and extended frames on
// the devices' identifiers carrying what an acknowledgement holds: the update is still
// exactly the image.
TEST_F(SocketCanFaultTest, OtherTrafficAtAHighRateLeavesTheUpdateCorrect) {
    const std::string dump = dir.file("busy");
    auto devices = test::startDevicesOn("vcan0", {"node=5"}, dump);
    ChildProcess other(
        {"/usr/bin/cangen", "vcan0", "-g", "1", "-I", "123", "-L", "8", "-D", "i", "-i"},
        ChildProcess::Output::Joined);
    ChildProcess lookalike({"/usr/bin/cangen", "vcan0", "-e", "-g", "5", "-I", "585", "-L", "8",
                            "-D", "6000300000000000", "-i"},
                           ChildProcess::Output::Joined);
    const std::string report = dir.file("busy.txt");
    auto run = update("vcan0", "5", report);
    EXPECT_EQ(run->wait(), exitcode::kOk) << run->output;
    other.stop(SIGTERM);
    lookalike.stop(SIGTERM);
    EXPECT_NE(run->output.find("Slave 5 - okay"), std::string::npos) << run->output;
    EXPECT_EQ(devices->stop(SIGINT), 0) << devices->output;
    EXPECT_TRUE(test::sameImage(image, dump + "/node-5.srec"));
}

// Two programs on one interface, each updating its own node at the same time: each hears
// the other's search and transfer and takes only its own device's answers.
TEST_F(SocketCanFaultTest, TwoProgramsOnOneInterfaceUpdateTwoNodesAtOnce) {
    const std::string dump = dir.file("two");
    auto devices = test::startDevicesOn("vcan0", {"node=5", "node=6"}, dump);
    auto five = update("vcan0", "5", dir.file("five.txt"));
    auto six = update("vcan0", "6", dir.file("six.txt"));
    EXPECT_EQ(five->wait(), exitcode::kOk) << five->output;
    EXPECT_EQ(six->wait(), exitcode::kOk) << six->output;
    EXPECT_NE(five->output.find("Slave 5 - okay"), std::string::npos) << five->output;
    EXPECT_NE(six->output.find("Slave 6 - okay"), std::string::npos) << six->output;
    EXPECT_EQ(devices->stop(SIGINT), 0) << devices->output;
    EXPECT_TRUE(test::sameImage(image, dump + "/node-5.srec"));
    EXPECT_TRUE(test::sameImage(image, dump + "/node-6.srec"));
}

}  // namespace
}  // namespace romtide
