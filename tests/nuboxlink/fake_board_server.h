// A scripted board server at the far end of a fake connection, on virtual time: the
// library's real remote board code runs against it, and the test decides what the server
// greets with, how it answers each request (in pieces, late, never) and when it dies.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "nuboxlink/interface/registry.h"
#include "nuboxlink/platform/platform.h"
#include "nuboxlink/remote/remote_protocol.h"

namespace nuboxlink_test {

namespace remote = nuboxlink::remote;
using Io = nuboxlink::StreamSocket::Io;

class FakeServer {
  public:
    // Bytes the server sends, `delayMs` after the request (or the connection).
    struct Piece {
        int64_t delayMs = 0;
        std::vector<uint8_t> bytes;
    };
    using Answer = std::function<std::vector<Piece>(const std::vector<uint8_t>& request)>;

    static constexpr uint64_t kChallenge = 0x0123456789ABCDEFull;

    explicit FakeServer(romtide::VirtualClock& clock) : clock_(clock) {
        greeting = {Piece{0, greetingBytes(kChallenge)}};
    }

    static std::vector<uint8_t> greetingBytes(uint64_t challenge) {
        std::vector<uint8_t> g(remote::kGreetingSize, 0);
        g[0] = remote::kHello;
        remote::putLe(g.data() + 1, challenge, 8);
        return g;
    }
    // A whole reply at once: the status byte and the payload the request implies, its
    // bytes from `fill` (or zeros).
    static std::vector<Piece> reply(const std::vector<uint8_t>& request, uint8_t status,
                                    std::function<uint8_t(size_t)> fill = nullptr) {
        std::vector<uint8_t> bytes(1 + remote::replyPayloadLength(request.data()), 0);
        bytes[0] = status;
        for (size_t i = 1; fill && i < bytes.size(); ++i) {
            bytes[i] = fill(i - 1);
        }
        return {Piece{0, bytes}};
    }

    // --- the script (set before the library connects)
    std::vector<Piece> greeting;
    bool refuse = false;  // the connection is refused
    bool hang = false;    // the connection is never made
    Answer answer = [](const std::vector<uint8_t>& r) { return reply(r, 0); };
    // The server dies when this many requests have arrived (0: never), without
    // answering the last.
    size_t dieAtRequest = 0;
    // Runs on the connecting thread before the connection is made (a test holds a
    // connection in the making there).
    std::function<void()> onConnect;

    // While stalled, a receive with nothing to take waits without the clock moving, as
    // a thread blocked in a real socket does, until the connection is shut down.
    void stall(bool on) {
        {
            std::lock_guard lock(mutex_);
            stalled_ = on;
        }
        changed_.notify_all();
    }

    // --- what happened
    std::string host;
    uint16_t port = 0;
    int connections = 0;
    std::vector<uint8_t> answerBytes;            // the library's answer to the greeting
    std::vector<std::vector<uint8_t>> requests;  // every complete request, in order

    size_t requestCount() {
        std::lock_guard lock(mutex_);
        return requests.size();
    }
    std::vector<uint8_t> lastRequest() {
        std::lock_guard lock(mutex_);
        return requests.empty() ? std::vector<uint8_t>{} : requests.back();
    }

    std::unique_ptr<nuboxlink::StreamSocket> connect(const std::string& h, uint16_t p,
                                                     int timeoutMs, Io* why);

  private:
    class Connection;
    friend class Connection;

    void deliver(const std::vector<Piece>& pieces) {
        for (const Piece& p : pieces) {
            outbound_.push_back({clock_.nowMs() + p.delayMs, p.bytes});
        }
    }
    void received(const uint8_t* data, size_t n) {
        std::lock_guard lock(mutex_);
        inbound_.insert(inbound_.end(), data, data + n);
        while (answerBytes.size() < remote::kAnswerSize && !inbound_.empty()) {
            answerBytes.push_back(inbound_.front());
            inbound_.erase(inbound_.begin());
        }
        for (;;) {
            auto size = remote::requestSize(inbound_.data(), inbound_.size());
            if (size.state != remote::RequestSize::Complete) {
                return;
            }
            std::vector<uint8_t> request(inbound_.begin(), inbound_.begin() + size.size);
            inbound_.erase(inbound_.begin(), inbound_.begin() + size.size);
            requests.push_back(request);
            if (dieAtRequest && requests.size() >= dieAtRequest) {
                dead_ = true;
                return;
            }
            deliver(answer(request));
        }
    }

    struct Due {
        int64_t atMs;
        std::vector<uint8_t> bytes;
    };
    romtide::VirtualClock& clock_;
    std::mutex mutex_;
    std::vector<uint8_t> inbound_;
    std::deque<Due> outbound_;
    bool dead_ = false;
    bool stalled_ = false;
    std::condition_variable changed_;  // shut-downs and stall changes
};

class FakeServer::Connection final : public nuboxlink::StreamSocket {
  public:
    explicit Connection(FakeServer& server) : server_(server) {}

    Io send(const uint8_t* data, size_t n, int) override {
        {
            std::lock_guard lock(server_.mutex_);
            if (shut_ || server_.dead_) {
                return Io::Failed;
            }
        }
        server_.received(data, n);
        return Io::Ok;
    }
    Io receive(uint8_t* dst, size_t capacity, int timeoutMs, size_t* got) override {
        *got = 0;
        const int64_t deadline = server_.clock_.nowMs() + timeoutMs;
        for (;;) {
            {
                std::unique_lock lock(server_.mutex_);
                if (shut_) {
                    return Io::Closed;
                }
                auto& out = server_.outbound_;
                if (!out.empty() && out.front().atMs <= server_.clock_.nowMs()) {
                    auto& front = out.front().bytes;
                    const size_t n = std::min(capacity, front.size());
                    std::copy(front.begin(), front.begin() + n, dst);
                    front.erase(front.begin(), front.begin() + n);
                    if (front.empty()) {
                        out.pop_front();
                    }
                    *got = n;
                    return Io::Ok;
                }
                if (server_.dead_ && out.empty()) {
                    return Io::Closed;
                }
                if (server_.stalled_) {
                    server_.changed_.wait(lock);
                    continue;
                }
            }
            if (server_.clock_.nowMs() >= deadline) {
                return Io::TimedOut;
            }
            server_.clock_.sleepMs(1);
        }
    }
    bool pending() override {
        std::lock_guard lock(server_.mutex_);
        return shut_ || server_.dead_ ||
               (!server_.outbound_.empty() &&
                server_.outbound_.front().atMs <= server_.clock_.nowMs());
    }
    void shutdown() override {
        std::lock_guard lock(server_.mutex_);
        shut_ = true;
        server_.changed_.notify_all();
    }

  private:
    FakeServer& server_;
    bool shut_ = false;  // under the server's mutex
};

inline std::unique_ptr<nuboxlink::StreamSocket> FakeServer::connect(const std::string& h,
                                                                    uint16_t p, int timeoutMs,
                                                                    Io* why) {
    if (onConnect) {
        onConnect();
    }
    {
        std::lock_guard lock(mutex_);
        host = h;
        port = p;
        ++connections;
        if (refuse) {
            *why = Io::Failed;
            return nullptr;
        }
    }
    if (hang) {
        clock_.sleepMs(timeoutMs);
        *why = Io::TimedOut;
        return nullptr;
    }
    std::lock_guard lock(mutex_);
    dead_ = false;
    answerBytes.clear();
    inbound_.clear();
    outbound_.clear();
    deliver(greeting);
    *why = Io::Ok;
    return std::make_unique<Connection>(*this);
}

// A platform with no local boards whose TCP connections reach the fake server.
class RemotePlatform final : public nuboxlink::Platform {
  public:
    RemotePlatform() : server(clock_) {}

    romtide::Clock& clock() override { return clock_; }
    nuboxlink::Generation generation() const override { return nuboxlink::Generation::DriverLate; }
    std::unique_ptr<nuboxlink::DriverHandle> openDriver(std::string_view,
                                                        nuboxlink::OpenResult* why) override {
        *why = nuboxlink::OpenResult::NotFound;
        return nullptr;
    }
    uint8_t claimToken(const std::string&, std::unique_ptr<nuboxlink::Token>*) override {
        return 0;
    }
    nuboxlink::RegistryStore& registry() override { return registry_; }
    std::vector<uint8_t> firmwareImage(uint8_t) override { return {}; }
    std::unique_ptr<nuboxlink::StreamSocket> connectTcp(const std::string& host, uint16_t port,
                                                        int timeoutMs, Io* why) override {
        return server.connect(host, port, timeoutMs, why);
    }

    romtide::VirtualClock& virtualClock() { return clock_; }
    void setRemote(unsigned device, const std::string& host, uint32_t remoteDevice) {
        registry_.replaceDevice(
            device,
            nuboxlink::RegValues{{"RemoteMachine", nuboxlink::RegValue::ofString(host)},
                                 {"RemoteDevice", nuboxlink::RegValue::ofDword(remoteDevice)}});
    }

  private:
    romtide::VirtualClock clock_;
    nuboxlink::MemoryRegistry registry_;

  public:
    FakeServer server;
};

}  // namespace nuboxlink_test
