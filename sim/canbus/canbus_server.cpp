#include "sim/canbus/canbus_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/can/sim_device_option.h"
#include "vci/socketcand_protocol.h"

namespace romtide::sim {

namespace sc = vci::socketcand;

struct CanBusServer::Client final : vci::VirtualBusNode {
    enum class State { Greeted, Opened, Raw };

    explicit Client(CanBusServer& s, int f) : server(s), fd(f) {}

    // On the simulation's thread: queue the frame for the poll loop to write.
    void onFrame(const vci::CanFrame& frame, int64_t timeUs) override {
        {
            std::lock_guard lock(mutex);
            if (backlog.size() >= kMaxClientBacklog) {
                ++dropped;
                return;
            }
            backlog += sc::formatFrame(frame, timeUs + wallOffsetUs);
        }
        server.wake();
    }

    CanBusServer& server;
    int fd;
    State state = State::Greeted;
    sc::MessageSplitter splitter;
    SimBus* bus = nullptr;
    int node = -1;
    int64_t wallOffsetUs = 0;

    std::mutex mutex;  // backlog, dropped
    std::string backlog;
    uint64_t dropped = 0;
};

bool parseBusInterface(const std::string& text, BusInterface* out) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon > 64) {
        return false;
    }
    std::string name = text.substr(0, colon);
    if (name.find_first_of(" \t<>/") != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    long kbit = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (end == text.c_str() + colon + 1 || *end != '\0' || !isCanKbit(static_cast<int>(kbit))) {
        return false;
    }
    out->name = name;
    out->kbit = static_cast<int>(kbit);
    return true;
}

CanBusServer::CanBusServer(std::vector<BusInterface> interfaces)
    : interfaces_(std::move(interfaces)) {
    if (interfaces_.empty()) {
        interfaces_.push_back({"vcan0", 125});
    }
    for (const auto& i : interfaces_) {
        if (buses_.count(i.name) == 0) {
            buses_[i.name] = std::make_unique<SimBus>(scheduler_, i.name);
        }
    }
}

CanBusServer::~CanBusServer() {
    stop();
    devices_.clear();
    buses_.clear();
}

SimBus* CanBusServer::bus(const std::string& iface) {
    auto it = buses_.find(iface.empty() ? interfaces_.front().name : iface);
    return it == buses_.end() ? nullptr : it->second.get();
}

bool CanBusServer::addDevice(SimDeviceConfig config, const std::string& iface) {
    SimBus* b = bus(iface);
    if (b == nullptr) {
        return false;
    }
    devices_.push_back(std::make_unique<SimCanDevice>(*b, std::move(config)));
    return true;
}

bool CanBusServer::start(uint16_t port, std::string* error) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listenFd_ < 0 || wakeFd_ < 0) {
        *error = std::strerror(errno);
        return false;
    }
    int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    // Loopback only: the simulated bus is for this machine's programs.
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 16) != 0) {
        *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
    return true;
}

void CanBusServer::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        wake();
        thread_.join();
    }
    {
        std::lock_guard lock(clientsMutex_);
        for (auto& c : clients_) {
            closeClient(*c);
        }
        clients_.clear();
    }
    // Nothing runs on the devices and buses from here on.
    scheduler_.stop();
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
    if (wakeFd_ >= 0) {
        ::close(wakeFd_);
        wakeFd_ = -1;
    }
}

uint64_t CanBusServer::droppedFrames() const {
    uint64_t dropped = 0;
    for (const auto& [name, bus] : buses_) {
        dropped += bus->stats().dropped;
    }
    return dropped;
}

size_t CanBusServer::clientCount() const {
    std::lock_guard lock(clientsMutex_);
    return clients_.size();
}

bool CanBusServer::writeDumps(const std::string& dir, std::string* error) const {
    ::mkdir(dir.c_str(), 0755);
    bool ok = true;
    for (const auto& d : devices_) {
        std::string path = dir + "/node-" + std::to_string(d->config().node) + ".srec";
        if (!d->writeApplicationSrec(path)) {
            *error = "cannot write " + path;
            ok = false;
        }
    }
    return ok;
}

void CanBusServer::wake() {
    uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

void CanBusServer::run() {
    std::vector<pollfd> fds;
    std::vector<Client*> polled;
    while (!stopping_) {
        fds.clear();
        polled.clear();
        // While taking connections fails, the listener is left out of the poll for a while
        // (poll skips a negative descriptor) and the clients we have are served.
        int timeoutMs = -1;
        int64_t pausedUs = acceptPausedUntilUs_ - scheduler_.nowUs();
        if (pausedUs > 0) {
            timeoutMs = static_cast<int>((pausedUs + 999) / 1000);
        }
        fds.push_back({pausedUs > 0 ? -1 : listenFd_, POLLIN, 0});
        fds.push_back({wakeFd_, POLLIN, 0});
        {
            std::lock_guard lock(clientsMutex_);
            for (auto& c : clients_) {
                short events = POLLIN;
                std::lock_guard clientLock(c->mutex);
                if (!c->backlog.empty()) {
                    events |= POLLOUT;
                }
                fds.push_back({c->fd, events, 0});
                polled.push_back(c.get());
            }
        }
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
            return;
        }
        if (stopping_) {
            return;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
        }
        if (fds[0].revents & POLLIN) {
            accept();
        }
        std::vector<Client*> ended;
        for (size_t i = 0; i < polled.size(); ++i) {
            Client& c = *polled[i];
            short r = fds[i + 2].revents;
            bool alive = true;
            if (r & POLLOUT) {
                std::lock_guard lock(c.mutex);
                ssize_t n =
                    ::send(c.fd, c.backlog.data(), c.backlog.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) {
                    c.backlog.erase(0, static_cast<size_t>(n));
                } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                    alive = false;
                }
            }
            if (alive && (r & (POLLIN | POLLHUP | POLLERR))) {
                alive = serve(c);
            }
            if (!alive) {
                ended.push_back(&c);
            }
        }
        if (!ended.empty()) {
            std::lock_guard lock(clientsMutex_);
            for (Client* c : ended) {
                closeClient(*c);
                std::erase_if(clients_, [c](const auto& p) { return p.get() == c; });
            }
        }
    }
}

void CanBusServer::accept() {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The connection stays in the listen queue; it is taken once descriptors
            // are free again.
            ++acceptFailures_;
            acceptPausedUntilUs_ = scheduler_.nowUs() + int64_t{kAcceptBackoffMs} * 1000;
        }
        return;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto client = std::make_unique<Client>(*this, fd);
    client->wallOffsetUs = scheduler_.wallOffsetUs();
    {
        // Counted before it is greeted, so a client that has its greeting is known.
        std::lock_guard lock(clientsMutex_);
        clients_.push_back(std::move(client));
    }
    // Every reply of the handshake goes out in a write of its own: some clients compare
    // whole reads with the reply they expect.
    ::send(fd, "< hi >", 6, MSG_NOSIGNAL);
}

bool CanBusServer::serve(Client& client) {
    char buffer[4096];
    ssize_t n = ::recv(client.fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return true;
    }
    if (n <= 0) {
        return false;
    }
    std::vector<std::string> messages;
    bool intact = client.splitter.feed(buffer, static_cast<size_t>(n), messages);
    for (const auto& m : messages) {
        if (!handle(client, m)) {
            return false;
        }
    }
    if (!intact) {
        std::fprintf(stderr, "romtide-canbus: client dropped: %s\n",
                     client.splitter.error().c_str());
    }
    return intact;
}

bool CanBusServer::handle(Client& client, const std::string& message) {
    auto reply = [&](const std::string& text) {
        return ::send(client.fd, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    };
    auto w = sc::words(message);
    std::string word = w.empty() ? std::string() : std::string(w[0]);
    switch (client.state) {
        case Client::State::Greeted:
            if (word == "open" && w.size() == 2) {
                std::string name(w[1]);
                if (bus(name) == nullptr || buses_.count(name) == 0) {
                    return reply("< error no such interface " + name + " >");
                }
                client.bus = buses_[name].get();
                client.state = Client::State::Opened;
                return reply("< ok >");
            }
            return reply("< error open an interface first >");
        case Client::State::Opened:
            if (word == "rawmode" && w.size() == 1) {
                uint32_t rate = 125000;
                for (const auto& i : interfaces_) {
                    if (i.name == client.bus->name()) {
                        rate = static_cast<uint32_t>(i.kbit) * 1000u;
                    }
                }
                // The reply goes first, so no frame can come before it.
                if (!reply("< ok >")) {
                    return false;
                }
                client.node = client.bus->attach(client, rate);
                client.state = Client::State::Raw;
                return client.node >= 0;
            }
            return reply("< error only rawmode is served >");
        case Client::State::Raw:
            if (word == "send") {
                std::string error;
                auto frame = sc::parseSend(message, &error);
                if (!frame) {
                    return reply("< error " + error + " >");
                }
                client.bus->send(client.node, *frame);
                return true;
            }
            if (word == "echo") {
                std::lock_guard lock(client.mutex);
                client.backlog += "< echo >";
                wake();
                return true;
            }
            return reply("< error unknown command " + word + " >");
    }
    return false;
}

void CanBusServer::closeClient(Client& client) {
    if (client.bus != nullptr && client.node >= 0) {
        client.bus->detach(client.node);
        client.node = -1;
    }
    if (client.fd >= 0) {
        ::close(client.fd);
        client.fd = -1;
    }
}

}  // namespace romtide::sim
