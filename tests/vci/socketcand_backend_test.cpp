// The socketcand client backend against a scripted peer on loopback: the handshake and
// frames however TCP cuts them, and every way a peer can misbehave (garbage, a frame of
// nine bytes, overlong messages, a half message and silence, closing at any step), which
// must end in a clear failure and never in a hang or an unbounded buffer.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vci/linux_backends.h"

namespace romtide::vci {
namespace {

using namespace std::chrono_literals;

// One connection on a free loopback port, served by a script on its own thread.
class ScriptedPeer {
  public:
    using Script = std::function<void(ScriptedPeer&)>;
    explicit ScriptedPeer(Script script) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(listen_, 1), 0);
        socklen_t n = sizeof a;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this, script] {
            pollfd p{listen_, POLLIN, 0};
            if (::poll(&p, 1, 10000) != 1) {
                return;
            }
            fd = ::accept(listen_, nullptr, nullptr);
            script(*this);
        });
    }
    ~ScriptedPeer() {
        thread_.join();
        hangUp();
        ::close(listen_);
    }
    std::string uri() const { return "127.0.0.1:" + std::to_string(port) + "/vcan0"; }

    void write(const std::string& text) {
        ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
    }
    // Byte by byte, as the slowest network would hand them over.
    void trickle(const std::string& text) {
        for (char c : text) {
            ASSERT_EQ(::send(fd, &c, 1, MSG_NOSIGNAL), 1);
            std::this_thread::sleep_for(1ms);
        }
    }
    // Reads until `text` has come (or 5 s passed); true if it came.
    bool expect(const std::string& text) {
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (received.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) == 1) {
                char b[512];
                ssize_t n = ::recv(fd, b, sizeof b, 0);
                if (n <= 0) {
                    return false;
                }
                received.append(b, static_cast<size_t>(n));
            }
        }
        received.erase(0, received.find(text) + text.size());
        return true;
    }
    void handshake() {
        write("< hi >");
        ASSERT_TRUE(expect("< open vcan0 >"));
        write("< ok >");
        ASSERT_TRUE(expect("< rawmode >"));
    }
    void hangUp() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    uint16_t port = 0;
    int fd = -1;
    std::string received;

  private:
    int listen_ = -1;
    std::thread thread_;
};

struct Recorder : FrameSink {
    void deliver(const CanFrame* frames, size_t count, uint32_t) override {
        std::lock_guard lock(mutex);
        deliveries.emplace_back(frames, frames + count);
        changed.notify_all();
    }
    void message(const std::string& text) override {
        std::lock_guard lock(mutex);
        messages.push_back(text);
        changed.notify_all();
    }
    void exception(int32_t, const std::string& text) override {
        std::lock_guard lock(mutex);
        exceptions.push_back(text);
        changed.notify_all();
    }
    template <typename Pred>
    bool waitFor(Pred pred) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, pred);
    }
    size_t frames() {
        size_t n = 0;
        for (auto& d : deliveries) {
            n += d.size();
        }
        return n;
    }
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<CanFrame>> deliveries;
    std::vector<std::string> messages;
    std::vector<std::string> exceptions;
};

CanFrame frameOf(uint32_t id, std::vector<uint8_t> bytes) {
    CanFrame f;
    f.id = id;
    f.length = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), f.data);
    return f;
}

TEST(SocketcandClient, TrickledHandshakeAndJoinedFramesAreReadAndSendsGoOutWhole) {
    ScriptedPeer peer([](ScriptedPeer& p) {
        p.trickle("< hi >");
        ASSERT_TRUE(p.expect("< open vcan0 >"));
        p.trickle("< ok >");
        ASSERT_TRUE(p.expect("< rawmode >"));
        // The rawmode answer and the first frames in one segment.
        p.write("< ok >< frame 585 1.000100 4300100092010000 >< frame 7E5 1.000200 >");
        ASSERT_TRUE(p.expect("< send 605 3 40 00 10 >"));
        p.trickle("< frame 586 2.5 01 >");
        ASSERT_TRUE(p.expect("< send 000 0 >"));
    });
    Recorder sink;  // outlives the backend that delivers into it
    auto backend = makeSocketcandBackend(peer.uri());
    ASSERT_TRUE(backend);
    ASSERT_TRUE(backend->open(125000, sink));
    ASSERT_TRUE(sink.waitFor([&] { return sink.frames() >= 2; }));
    EXPECT_TRUE(backend->send(frameOf(0x605, {0x40, 0x00, 0x10})));
    ASSERT_TRUE(sink.waitFor([&] { return sink.frames() >= 3; }));
    EXPECT_TRUE(backend->send(frameOf(0x000, {})));
    {
        std::lock_guard lock(sink.mutex);
        // The joined frames reach the sink together, in order.
        ASSERT_EQ(sink.deliveries[0].size(), 2u);
        EXPECT_EQ(sink.deliveries[0][0].id, 0x585u);
        EXPECT_EQ(sink.deliveries[0][0].length, 8);
        EXPECT_EQ(sink.deliveries[0][0].data[4], 0x92);
        EXPECT_EQ(sink.deliveries[0][1].id, 0x7E5u);
        EXPECT_EQ(sink.deliveries[0][1].length, 0);
        EXPECT_EQ(sink.deliveries.back().back().id, 0x586u);
        EXPECT_TRUE(sink.messages.empty());
    }
    backend->close();
}

TEST(SocketcandClient, BadFramesAreDroppedAndReportedWhileGoodOnesStillArrive) {
    ScriptedPeer peer([](ScriptedPeer& p) {
        p.handshake();
        p.write("< ok >");
        p.write(
            "< frame 123 1.0 010203040506070809 >< frame 1FFFFFFF 1.0 11 >"
            "< error bus is gone >< frame 124 1.0 AA >");
        p.expect("never");  // stays until the client goes
    });
    Recorder sink;  // outlives the backend that delivers into it
    auto backend = makeSocketcandBackend(peer.uri());
    ASSERT_TRUE(backend->open(125000, sink));
    ASSERT_TRUE(sink.waitFor([&] { return sink.frames() >= 1 && sink.exceptions.size() >= 3; }));
    std::lock_guard lock(sink.mutex);
    ASSERT_EQ(sink.frames(), 1u);
    EXPECT_EQ(sink.deliveries[0][0].id, 0x124u);
    EXPECT_NE(sink.exceptions[0].find("18 hex digits"), std::string::npos) << sink.exceptions[0];
    EXPECT_NE(sink.exceptions[1].find("extended"), std::string::npos) << sink.exceptions[1];
    EXPECT_NE(sink.exceptions[2].find("bus is gone"), std::string::npos) << sink.exceptions[2];
}

TEST(SocketcandClient, APeerThatMisbehavesInTheHandshakeFailsTheOpenWithAReason) {
    struct Case {
        const char* name;
        ScriptedPeer::Script script;
        const char* reason;
    };
    const std::vector<Case> cases = {
        {"garbage", [](ScriptedPeer& p) { p.write("HTTP/1.0 200 OK\r\n"); },
         "does not speak socketcand"},
        {"closes at once", [](ScriptedPeer& p) { p.hangUp(); }, "closed the connection"},
        {"closes after the greeting",
         [](ScriptedPeer& p) {
             p.write("< hi >");
             p.expect("< open vcan0 >");
             p.hangUp();
         },
         "closed the connection"},
        {"refuses the interface",
         [](ScriptedPeer& p) {
             p.write("< hi >");
             p.expect("< open vcan0 >");
             p.write("< error could not open bus >");
         },
         "could not open bus"},
        {"closes before rawmode is confirmed",
         [](ScriptedPeer& p) {
             p.handshake();
             p.hangUp();
         },
         "rawmode"},
        {"overlong greeting",
         [](ScriptedPeer& p) { p.write("< " + std::string(1000, 'h') + " >"); }, "longer"},
    };
    for (const auto& c : cases) {
        ScriptedPeer peer(c.script);
        Recorder sink;  // outlives the backend that delivers into it
        auto backend = makeSocketcandBackend(peer.uri());
        EXPECT_FALSE(backend->open(125000, sink)) << c.name;
        ASSERT_EQ(sink.messages.size(), 1u) << c.name;
        EXPECT_NE(sink.messages[0].find(c.reason), std::string::npos)
            << c.name << ": " << sink.messages[0];
        EXPECT_FALSE(backend->send(frameOf(0x605, {1}))) << c.name;
    }
}

TEST(SocketcandClient, AHalfMessageAndThenSilenceEndsTheOpenAfterItsTimeOut) {
    ScriptedPeer peer([](ScriptedPeer& p) {
        p.write("< h");
        p.expect("never");  // silent until the client gives up and closes
    });
    Recorder sink;  // outlives the backend that delivers into it
    auto backend = makeSocketcandBackend(peer.uri());
    EXPECT_FALSE(backend->open(125000, sink));
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_NE(sink.messages[0].find("did not answer in time"), std::string::npos)
        << sink.messages[0];
}

TEST(SocketcandClient, AConnectionThatDropsEndsInFailedSendsAndOneMessage) {
    std::mutex m;
    std::condition_variable cv;
    bool released = false;
    ScriptedPeer peer([&](ScriptedPeer& p) {
        p.handshake();
        p.write("< ok >< frame 123 1.0 01 >");
        p.hangUp();
        std::unique_lock lock(m);
        cv.wait_for(lock, 5s, [&] { return released; });
    });
    Recorder sink;  // outlives the backend that delivers into it
    auto backend = makeSocketcandBackend(peer.uri());
    ASSERT_TRUE(backend->open(125000, sink));
    ASSERT_TRUE(sink.waitFor([&] { return !sink.messages.empty(); }));
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(backend->send(frameOf(0x605, {1, 2})));
    }
    backend->close();
    {
        std::lock_guard lock(m);
        released = true;
    }
    cv.notify_all();
    std::lock_guard lock(sink.mutex);
    EXPECT_EQ(sink.frames(), 1u);
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_NE(sink.messages[0].find("was lost"), std::string::npos) << sink.messages[0];
}

TEST(SocketcandClient, NothingListeningIsAFailedOpenNotAHang) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    uint16_t port = ntohs(a.sin_port);
    ::close(s);  // a port that was free a moment ago and has no listener
    auto backend = makeSocketcandBackend("127.0.0.1:" + std::to_string(port) + "/vcan0");
    Recorder sink;
    EXPECT_FALSE(backend->open(125000, sink));
    ASSERT_EQ(sink.messages.size(), 1u);
    EXPECT_NE(sink.messages[0].find("cannot connect"), std::string::npos) << sink.messages[0];
    EXPECT_FALSE(makeSocketcandBackend("no-interface-here"));
}

// Without kernel CAN support (as on the build machines) the backend still builds and
// says why it cannot open; with it, an interface that is not there is refused by name.
TEST(SocketCan, AnInterfaceThatCannotBeOpenedIsRefusedWithItsReason) {
    auto backend = makeSocketCanBackend("romtidecan9");
    ASSERT_TRUE(backend);
    Recorder sink;
    EXPECT_FALSE(backend->open(125000, sink));
    ASSERT_EQ(sink.messages.size(), 1u);
    if (auto reason = socketCanUnavailableReason()) {
        EXPECT_NE(sink.messages[0].find("no CAN support"), std::string::npos) << sink.messages[0];
    } else {
        EXPECT_NE(sink.messages[0].find("does not exist"), std::string::npos) << sink.messages[0];
    }
    EXPECT_FALSE(backend->send(frameOf(0x605, {1})));
    EXPECT_FALSE(makeSocketCanBackend(""));
    EXPECT_FALSE(makeSocketCanBackend("a-name-longer-than-ifnamsiz"));
}

}  // namespace
}  // namespace romtide::vci
