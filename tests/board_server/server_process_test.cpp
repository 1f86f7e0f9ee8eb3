// nubox-board-server as a program: in front of a simulated board of nubox-simd, reached by
// the library from this process; its command line, its start and end, and what a client
// sees when it is killed.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "nuboxlink/interface/library.h"
#include "sim/nubox/in_process_platform.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "tests/board_server/server_support.h"

namespace board_server_test {
namespace {

using romtide::test::ChildProcess;
using romtide::test::TempDir;

std::string bin(const std::string& name) {
    return std::string(ROMTIDE_BIN_DIR) + "/" + name;
}

const char* const kRegistryHead =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices]\n\n";

std::string deviceKey(int device) {
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices\\" +
           std::to_string(device) + "]\n";
}

// A simulated PCI board (id 0x42) as local device 1 of the server's computer.
struct ServedBoard {
    ServedBoard()
        : registry(dir.write("server.reg", std::string(kRegistryHead) + deviceKey(1) +
                                               "\"PCI-Board\"=dword:00000042\n")),
          simd({bin("nubox-simd"), "--driver-dir", dir.file("drivers"), "--board", "pci:0:0x42"}) {}
    std::vector<std::string> env() const {
        return {"NUBOXLINK_DRIVER_DIR=" + dir.file("drivers"), "NUBOXLINK_REGISTRY=" + registry};
    }
    // Starts the server on the first free port base; the remote device number that
    // reaches the board, or -1.
    int startServer(std::vector<std::string> extra = {}) {
        for (int attempt = 0; attempt < 40; ++attempt) {
            const unsigned offset = firstPortOffset();
            std::vector<std::string> args = {bin("nubox-board-server"), "--device", "1",
                                             "--port-base", std::to_string(5000 + offset)};
            args.insert(args.end(), extra.begin(), extra.end());
            server = std::make_unique<ChildProcess>(args, env(), /*withStderr=*/true);
            if (server->waitForLine("ready")) {
                return static_cast<int>(offset) + 1;
            }
            server->stop(SIGTERM);
        }
        return -1;
    }

    TempDir dir;
    std::string registry;
    ChildProcess simd;
    std::unique_ptr<ChildProcess> server;
};

struct Client {
    explicit Client(int remoteDevice) {
        platform.setDevice(
            0, nuboxlink::RegValues{{"RemoteMachine", nuboxlink::RegValue::ofString("127.0.0.1")},
                                    {"RemoteDevice", nuboxlink::RegValue::ofDword(remoteDevice)}});
        configs[0].channels[0].type = NUBOX_CHANNEL_DPEM;
        configs[0].channels[0].parameter = 6000;
    }
    uint8_t init() { return lib.initDll(configs, 1, status, nullptr); }
    // Writes a command and waits up to 2 s for its confirmation; the confirmation's code.
    int confirm(uint8_t code) {
        std::vector<uint8_t> block(256, 0);
        block[0] = code;
        if (lib.dpemWriteCommand(0, 0, block.data()) != 0) {
            return -1;
        }
        uint8_t report[256];
        for (int i = 0; i < 2000; ++i) {
            uint8_t r = lib.dpemGetReport(0, 0, report);
            if (r == 0) {
                return report[0];
            }
            if (r != 7) {
                return -r;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return -7;
    }

    nubox_sim::InProcessPlatform platform{/*virtualTime=*/false};
    nuboxlink::Library lib{platform};
    DeviceConfig configs[16] = {};
    uint8_t status[16] = {};
};

TEST(BoardServerProgram, ServesASimulatedBoardAndSaysWhereItListens) {
    ServedBoard served;
    ASSERT_TRUE(served.simd.waitForLine("ready"));
    const int remoteDevice = served.startServer();
    ASSERT_GE(remoteDevice, 0) << served.server->output;
    EXPECT_NE(
        served.server->output.find("device 1 on 127.0.0.1:" + std::to_string(5000 + remoteDevice)),
        std::string::npos)
        << served.server->output;
    EXPECT_NE(served.server->output.find("loopback"), std::string::npos);

    Client client(remoteDevice);
    ASSERT_EQ(client.init(), 0) << "device status " << int(client.status[0]);
    EXPECT_EQ(client.confirm(0x21), 0xE1);
    EXPECT_EQ(client.confirm(0x22), 0xE2);
    const uint8_t out[4] = {1, 2, 3, 4};
    EXPECT_EQ(client.lib.dpemWriteOutputData(0, 0, out, 10, 4, 3), 0);
    EXPECT_EQ(client.lib.dpemWriteOutputData(0, 0, out, 5998, 4, 3), 5);  // beyond the area
    EXPECT_EQ(client.lib.resetDevice(0, 0), 0);
    EXPECT_EQ(served.server->stop(SIGINT), 0);
}

TEST(BoardServerProgram, AKilledServerMakesEveryLaterRequestAnswer2) {
    ServedBoard served;
    ASSERT_TRUE(served.simd.waitForLine("ready"));
    const int remoteDevice = served.startServer();
    ASSERT_GE(remoteDevice, 0);
    Client client(remoteDevice);
    ASSERT_EQ(client.init(), 0);
    EXPECT_EQ(client.confirm(0x21), 0xE1);
    served.server->stop(SIGKILL);
    uint8_t online = 0;
    EXPECT_EQ(client.lib.dpemStationOnline(0, 0, &online), 2);
    EXPECT_EQ(client.confirm(0x21), -1);
    EXPECT_EQ(client.lib.dpemStationOnline(0, 0, &online), 2);
    EXPECT_EQ(client.lib.resetDevice(0, 0), 0);
}

TEST(BoardServerProgram, BeyondLoopbackItWarnsThatTheGreetingIsNoProtection) {
    ServedBoard served;
    ASSERT_TRUE(served.simd.waitForLine("ready"));
    ASSERT_GE(served.startServer({"--bind", "0.0.0.0"}), 0);
    EXPECT_NE(served.server->output.find("the greeting is no protection"), std::string::npos)
        << served.server->output;
    EXPECT_EQ(served.server->stop(SIGTERM), 0);
}

TEST(BoardServerProgram, RefusesABadCommandLineAndAnUnconfiguredDevice) {
    TempDir dir;
    const std::string registry = dir.write(
        "r.reg", std::string(kRegistryHead) + deviceKey(1) + "\"PCI-Board\"=dword:00000042\n");
    const std::string run = "NUBOXLINK_DRIVER_DIR=" + dir.file("drivers") +
                            " NUBOXLINK_REGISTRY=" + registry + " " + bin("nubox-board-server");
    struct Case {
        std::string args;
        int status;
        const char* says;
    };
    const Case cases[] = {
        {"", 2, "--device is required"},
        {"--device 16", 2, "0-15"},
        {"--device 1 --device 1", 2, "given twice"},
        {"--device 1 --port-base 70000", 2, "--port-base"},
        {"--device 1 --frobnicate 1", 2, "not expected: 1 --frobnicate"},
        {"--device 2", 1, "device 2 is not configured"},
        {"--device 1 --bind board-pc", 1, "cannot use the address"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        auto result = romtide::test::runProgram(run + " " + c.args);
        EXPECT_EQ(result.status, c.status) << result.out;
        EXPECT_NE(result.out.find(c.says), std::string::npos) << result.out;
    }
}

// The whole chain as it stands in the field: the tool on the technician's computer
// updates the stations behind a board that a server on another computer serves.
TEST(BoardServerProgram, TheToolUpdatesTheStationsBehindARemoteBoard) {
    TempDir dir;
    const std::string image = dir.file("app.mhx");
    romtide::test::srecCat(
        "-generate 0x010000 0x010100 -repeat-string Remote -execution-start-address 0x010000",
        image);
    const std::string registry = dir.write(
        "server.reg", std::string(kRegistryHead) + deviceKey(1) + "\"PCI-Board\"=dword:00000042\n");
    ChildProcess simd({bin("nubox-simd"), "--driver-dir", dir.file("drivers"), "--board",
                       "pci:0:0x42", "--station", "addr=3", "--station", "addr=4,ppo=2",
                       "--sim-dump", dir.file("flash")});
    ASSERT_TRUE(simd.waitForLine("ready")) << simd.output;
    std::unique_ptr<ChildProcess> server;
    int remoteDevice = -1;
    for (int attempt = 0; attempt < 40 && remoteDevice < 0; ++attempt) {
        const unsigned offset = firstPortOffset();
        server = std::make_unique<ChildProcess>(
            std::vector<std::string>{bin("nubox-board-server"), "--device", "1", "--port-base",
                                     std::to_string(5000 + offset)},
            std::vector<std::string>{"NUBOXLINK_DRIVER_DIR=" + dir.file("drivers"),
                                     "NUBOXLINK_REGISTRY=" + registry},
            /*withStderr=*/true);
        if (server->waitForLine("ready")) {
            remoteDevice = static_cast<int>(offset) + 1;
        } else {
            server->stop(SIGTERM);
        }
    }
    ASSERT_GE(remoteDevice, 0);
    char device[16];
    std::snprintf(device, sizeof device, "%08x", remoteDevice);
    const std::string client =
        dir.write("client.reg",
                  std::string(kRegistryHead) + deviceKey(0) +
                      "\"RemoteMachine\"=\"127.0.0.1\"\n\"RemoteDevice\"=dword:" + device + "\n");
    auto update =
        romtide::test::runProgram("NUBOXLINK_REGISTRY=" + client + " " + bin("bootloader") +
                                  " profibus update --all --baud 12M " + image);
    EXPECT_EQ(update.status, 0) << update.out;
    EXPECT_NE(update.out.find("Station 3: File is downloaded into Flash."), std::string::npos)
        << update.out;
    EXPECT_NE(update.out.find("Station 4: File is downloaded into Flash."), std::string::npos)
        << update.out;
    EXPECT_EQ(server->stop(SIGTERM), 0);
    EXPECT_EQ(simd.stop(SIGTERM), 0);
    for (const char* station : {"3", "4"}) {
        const std::string dump = dir.file("flash") + "/station-" + station + ".srec";
        EXPECT_EQ(
            romtide::test::runProgram(std::string(ROMTIDE_SREC_CMP) + " " + image + " " + dump)
                .status,
            0)
            << station;
    }
}

}  // namespace
}  // namespace board_server_test
