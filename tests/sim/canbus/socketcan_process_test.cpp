// The program and simulated devices in processes of their own on a kernel CAN interface
// (inside the CAN kernel of scripts/can-kernel), as in the field behind a CAN adapter:
// the search and the update of the three devices of the built-in scenario with both
// bootloader renewals (srec_cmp on what each programmed), the program's trace against
// what candump recorded of the same interface, and python-can's SocketCAN interface as
// an independent peer of our TCANComm.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "can/tcancomm.h"
#include "reliability/process_support.h"
#include "sim/canbus/device_client.h"
#include "support/can_kernel.h"
#include "support/fakes.h"

namespace romtide {
namespace {

using test::ChildProcess;

class SocketCanProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto missing = test::canKernelMissing()) {
            GTEST_SKIP() << *missing;
        }
        image = test::makeImage(dir, "image.mhx", "0x010000 0x010300");
    }
    test::TempDir dir;
    std::string image;
};

TEST_F(SocketCanProcessTest, TheThreeDevicesAreFoundUpdatedAndRenewedAndTheTraceIsCandumps) {
    const std::string dump = dir.file("dump");
    auto devices = test::startDevicesOn(
        "vcan0",
        {"node=5,boot=3,product=D,name=ENC", "node=6,boot=2,product=F,name=QUAD",
         "node=7,boot=1.0,product=E,name=INKR"},
        dump);
    ASSERT_NE(devices->output.find("ready"), std::string::npos) << devices->output;

    auto search =
        test::startBootloader({"search", "--interface", "socketcan:vcan0", "--bitrate", "125"});
    ASSERT_EQ(search->wait(), exitcode::kOk) << search->output;
    for (const char* text : {"Devices at 125 kBit/s", "ENC", "QUAD", "INKR"}) {
        EXPECT_NE(search->output.find(text), std::string::npos) << text << "\n" << search->output;
    }

    test::CandumpRecorder candump("vcan0", dir.file("candump.log"));
    ASSERT_TRUE(candump.mark());
    const std::string trace = dir.file("trace.log");
    auto update =
        test::startBootloader({"update", "--interface", "socketcan:vcan0", "--bitrate", "125",
                               "--all", "--yes", "--product", "498", "--trace", trace, image});
    EXPECT_EQ(update->wait(), exitcode::kOk) << update->output;
    for (const char* line : {"Slave 5 - okay", "Slave 6 - bootloader update ok", "Slave 6 - okay",
                             "Slave 7 - bootloader V1.0", "Slave 7 - bootloader update ok",
                             "Slave 7 - okay", "3 of 3 device(s) updated"}) {
        EXPECT_NE(update->output.find(line), std::string::npos) << line << "\n" << update->output;
    }
    ASSERT_TRUE(candump.mark());

    // Every frame the program sent or received, in the order the kernel carried them.
    auto traced = test::candumpFrames(trace);
    auto recorded = candump.framesBetweenMarks();
    EXPECT_GT(traced.size(), 1000u);
    size_t same = 0;
    while (same < traced.size() && same < recorded.size() && traced[same] == recorded[same]) {
        ++same;
    }
    EXPECT_TRUE(same == traced.size() && same == recorded.size())
        << "the trace (" << traced.size() << " frames) and candump (" << recorded.size()
        << ") part at frame " << same << ": " << (same < traced.size() ? traced[same] : "(end)")
        << " / " << (same < recorded.size() ? recorded[same] : "(end)");

    EXPECT_EQ(devices->stop(SIGINT), 0) << devices->output;
    for (int node : {5, 6, 7}) {
        EXPECT_TRUE(test::sameImage(image, dump + "/node-" + std::to_string(node) + ".srec"))
            << "node " << node;
    }
}

// python-can speaks SocketCAN with code of its own: its standard frames reach our
// TCANComm and a device, their answers reach it as standard frames, and an extended
// frame of the same identifier is nobody's request.
TEST_F(SocketCanProcessTest, PythonCanAndTCANCommShareTheInterfaceRequestByAnswer) {
    if (test::runProgram("/usr/bin/python3 -c 'import can.interfaces.socketcan'").status != 0) {
        GTEST_SKIP() << "python-can is not installed for /usr/bin/python3 (Debian package "
                        "python3-can)";
    }
    sim::SimDeviceConfig config;
    config.node = 5;
    config.name = "PYCAN";
    sim::DeviceClient device(config, "socketcan:vcan0");
    std::string error;
    ASSERT_TRUE(device.start(&error)) << error;

    SteadyClock clock;
    ui::QueuedEventPump pump;
    test::RecordingMessageBoxes messages;
    Services services{clock, pump, messages};
    TCANComm::resetSharedState();
    TCANComm::setRegistryModulePath({});
    ::setenv("ROMTIDE_CAN_INTERFACE", "socketcan:vcan0", 1);
    TCANComm can(services);
    ASSERT_EQ(can.SelectBoard(), 1);
    ::unsetenv("ROMTIDE_CAN_INTERFACE");
    TCANComm::SetBaudIndex(4);
    ASSERT_GT(can.InitCan(0, 0x585), 0);
    std::vector<uint32_t> heard;
    TCANComm::SetReceiveHandler([&](CanFrameRecord r) {
        heard.push_back(uint32_t{r.id});  // a copy: the record is packed
        if (r.id == 0x321) {
            // Our answer: the request's bytes in reverse order.
            uint8_t answer[8];
            for (int i = 0; i < 8; ++i) {
                answer[i] = r.data[7 - i];
            }
            can.Transmit(answer, 0x322, 8);
        }
    });
    TCANComm::SetReceiveForward(true);

    const std::string script =
        "import can\n"
        "bus = can.Bus(interface='socketcan', channel='vcan0')\n"
        "def ask(id, data, answer, extended=False):\n"
        "    bus.send(can.Message(arbitration_id=id, data=data, is_extended_id=extended))\n"
        "    m = bus.recv(5)\n"
        "    while m is not None and m.arbitration_id != answer:\n"
        "        m = bus.recv(5)\n"
        "    print('none' if m is None else '%03X %s %s' % (m.arbitration_id, m.data.hex(),\n"
        "          'extended' if m.is_extended_id else 'standard'))\n"
        "try:\n"
        "    bus.send(can.Message(arbitration_id=0x321, data=[9] * 8, is_extended_id=True))\n"
        "    ask(0x321, [1, 2, 3, 4, 5, 6, 7, 8], 0x322)\n"
        "    ask(0x605, [0x40, 0x00, 0x10, 0, 0, 0, 0, 0], 0x585)\n"
        "finally:\n"
        "    bus.shutdown()\n";
    std::string path = dir.write("peer.py", script);
    auto python = std::async(std::launch::async,
                             [&] { return test::runProgram("/usr/bin/python3 " + path); });
    // Our side runs its pump until python is done (bounded by python's own time-outs).
    while (python.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        pump.processPending();
    }
    auto r = python.get();
    pump.processPending();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("322 0807060504030201 standard"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("585 43001000"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("extended"), std::string::npos) << r.out;
    // TCANComm heard python's two standard requests and the device's answer, not the
    // extended frame.
    EXPECT_EQ(heard, (std::vector<uint32_t>{0x321, 0x605, 0x585})) << r.out;
    TCANComm::resetSharedState();
}

}  // namespace
}  // namespace romtide
