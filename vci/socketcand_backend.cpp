// "socketcand:HOST:PORT/IFNAME": a CAN interface of another computer (or of the simulated
// bus server) through the socketcand protocol in rawmode. The bit rate is the server's:
// the protocol has no way to ask for one, so open() takes the interface as it runs.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "vci/linux_backends.h"
#include "vci/socketcand_protocol.h"
#include "vci/vci.h"

namespace romtide::vci {

namespace {

using namespace std::chrono;
namespace sc = socketcand;

// How long each step of connecting and the handshake may take before the server counts
// as not there; and how long a send may wait for room in the socket.
constexpr milliseconds kHandshakeTimeout{3000};
constexpr milliseconds kSendTimeout{1000};

class SocketcandBackend final : public Backend {
  public:
    explicit SocketcandBackend(sc::Endpoint endpoint)
        : endpoint_(std::move(endpoint)),
          name_(endpoint_.host + ":" + std::to_string(endpoint_.port) + "/" + endpoint_.interface) {
    }
    ~SocketcandBackend() override { close(); }

    bool open(uint32_t, FrameSink& sink) override {
        close();
        std::string why;
        int fd = connectTo(&why);
        if (fd < 0) {
            sink.message("socketcand " + name_ + ": " + why);
            return false;
        }
        sc::MessageSplitter splitter;
        std::deque<std::string> early;
        if (!handshake(fd, splitter, early, &why)) {
            ::close(fd);
            sink.message("socketcand " + name_ + ": " + why);
            return false;
        }
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
            ::close(fd);
            sink.message("socketcand " + name_ + ": " + std::strerror(errno));
            return false;
        }
        fd_ = fd;
        sink_ = &sink;
        lost_ = false;
        closing_ = false;
        reader_ = std::thread(
            [this, s = std::move(splitter), e = std::move(early)]() mutable { run(s, e); });
        return true;
    }

    void close() override {
        if (!reader_.joinable()) {
            return;
        }
        closing_ = true;
        char c = 1;
        [[maybe_unused]] auto n = ::write(wake_[1], &c, 1);
        reader_.join();
        std::lock_guard lock(sendMutex_);
        ::close(fd_);
        ::close(wake_[0]);
        ::close(wake_[1]);
        fd_ = -1;
        wake_[0] = wake_[1] = -1;
        sink_ = nullptr;
    }

    bool send(const CanFrame& frame) override {
        std::lock_guard lock(sendMutex_);
        if (fd_ < 0 || lost_) {
            return false;
        }
        std::string line = sc::formatSend(frame);
        if (!writeAll(fd_, line, kSendTimeout)) {
            // The reader sees the shut connection and says so once.
            lost_ = true;
            ::shutdown(fd_, SHUT_RDWR);
            return false;
        }
        return true;
    }

  private:
    int connectTo(std::string* why) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        std::string port = std::to_string(endpoint_.port);
        int rc = ::getaddrinfo(endpoint_.host.c_str(), port.c_str(), &hints, &found);
        if (rc != 0) {
            *why = std::string("host not found: ") + ::gai_strerror(rc);
            return -1;
        }
        int fd = -1;
        *why = "no address";
        for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
            fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          a->ai_protocol);
            if (fd < 0) {
                *why = std::strerror(errno);
                continue;
            }
            if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
                *why = std::string("cannot connect: ") + std::strerror(errno);
                ::close(fd);
                fd = -1;
                continue;
            }
            pollfd p{fd, POLLOUT, 0};
            int err = 0;
            socklen_t len = sizeof err;
            if (::poll(&p, 1, static_cast<int>(kHandshakeTimeout.count())) != 1 ||
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
                *why = err != 0 ? std::string("cannot connect: ") + std::strerror(err)
                                : std::string("no answer to the connection request");
                ::close(fd);
                fd = -1;
            }
        }
        ::freeaddrinfo(found);
        if (fd >= 0) {
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        return fd;
    }

    // Waits for the next message of the peer, at most until `deadline`.
    static bool nextMessage(int fd, sc::MessageSplitter& splitter, std::deque<std::string>& queue,
                            steady_clock::time_point deadline, std::string* message,
                            std::string* why) {
        std::vector<std::string> got;
        while (queue.empty()) {
            auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
                *why = "the server did not answer in time";
                return false;
            }
            char buffer[512];
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                *why = "the server closed the connection";
                return false;
            }
            if (n > 0 && !splitter.feed(buffer, static_cast<size_t>(n), got)) {
                *why = "the server does not speak socketcand (" + splitter.error() + ")";
                return false;
            }
            queue.insert(queue.end(), got.begin(), got.end());
            got.clear();
        }
        *message = std::move(queue.front());
        queue.pop_front();
        return true;
    }

    bool handshake(int fd, sc::MessageSplitter& splitter, std::deque<std::string>& queue,
                   std::string* why) {
        std::string m;
        auto expect = [&](const std::string& step, const std::string& wanted) {
            if (!nextMessage(fd, splitter, queue, steady_clock::now() + kHandshakeTimeout, &m,
                             why)) {
                *why = step + ": " + *why;
                return false;
            }
            if (m != wanted) {
                *why = step + ": the server answered '< " + m + " >'";
                return false;
            }
            return true;
        };
        if (!expect("greeting", "hi")) {
            return false;
        }
        if (!writeAll(fd, "< open " + endpoint_.interface + " >", kHandshakeTimeout)) {
            *why = "the connection broke while opening the interface";
            return false;
        }
        if (!expect("opening interface " + endpoint_.interface, "ok")) {
            return false;
        }
        if (!writeAll(fd, "< rawmode >", kHandshakeTimeout)) {
            *why = "the connection broke while switching to rawmode";
            return false;
        }
        return expect("rawmode", "ok");
    }

    static bool writeAll(int fd, const std::string& text, milliseconds timeout) {
        auto deadline = steady_clock::now() + timeout;
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n =
                ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                return false;
            }
            auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
            pollfd p{fd, POLLOUT, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
                return false;
            }
        }
        return true;
    }

    // The reader thread: frames to the sink, until close() or the connection ends.
    void run(sc::MessageSplitter& splitter, std::deque<std::string>& early) {
        std::vector<std::string> messages(early.begin(), early.end());
        std::vector<CanFrame> frames;
        char buffer[4096];
        for (;;) {
            frames.clear();
            uint32_t stamp = 0;
            for (const auto& m : messages) {
                std::string error;
                auto w = sc::words(m);
                if (!w.empty() && w[0] == "frame") {
                    if (auto f = sc::parseFrame(m, &error)) {
                        frames.push_back(f->frame);
                        stamp = static_cast<uint32_t>(f->timeUs / 100);
                    } else {
                        sink_->exception(kVciError,
                                         "socketcand " + name_ + ": frame dropped, " + error);
                    }
                } else if (!w.empty() && w[0] == "error") {
                    sink_->exception(kVciError, "socketcand " + name_ + ": < " + m + " >");
                }
            }
            messages.clear();
            if (!frames.empty()) {
                sink_->deliver(frames.data(), frames.size(), stamp);
            }
            pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            int r = ::poll(p, 2, -1);
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (closing_ || r < 0 || (p[1].revents & POLLIN) != 0) {
                return;
            }
            ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (n <= 0) {
                connectionLost(n == 0 ? "the server closed the connection"
                                      : std::string(std::strerror(errno)));
                return;
            }
            if (!splitter.feed(buffer, static_cast<size_t>(n), messages)) {
                connectionLost("the server does not speak socketcand (" + splitter.error() +
                               "); connection closed");
                return;
            }
        }
    }

    void connectionLost(const std::string& why) {
        {
            std::lock_guard lock(sendMutex_);
            lost_ = true;
            ::shutdown(fd_, SHUT_RDWR);
        }
        if (!closing_) {
            sink_->exception(kVciNoInterface, "socketcand " + name_ + ": " + why);
            sink_->message("The connection to the CAN interface socketcand:" + name_ +
                           " was lost: " + why + ".");
        }
    }

    sc::Endpoint endpoint_;
    std::string name_;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    FrameSink* sink_ = nullptr;
    std::thread reader_;
    std::mutex sendMutex_;
    std::atomic<bool> lost_{false};
    std::atomic<bool> closing_{false};
};

}  // namespace

std::unique_ptr<Backend> makeSocketcandBackend(const std::string& rest) {
    auto endpoint = socketcand::parseEndpoint(rest);
    if (!endpoint) {
        return nullptr;
    }
    return std::make_unique<SocketcandBackend>(std::move(*endpoint));
}

std::vector<std::string> configuredSocketcandUris() {
    std::vector<std::string> uris;
    const char* text = std::getenv("ROMTIDE_SOCKETCAND");
    if (text == nullptr) {
        return uris;
    }
    std::string all = text;
    size_t i = 0;
    while (i < all.size()) {
        size_t end = all.find_first_of(" ,;\t\n", i);
        if (end == std::string::npos) {
            end = all.size();
        }
        std::string item = all.substr(i, end - i);
        i = end + 1;
        if (item.empty()) {
            continue;
        }
        if (item.rfind("socketcand:", 0) == 0) {
            item = item.substr(11);
        }
        if (socketcand::parseEndpoint(item)) {
            uris.push_back("socketcand:" + item);
        }
    }
    return uris;
}

}  // namespace romtide::vci
