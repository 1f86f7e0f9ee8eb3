// nubox-simd with a DP segment, reached from another process through libnuboxlink.so:
// a station updated through its bootloader, its flash written on SIGTERM; and the
// station descriptions it refuses.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/temp_dir.h"
#include "tests/sim/nubox/dp_client.h"

namespace nubox_sim {
namespace {

using namespace test;

const std::string kSimd = std::string(ROMTIDE_BIN_DIR) + "/nubox-simd";

TEST(SimdSegment, AStationUpdatedFromAnotherProcessIsDumpedOnSigterm) {
    romtide::test::TempDir dir;
    const std::string drivers = dir.file("drivers");
    const std::string dump = dir.file("dump");
    dir.write("registry.reg",
              "REGEDIT4\n\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices]"
              "\n\n"
              "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices"
              "\\0]\n\"PCI-Board\"=dword:00000042\n");
    const std::string image = romtide::test::srecCat(
        "-generate 0x4000 0x4100 -repeat-string 'simd' -address-length=3", dir.file("image.mhx"));

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t simd = fork();
    if (simd == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(out[1], 1);
        close(out[0]);
        execl(kSimd.c_str(), kSimd.c_str(), "--driver-dir", drivers.c_str(), "--board",
              "pci:0:0x42", "--station", "addr=3", "--station", "addr=6,mode=boot", "--sim-dump",
              dump.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char line[16] = {};
    ASSERT_GT(read(out[0], line, sizeof line - 1), 0);
    ASSERT_STREQ(line, "ready\n");
    setenv("NUBOXLINK_DRIVER_DIR", drivers.c_str(), 1);
    setenv("NUBOXLINK_REGISTRY", dir.file("registry.reg").c_str(), 1);

    ASSERT_TRUE(initBoard());
    ASSERT_TRUE(busUp(9));
    Block list = confirm(liveListBlock());
    EXPECT_EQ(std::vector<uint8_t>(list.begin() + 1, list.begin() + 8),
              (std::vector<uint8_t>{7, 1, 0x30, 3, 0x00, 6, 0x00}));
    ASSERT_TRUE(exchangePpo1(6));
    EXPECT_TRUE(download(6, image));

    kill(simd, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(simd, &status, 0), simd);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    close(out[0]);
    const auto cmp = romtide::test::runProgram(std::string(ROMTIDE_SREC_CMP) + " " + image + " " +
                                               dump + "/station-6.srec");
    EXPECT_EQ(cmp.status, 0) << cmp.out;
    EXPECT_TRUE(std::ifstream(dump + "/station-3.srec").good());
    // The endpoint is gone with the daemon.
    EXPECT_NE(access((drivers + "/_nuBoxPCI_Multiboard0").c_str(), F_OK), 0);
}

TEST(SimdSegment, ABadStationIsRefusedWithItsItemNamed) {
    romtide::test::TempDir dir;
    const std::string base = kSimd + " --driver-dir " + dir.file("d") + " ";
    struct Case {
        std::string args;
        std::string named;
    } cases[] = {
        {"--board pci:0:1 --station addr=3,ppo=7", "ppo=7"},
        {"--board pci:0:1 --station addr=1", "address 1"},
        {"--board pci:0:1 --station addr=4 --station addr=4,ppo=2", "address 4"},
        {"--station addr=3 --board pci:0:1", "--station 'addr=3'"},
        {"--board usb:0:1 --station addr=3", "USB"},
    };
    for (const Case& c : cases) {
        const auto run = romtide::test::runProgram(base + c.args);
        EXPECT_EQ(run.status, 2) << c.args;
        EXPECT_NE(run.out.find(c.named), std::string::npos) << c.args << ": " << run.out;
    }
    // Nor is a driver folder left behind that nothing was served from: one refused for
    // its stations, or one whose endpoints' names would be too long.
    const std::string deep = dir.file(std::string(100, 'd'));
    const auto tooLong =
        romtide::test::runProgram(kSimd + " --driver-dir " + deep + " --board pci:0:1");
    EXPECT_EQ(tooLong.status, 1) << tooLong.out;
    EXPECT_NE(tooLong.out.find("too long"), std::string::npos) << tooLong.out;
    for (const std::string& folder : {dir.file("d"), deep}) {
        EXPECT_NE(access(folder.c_str(), F_OK), 0) << folder;
    }
}

}  // namespace
}  // namespace nubox_sim
