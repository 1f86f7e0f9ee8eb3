// The bus server under load: a hundred clients on one bus, one of them sending frames as
// fast as it can, one never reading what it is sent. A well-behaved update on the same
// bus still succeeds and the server's memory stays within its bound.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "app/exit_codes.h"
#include "process_support.h"

namespace romtide {
namespace {

// The server holds at most 256 KiB of frames for each client that does not read and a
// transmit queue of 512 frames for each that sends: for 100 clients about 30 MiB, plus
// the program itself.
constexpr long kServerMemoryBoundKiB = 64 * 1024;
#ifdef __SANITIZE_ADDRESS__
// The sanitizer's shadow memory and its quarantine of freed blocks are no memory of the
// server's own: the bound is checked in the ordinary build only.
constexpr bool kMemoryMeasured = false;
#else
constexpr bool kMemoryMeasured = true;
#endif

// A raw socketcand client in rawmode on vcan0; -1 when the handshake failed.
int rawClient(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    auto expect = [fd](const std::string& text) {
        std::string got;
        char b[256];
        while (got.find(text) == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) {
                return false;
            }
            ssize_t n = ::recv(fd, b, sizeof b, 0);
            if (n <= 0) {
                return false;
            }
            got.append(b, static_cast<size_t>(n));
        }
        return true;
    };
    auto say = [fd](const std::string& text) {
        return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    };
    if (!expect("< hi >") || !say("< open vcan0 >") || !expect("< ok >") || !say("< rawmode >") ||
        !expect("< ok >")) {
        ::close(fd);
        return -1;
    }
    return fd;
}

long peakMemoryKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

TEST(BusServerLoad, AFloodingAndADeafClientLeaveAnUpdateOnTheSameBusWorking) {
    test::TempDir dir;
    std::string image = test::makeImage(dir, "image.mhx", "0x010000 0x010400");
    std::string dump = dir.file("dump");
    uint16_t port = 0;
    auto server = test::startBusServer(
        {"--interface", "vcan0:1000", "--sim-device", "node=5,product=D", "--sim-dump", dump},
        &port);
    ASSERT_NE(port, 0) << server->output;

    std::vector<int> readers;
    for (int i = 0; i < 97; ++i) {
        int fd = rawClient(port);
        ASSERT_GE(fd, 0) << "client " << i;
        readers.push_back(fd);
    }
    int deaf = rawClient(port);
    int flooder = rawClient(port);
    ASSERT_GE(deaf, 0);
    ASSERT_GE(flooder, 0);

    std::atomic<bool> stop{false};
    std::thread reading([&] {
        std::vector<pollfd> fds;
        for (int fd : readers) {
            fds.push_back({fd, POLLIN, 0});
        }
        char b[65536];
        while (!stop) {
            if (::poll(fds.data(), fds.size(), 50) > 0) {
                for (auto& p : fds) {
                    if (p.revents & POLLIN) {
                        [[maybe_unused]] auto n = ::recv(p.fd, b, sizeof b, MSG_DONTWAIT);
                    }
                }
            }
        }
    });
    std::atomic<long> flooded{0};
    std::thread flooding([&] {
        // Frames of the highest priority, as fast as the socket takes them; bounded by
        // the update below, which ends it.
        std::string burst;
        for (int i = 0; i < 64; ++i) {
            burst += "< send 001 8 01 02 03 04 05 06 07 08 >";
        }
        while (!stop) {
            pollfd p{flooder, POLLOUT, 0};
            if (::poll(&p, 1, 50) == 1 &&
                ::send(flooder, burst.data(), burst.size(), MSG_NOSIGNAL | MSG_DONTWAIT) > 0) {
                flooded += 64;
            }
        }
    });

    auto update = test::startBootloader({"update", "--interface",
                                         "socketcand:127.0.0.1:" + std::to_string(port) + "/vcan0",
                                         "--bitrate", "1000", "--node", "5", image});
    int status = update->wait(std::chrono::seconds(240));
    long peak = peakMemoryKiB(server->pid());
    stop = true;
    flooding.join();
    reading.join();

    EXPECT_EQ(status, exitcode::kOk) << update->output;
    EXPECT_NE(update->output.find("Slave 5 - okay"), std::string::npos) << update->output;
    EXPECT_GT(flooded.load(), 100000) << "the flood was no flood";
    EXPECT_GT(peak, 0);
    if (kMemoryMeasured) {
        EXPECT_LT(peak, kServerMemoryBoundKiB) << "server peak memory in KiB";
    }
    std::printf("bus server peak memory: %ld KiB (bound %ld KiB)\n", peak, kServerMemoryBoundKiB);
    for (int fd : readers) {
        ::close(fd);
    }
    ::close(deaf);
    ::close(flooder);
    EXPECT_EQ(server->stop(SIGINT), 0);
    EXPECT_TRUE(test::sameImage(image, dump + "/node-5.srec"));
}

}  // namespace
}  // namespace romtide
