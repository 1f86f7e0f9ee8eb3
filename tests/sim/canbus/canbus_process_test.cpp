// The bus server as its own program, with devices hosted and in processes of their own,
// updated by the bootloader program over socketcand (what the devices programmed checked
// with srec_cmp); and python-can's socketcand client on the same bus as our TCANComm,
// each answering the other, as an independent implementation of the protocol.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <regex>
#include <string>

#include "app/exit_codes.h"
#include "can/tcancomm.h"
#include "canbus_support.h"
#include "sim/canbus/canbus_server.h"
#include "support/fakes.h"
#include "support/temp_dir.h"

namespace romtide {
namespace {

using test::ChildProcess;

using Outcome = test::ProgramRun;
Outcome run(const std::string& command) {
    return test::runProgram(command);
}

std::string bin(const std::string& program) {
    return std::string(ROMTIDE_BIN_DIR) + "/" + program;
}

// Starts the bus server on a free port and waits until it serves.
std::unique_ptr<ChildProcess> startServer(std::vector<std::string> args, uint16_t* port) {
    args.insert(args.begin(), {bin("romtide-canbus"), "--port", "0"});
    auto server = std::make_unique<ChildProcess>(args);
    EXPECT_TRUE(server->waitForLine("ready")) << server->output;
    // "romtide-canbus: socketcand on 127.0.0.1:PORT, ..."
    *port = 0;
    auto at = server->output.find("127.0.0.1:");
    if (at != std::string::npos) {
        *port = static_cast<uint16_t>(std::atoi(server->output.c_str() + at + 10));
    }
    return server;
}

class CanBusProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        image = dir.file("image.mhx");
        ASSERT_EQ(std::system((std::string(ROMTIDE_SREC_CAT) +
                               " -generate 0x010000 0x010300 -repeat-string Romtide -o " + image +
                               " -address-length=3")
                                  .c_str()),
                  0);
    }
    void expectProgrammed(const std::string& dump) {
        std::string cmd = std::string(ROMTIDE_SREC_CMP) + " " + image + " " + dump;
        Outcome r = run(cmd);
        EXPECT_EQ(r.status, 0) << dump << ": " << r.out;
    }
    test::TempDir dir;
    std::string image;
};

TEST_F(CanBusProcessTest, UpdateOverSocketcandProgramsHostedDevicesAndDevicesInTheirOwnProcess) {
    uint16_t port = 0;
    auto server =
        startServer({"--interface", "vcan0:1000", "--sim-device", "node=5,product=D",
                     "--sim-device", "node=6,boot=2,product=F", "--sim-dump", dir.file("server")},
                    &port);
    ASSERT_NE(port, 0) << server->output;
    std::string address = "127.0.0.1:" + std::to_string(port);
    ChildProcess device({bin("romtide-canbus"), "--connect", address, "--sim-device",
                         "node=9,kbit=1000,product=E", "--sim-dump", dir.file("device")});
    ASSERT_TRUE(device.waitForLine("ready")) << device.output;

    const std::string trace = dir.file("trace.log");
    Outcome r = run(bin("bootloader") + " can update --interface socketcand:" + address +
                    "/vcan0 --bitrate 1000 --all --yes --trace " + trace + " --report " +
                    dir.file("report.txt") + " " + image);
    EXPECT_EQ(r.status, exitcode::kOk) << r.out;
    // The trace on the socketcand interface, in candump log format: the requests the
    // program sent and the devices' answers, as the interface carried them.
    std::ifstream in(trace);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* pattern : {
             R"(\(\d{10}\.\d{6}\) vcan0 605#4000100000000000\n)",  // device type, node 5
             R"(\(\d{10}\.\d{6}\) vcan0 585#43001000)",            // its answer
             R"(\) vcan0 609#23003000[0-9A-F]{8}\n)",              // a text unit
             R"(\) vcan0 589#60003000)",                           // its acknowledge
         }) {
        EXPECT_TRUE(std::regex_search(text, std::regex(pattern))) << pattern << "\n"
                                                                  << text.substr(0, 3000);
    }
    for (const char* line : {"Slave 5 - okay", "Slave 6 - bootloader update ok", "Slave 6 - okay",
                             "Slave 9 - okay", "3 of 3 device(s) updated"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }
    // SIGINT ends the server with its dumps written; the device process goes with its bus.
    EXPECT_EQ(server->stop(SIGINT), 0);
    EXPECT_EQ(device.stop(SIGTERM), 0);
    expectProgrammed(dir.file("server/node-5.srec"));
    expectProgrammed(dir.file("server/node-6.srec"));
    expectProgrammed(dir.file("device/node-9.srec"));
}

TEST_F(CanBusProcessTest, TheSearchFindsTheDevicesAtTheRateItStartsWithForTheRateIsTheServers) {
    uint16_t port = 0;
    auto server = startServer({"--sim-device", "node=12,name=QUAD"}, &port);  // vcan0:125
    ASSERT_NE(port, 0);
    std::string uri = "socketcand:127.0.0.1:" + std::to_string(port) + "/vcan0";
    Outcome r = run(bin("bootloader") + " can search --interface " + uri + " --bitrate 500");
    EXPECT_EQ(r.status, exitcode::kOk) << r.out;
    EXPECT_NE(r.out.find("Devices at 500 kBit/s"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("QUAD"), std::string::npos) << r.out;
    EXPECT_EQ(server->stop(SIGTERM), 0);

    // With the server gone the interface cannot be opened: no interface, and why.
    r = run(bin("bootloader") + " can search --interface " + uri);
    EXPECT_EQ(r.status, exitcode::kNoBoard) << r.out;
    EXPECT_NE(r.out.find("Connection refused"), std::string::npos) << r.out;
}

TEST_F(CanBusProcessTest, BadCommandLinesAreRefusedWithTheUsageStatus) {
    for (const char* args :
         {"--interface vcan0", "--interface vcan0:126", "--port 70000", "--sim-device node=200",
          "--sim-device node=5,iface", "--frobnicate", "--connect 127.0.0.1:1", "--port"}) {
        Outcome r = run(bin("romtide-canbus") + " " + args);
        EXPECT_EQ(r.status, 2) << args << "\n" << r.out;
    }
    Outcome r = run(bin("romtide-canbus") + " --sim-device node=5,iface=nosuch --port 0");
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("no interface nosuch"), std::string::npos) << r.out;
}

// python-can speaks socketcand with code of its own: its requests reach our TCANComm and
// a device, and their answers reach it, through our server.
TEST(CanBusPythonPeer, PythonCanAndTCANCommShareTheBusRequestByAnswer) {
    if (run("/usr/bin/python3 -c 'import can.interfaces.socketcand'").status != 0) {
        GTEST_SKIP() << "python-can with its socketcand interface is not installed for "
                        "/usr/bin/python3 (Debian package python3-can)";
    }
    sim::CanBusServer server({{"vcan0", 1000}});
    sim::SimDeviceConfig device;
    device.node = 5;
    device.kbit = 1000;
    device.name = "PYCAN";
    ASSERT_TRUE(server.addDevice(device, ""));
    std::string error;
    ASSERT_TRUE(server.start(0, &error)) << error;

    SteadyClock clock;
    ui::QueuedEventPump pump;
    test::RecordingMessageBoxes messages;
    Services services{clock, pump, messages};
    TCANComm::resetSharedState();
    TCANComm::setRegistryModulePath({});
    ::setenv("ROMTIDE_CAN_INTERFACE",
             ("socketcand:127.0.0.1:" + std::to_string(server.port()) + "/vcan0").c_str(), 1);
    TCANComm can(services);
    ASSERT_EQ(can.SelectBoard(), 1);
    ::unsetenv("ROMTIDE_CAN_INTERFACE");
    TCANComm::SetBaudIndex(8);
    ASSERT_GT(can.InitCan(0, 0x585), 0);
    std::vector<CanFrameRecord> heard;
    TCANComm::SetReceiveHandler([&](CanFrameRecord r) {
        heard.push_back(r);
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
        "import sys, can\n"
        "bus = can.Bus(interface='socketcand', host='127.0.0.1', port=int(sys.argv[1]),\n"
        "              channel='vcan0')\n"
        "def ask(id, data, answer):\n"
        "    bus.send(can.Message(arbitration_id=id, data=data, is_extended_id=False))\n"
        "    m = bus.recv(5)\n"
        "    while m is not None and m.arbitration_id != answer:\n"
        "        m = bus.recv(5)\n"
        "    print('none' if m is None else '%03X %s' % (m.arbitration_id, m.data.hex()))\n"
        "try:\n"
        "    ask(0x321, [1, 2, 3, 4, 5, 6, 7, 8], 0x322)\n"
        "    ask(0x605, [0x40, 0x00, 0x10, 0, 0, 0, 0, 0], 0x585)\n"
        "finally:\n"
        "    bus.shutdown()\n";
    test::TempDir dir;
    std::string path = dir.file("peer.py");
    { std::ofstream(path) << script; }
    auto python = std::async(std::launch::async, [&] {
        return run("/usr/bin/python3 " + path + " " + std::to_string(server.port()));
    });
    // Our side runs its pump until python is done (bounded by python's own time-outs).
    while (python.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        pump.processPending();
    }
    Outcome r = python.get();
    pump.processPending();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("322 0807060504030201"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("585 43001000"), std::string::npos) << r.out;
    // TCANComm heard python's two requests and the device's answer.
    std::vector<uint32_t> ids;
    for (const auto& f : heard) {
        ids.push_back(uint32_t{f.id});  // a copy: the record is packed
    }
    EXPECT_EQ(ids, (std::vector<uint32_t>{0x321, 0x605, 0x585})) << r.out;
    TCANComm::resetSharedState();
}

}  // namespace
}  // namespace romtide
