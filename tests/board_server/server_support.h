// Helpers of the board server tests: a server on a port base the library can reach
// (5000 + a remote device number) that no other test run holds at the moment, and a
// client that speaks the greeting.
#pragma once

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "board_server/board_server.h"
#include "nuboxlink/remote/remote_protocol.h"
#include "support/raw_client.h"

namespace board_server_test {

namespace remote = nuboxlink::remote;

// Port bases 5000 + k for k below this leave room for device numbers 0–15 within the
// remote device number's byte.
constexpr unsigned kPortOffsets = 224;

// A first offset that differs between test processes running at the same time.
inline unsigned firstPortOffset() {
    static std::atomic<unsigned> next{static_cast<unsigned>(
        (getpid() * 37 + std::chrono::steady_clock::now().time_since_epoch().count()) %
        kPortOffsets)};
    return next.fetch_add(17) % kPortOffsets;
}

struct LogLines {
    void operator()(const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    }
    bool contains(const std::string& text) {
        std::lock_guard lock(mutex);
        for (const auto& l : lines) {
            if (l.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

// A server in this process over `board`, started on the first free port base.
struct ServerRig {
    explicit ServerRig(board_server::BoardAccess& board, std::vector<uint8_t> devices = {0},
                       int limitMs = 200) {
        for (unsigned attempt = 0; attempt < 40 && !server; ++attempt) {
            board_server::ServerOptions options;
            options.devices = devices;
            options.portBase = remote::kPortBase + firstPortOffset();
            options.requestLimitMs = limitMs;
            options.greetingLimitMs = limitMs;
            auto s = std::make_unique<board_server::BoardServer>(
                board, clock, options, [this](const std::string& l) { log(l); });
            std::string error;
            if (s->start(&error)) {
                server = std::move(s);
                portBase = options.portBase;
            }
        }
    }
    uint16_t port(uint8_t device) const { return static_cast<uint16_t>(portBase + device); }
    // The remote device number under which the library reaches `device`.
    uint32_t remoteDevice(uint8_t device) const { return portBase - remote::kPortBase + device; }

    romtide::SteadyClock clock;
    LogLines log;
    std::unique_ptr<board_server::BoardServer> server;
    unsigned portBase = 0;
};

inline std::string bytes(std::initializer_list<uint8_t> list) {
    return std::string(list.begin(), list.end());
}

// Reads the greeting and answers it (wrongly when asked); false when no greeting came.
inline bool greet(romtide::test::RawClient& client, bool wrongly = false) {
    const std::string greeting = client.readExactly(remote::kGreetingSize);
    if (greeting.size() != remote::kGreetingSize || greeting[0] != remote::kHello) {
        return false;
    }
    uint64_t challenge = remote::getLe(reinterpret_cast<const uint8_t*>(greeting.data()) + 1, 8);
    uint8_t answer[remote::kAnswerSize];
    remote::putLe(answer, remote::greetingAnswer(challenge) + (wrongly ? 1 : 0), sizeof answer);
    client.write(std::string(answer, answer + sizeof answer));
    return true;
}

}  // namespace board_server_test
