// The Linux platform against nubox-simd in another process: driver endpoints with the
// DPR passed as shared memory, exclusive opens, flock tokens that die with their
// process, and a driver that goes away under an open board.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "nuboxlink/interface/library.h"
#include "nuboxlink/platform/endpoint_protocol.h"
#include "nuboxlink/platform/linux_platform.h"
#include "support/child_process.h"

namespace nuboxlink {
namespace {

using namespace std::chrono_literals;

class Daemon {
  public:
    Daemon(const std::string& dir, const std::vector<std::string>& boards) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            // Ends with the test, even when the test is killed.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], 1);
            close(out[0]);
            std::vector<std::string> args = {ROMTIDE_BIN_DIR "/nubox-simd", "--driver-dir", dir};
            for (const auto& b : boards) {
                args.push_back("--board");
                args.push_back(b);
            }
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        char line[16] = {};
        ready_ = read(out[0], line, sizeof line - 1) > 0 && std::string(line) == "ready\n";
        close(out[0]);
    }
    ~Daemon() { stop(SIGTERM); }
    bool ready() const { return ready_; }
    int stop(int sig) {
        if (pid_ <= 0) {
            return -1;
        }
        kill(pid_, sig);
        int ws = 0;
        waitpid(pid_, &ws, 0);
        pid_ = -1;
        return ws;
    }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
};

class LinuxPlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Socket paths are short (108 bytes): a short folder name.
        static int counter = 0;
        dir = std::filesystem::temp_directory_path() /
              ("nbx-" + std::to_string(getpid()) + "-" + std::to_string(++counter));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        drivers = (dir / "drivers").string();
        registryPath = (dir / "registry.reg").string();
        platform = std::make_unique<LinuxPlatform>(drivers, registryPath, clock);
    }
    void TearDown() override {
        lib.reset();
        platform.reset();
        std::filesystem::remove_all(dir);
    }
    void configure(unsigned device, uint16_t pciId) {
        FileRegistry(registryPath)
            .replaceDevice(device, RegValues{{"PCI-Board", RegValue::ofDword(pciId)}});
    }
    uint8_t init(uint16_t mask) {
        if (!lib) {
            lib = std::make_unique<Library>(*platform);
        }
        for (auto& c : configs) {
            c.channels[0].type = NUBOX_CHANNEL_DPEM;
            c.channels[0].parameter = 1000;
        }
        return lib->initDll(configs, mask, status, nullptr);
    }
    // Holds a token file in a child process until it is killed.
    pid_t holdTokenInChild(const std::string& token) {
        int ready[2];
        EXPECT_EQ(pipe(ready), 0);
        pid_t pid = fork();
        if (pid == 0) {
            romtide::SteadyClock c;
            LinuxPlatform p(drivers, registryPath, c);
            std::unique_ptr<Token> t;
            char ok = p.claimToken(token, &t) == 0 ? 'y' : 'n';
            [[maybe_unused]] ssize_t n = write(ready[1], &ok, 1);
            pause();
            _exit(0);
        }
        char ok = 0;
        EXPECT_EQ(read(ready[0], &ok, 1), 1);
        EXPECT_EQ(ok, 'y');
        close(ready[0]);
        close(ready[1]);
        return pid;
    }

    std::filesystem::path dir;
    std::string drivers, registryPath;
    romtide::SteadyClock clock;
    std::unique_ptr<LinuxPlatform> platform;
    std::unique_ptr<Library> lib;
    DeviceConfig configs[16] = {};
    uint8_t status[16] = {};
};

TEST_F(LinuxPlatformTest, TokensAreExclusiveAndDieWithTheirProcess) {
    std::unique_ptr<Token> mine;
    ASSERT_EQ(platform->claimToken("talvik_system/_nuBOX_Multiboard3", &mine), 0);
    EXPECT_TRUE(std::filesystem::exists(dir / "drivers/tokens/talvik_system/_nuBOX_Multiboard3"));
    std::unique_ptr<Token> again;
    EXPECT_EQ(platform->claimToken("talvik_system/_nuBOX_Multiboard3", &again), 10);
    mine.reset();
    EXPECT_EQ(platform->claimToken("talvik_system/_nuBOX_Multiboard3", &again), 0);
    again.reset();

    pid_t child = holdTokenInChild("talvik_system/nuBOXpci/DeviceID0042");
    EXPECT_EQ(platform->claimToken("talvik_system/nuBOXpci/DeviceID0042", &mine), 10);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(platform->claimToken("talvik_system/nuBOXpci/DeviceID0042", &mine), 0);
}

TEST_F(LinuxPlatformTest, BoardTokenHeldByAnotherProcessIsReleasedWhenItIsKilled) {
    Daemon daemon(drivers, {"pci:0:0x42"});
    ASSERT_TRUE(daemon.ready());
    configure(0, 0x42);
    pid_t child = holdTokenInChild("talvik_system/nuBOXpci/DeviceID0042");
    EXPECT_EQ(init(1), 2);
    EXPECT_EQ(status[0], 10);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(init(1), 0);
}

TEST_F(LinuxPlatformTest, EndpointsOpenExclusivelyAndAbsentOnesAreNotFound) {
    Daemon daemon(drivers, {"pci:0:0x42"});
    ASSERT_TRUE(daemon.ready());
    OpenResult why;
    auto first = platform->openDriver("_nuBoxPCI_Multiboard0", &why);
    ASSERT_TRUE(first);
    EXPECT_EQ(why, OpenResult::Ok);
    EXPECT_FALSE(platform->openDriver("_nuBoxPCI_Multiboard0", &why));
    EXPECT_EQ(why, OpenResult::SharingViolation);
    EXPECT_FALSE(platform->openDriver("_nuBoxPCI_Multiboard1", &why));
    EXPECT_EQ(why, OpenResult::NotFound);
    uint8_t id[2];
    size_t got = 0;
    ASSERT_TRUE(first->control(0x222088, nullptr, 0, id, sizeof id, &got));
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(id[0], 0x42);
    EXPECT_FALSE(first->control(0x123456, nullptr, 0, nullptr, 0, nullptr));
    Window w;
    ASSERT_TRUE(first->map(0x222010, nullptr, 0, &w));
    EXPECT_EQ(w.size, 16384u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(w.base) + 14, 29),
              "Hurra, hurra, das DPR ist da!");
    first.reset();  // closing gives the board back
    EXPECT_TRUE(platform->openDriver("_nuBoxPCI_Multiboard0", &why));
}

TEST_F(LinuxPlatformTest, HungFirmwareBehindTheDaemonEndsWithStatusThree) {
    Daemon daemon(drivers, {"pci:0:0x42,hang", "pci:1:0x43"});
    ASSERT_TRUE(daemon.ready());
    configure(0, 0x42);
    configure(1, 0x43);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(init(3), 3);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status[0], 3);
    EXPECT_EQ(status[1], 0);
    EXPECT_GE(took, 2400ms);
    EXPECT_LT(took, 4000ms);
}

TEST_F(LinuxPlatformTest, ADriverThatGoesAwayEndsRequestsWithoutHanging) {
    auto daemon = std::make_unique<Daemon>(drivers, std::vector<std::string>{"pci:0:0x42"});
    ASSERT_TRUE(daemon->ready());
    configure(0, 0x42);
    ASSERT_EQ(init(1), 0);
    uint8_t data[4] = {1, 2, 3, 4};
    ASSERT_EQ(lib->dpemWriteOutputData(0, 0, data, 0, 4, 1), 0);
    DeviceInfo info{};
    ASSERT_EQ(lib->getDeviceInfo(0, &info), 0);
    EXPECT_EQ(info.present, 1);
    daemon->stop(SIGKILL);
    // The DPR stays mapped, but nothing behind it answers any more: the board counts as
    // not open, as a pulled card does, instead of answering on stale memory.
    uint8_t out;
    EXPECT_EQ(lib->dpemStationOnline(0, 0, &out), 3);
    EXPECT_EQ(lib->dpemReadInputData(0, 0, data, 0, 4, 1), 3);
    EXPECT_EQ(lib->dpemWriteOutputData(0, 0, data, 0, 4, 1), 3);
    ASSERT_EQ(lib->getDeviceInfo(0, &info), 0);
    EXPECT_EQ(info.present, 0);
    EXPECT_EQ(info.busy, 0);
    // The reset's restart request fails at once instead of waiting for an answer that
    // never comes.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lib->resetDevice(0, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    EXPECT_EQ(lib->dpemStationOnline(0, 0, &out), 3);
}

std::atomic<int> g_linuxCalls{0};
void countCall(uint8_t, uint8_t, uint32_t) {
    ++g_linuxCalls;
}

TEST_F(LinuxPlatformTest, UsbBoxBehindTheDaemonSignalsTheLibrarysEvents) {
    Daemon daemon(drivers, {"usb:0:0x1001"});
    ASSERT_TRUE(daemon.ready());
    FileRegistry(registryPath).replaceDevice(0, RegValues{{"USB-Id", RegValue::ofDword(0x1001)}});
    ASSERT_EQ(init(1), 0);
    g_linuxCalls = 0;
    ASSERT_EQ(lib->watchMailbox(0, 0, countCall, 0, 10), 0);
    std::vector<uint8_t> block(256, 0);
    block[0] = 0x21;
    ASSERT_EQ(lib->dpemWriteCommand(0, 0, block.data()), 0);
    // The box's notify event is an eventfd of ours that the daemon process writes.
    auto end = std::chrono::steady_clock::now() + 3s;
    while (g_linuxCalls == 0 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_GT(g_linuxCalls, 0);
    uint8_t report[256];
    ASSERT_EQ(lib->dpemGetReport(0, 0, report), 0);
    EXPECT_EQ(report[0], 0xE1);
    uint8_t data[4] = {1, 2, 3, 4}, back[4] = {};
    ASSERT_EQ(lib->dpemWriteOutputData(0, 0, data, 10, 4, 1), 0);
    ASSERT_EQ(lib->dpemReadInputData(0, 0, back, 10, 4, 1), 0);
    EXPECT_EQ(back[3], 4);
    EXPECT_EQ(lib->stopWatchThread(0, 0), 0);
}

// A driver endpoint of our own making that answers the open and then misbehaves.
class BadEndpoint {
  public:
    enum class Mode { CloseMidRequest, HugeReply, ShortReply };
    BadEndpoint(const std::string& path, Mode mode) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(listener_, 1), 0);
        thread_ = std::thread([this, mode] {
            int fd = accept(listener_, nullptr, nullptr);
            endpoint::RequestHeader h{};
            endpoint::ReplyHeader ok{endpoint::kOk, {}, 0};
            if (fd < 0 || !endpoint::recvAll(fd, &h, sizeof h, 2000) ||
                !endpoint::sendAll(fd, &ok, sizeof ok)) {
                return;
            }
            if (endpoint::recvAll(fd, &h, sizeof h, 2000)) {
                if (mode == Mode::HugeReply) {
                    endpoint::ReplyHeader huge{endpoint::kOk, {}, 1u << 30};
                    endpoint::sendAll(fd, &huge, sizeof huge);
                } else if (mode == Mode::ShortReply) {
                    endpoint::ReplyHeader some{endpoint::kOk, {}, 8};
                    endpoint::sendAll(fd, &some, sizeof some);
                    endpoint::sendAll(fd, "abc", 3);  // and then nothing more
                }
            }
            close(fd);  // in the middle of the exchange
        });
    }
    ~BadEndpoint() {
        thread_.join();
        close(listener_);
    }

  private:
    int listener_ = -1;
    std::thread thread_;
};

TEST_F(LinuxPlatformTest, AnEndpointThatBreaksOffFailsTheRequestAtOnce) {
    for (auto mode : {BadEndpoint::Mode::CloseMidRequest, BadEndpoint::Mode::HugeReply,
                      BadEndpoint::Mode::ShortReply}) {
        const std::string name = "_nuBoxPCI_Multiboard" + std::to_string(static_cast<int>(mode));
        BadEndpoint bad(drivers + "/" + name, mode);
        OpenResult why;
        auto handle = platform->openDriver(name, &why);
        ASSERT_TRUE(handle);
        uint8_t out[16];
        size_t got = 0;
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(handle->control(0x222088, nullptr, 0, out, sizeof out, &got));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
        handle.reset();
    }
}

TEST_F(LinuxPlatformTest, DaemonRemovesItsEndpointsOnSigint) {
    Daemon daemon(drivers, {"isa:2:dpr=32768", "card:0:3"});
    ASSERT_TRUE(daemon.ready());
    EXPECT_TRUE(std::filesystem::exists(dir / "drivers/_nuBOX_Multiboard2"));
    EXPECT_TRUE(std::filesystem::exists(dir / "drivers/_nuBOX_Card0"));
    int ws = daemon.stop(SIGINT);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    EXPECT_FALSE(std::filesystem::exists(dir / "drivers/_nuBOX_Multiboard2"));
}

TEST_F(LinuxPlatformTest, ASecondDaemonLeavesTheFirstsEndpointsAlone) {
    const std::string simd = ROMTIDE_BIN_DIR "/nubox-simd";
    const std::filesystem::path endpoint = dir / "drivers/_nuBoxPCI_Multiboard0";
    Daemon first(drivers, {"pci:0:0x42"});
    ASSERT_TRUE(first.ready());
    romtide::test::ChildProcess second({simd, "--driver-dir", drivers, "--board", "pci:0:0x42"},
                                       romtide::test::ChildProcess::Output::Joined);
    EXPECT_EQ(second.wait(), 1);
    EXPECT_NE(second.output.find(endpoint.string() + " is served by another driver"),
              std::string::npos)
        << second.output;
    // The first still serves the board.
    configure(0, 0x42);
    EXPECT_EQ(init(1), 0);
    lib.reset();

    // Its endpoint gone (removed by hand), a second driver serves the name; the first,
    // when it ends, removes only what is still its own.
    std::filesystem::remove(endpoint);
    Daemon next(drivers, {"pci:0:0x42"});
    ASSERT_TRUE(next.ready());
    const int ws = first.stop(SIGTERM);
    EXPECT_TRUE(WIFEXITED(ws) && WEXITSTATUS(ws) == 0);
    EXPECT_TRUE(std::filesystem::exists(endpoint));
    EXPECT_EQ(init(1), 0);
}

TEST_F(LinuxPlatformTest, TheDaemonSaysWhenItsDriverFolderIsNotAFolderOrIsReadOnly) {
    const std::string simd = ROMTIDE_BIN_DIR "/nubox-simd";
    std::string file = (dir / "plain").string();
    std::ofstream(file) << "x";
    romtide::test::ChildProcess notFolder({simd, "--driver-dir", file, "--board", "pci:0:0x42"},
                                          romtide::test::ChildProcess::Output::Joined);
    EXPECT_EQ(notFolder.wait(), 1);
    EXPECT_NE(notFolder.output.find("driver folder " + file + " is not a folder"),
              std::string::npos)
        << notFolder.output;

    // A folder that cannot be written, holding an endpoint left by a driver that ended.
    std::filesystem::create_directories(drivers);
    int stale = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string endpoint = drivers + "/_nuBoxPCI_Multiboard0";
    std::strncpy(addr.sun_path, endpoint.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(stale);
    std::filesystem::permissions(
        drivers, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec |
                     std::filesystem::perms::others_read | std::filesystem::perms::others_exec);
    std::vector<std::string> argv{simd, "--driver-dir", drivers, "--board", "pci:0:0x42"};
    if (geteuid() == 0) {
        // Permissions do not bind the superuser: the driver runs as nobody.
        if (access("/usr/bin/setpriv", X_OK) != 0) {
            GTEST_SKIP() << "running as root without setpriv: cannot make a folder read-only";
        }
        argv.insert(argv.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    romtide::test::ChildProcess readOnly(argv, romtide::test::ChildProcess::Output::Joined);
    EXPECT_EQ(readOnly.wait(), 1);
    EXPECT_NE(readOnly.output.find("driver folder " + drivers + " is read-only"), std::string::npos)
        << readOnly.output;
    EXPECT_EQ(readOnly.output.find("already in use"), std::string::npos) << readOnly.output;
    std::filesystem::permissions(drivers, std::filesystem::perms::owner_all);
}

}  // namespace
}  // namespace nuboxlink
