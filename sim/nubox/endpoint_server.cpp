#include "sim/nubox/endpoint_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "nuboxlink/platform/endpoint_protocol.h"

namespace nubox_sim {

namespace {

using namespace nuboxlink::endpoint;

constexpr uint32_t kRegisterEvents = 0x222044;
constexpr int kRequestTimeoutMs = 2000;
constexpr int kFirmwarePeriodMs = 1;

bool reply(int fd, uint8_t status, const std::vector<uint8_t>& out = {}, int passFd = -1) {
    std::vector<uint8_t> msg(sizeof(ReplyHeader) + out.size());
    ReplyHeader h{status, {}, static_cast<uint32_t>(out.size())};
    std::memcpy(msg.data(), &h, sizeof h);
    if (!out.empty()) {
        std::memcpy(msg.data() + sizeof h, out.data(), out.size());
    }
    return sendAll(fd, msg.data(), msg.size(), passFd >= 0 ? &passFd : nullptr, passFd >= 0);
}

}  // namespace

std::string driverFolderProblem(const std::string& dir, int error) {
    switch (error) {
        case EACCES:
        case EPERM:
        case EROFS:
            return "the driver folder " + dir + " is read-only (" + std::strerror(error) +
                   "): its endpoints cannot be created";
        case ENOTDIR:
            return "the driver folder " + dir + " is not a folder";
        default:
            return std::string();
    }
}

EndpointServer::EndpointServer(std::string dir) : dir_(std::move(dir)) {
    mkdir(dir_.c_str(), 0755);
}

EndpointServer::~EndpointServer() {
    for (const Client& c : clients_) {
        close(c.fd);
    }
    for (const Endpoint& ep : endpoints_) {
        close(ep.listener);
        // Only an endpoint that is still ours: another driver may have taken the name
        // after ours was removed, and its board must stay reachable.
        struct stat st {};
        if (lstat(ep.path.c_str(), &st) == 0 && st.st_dev == ep.device && st.st_ino == ep.inode) {
            unlink(ep.path.c_str());
        }
    }
}

namespace {

// True when a driver listens at the endpoint `addr` names now.
bool served(const sockaddr_un& addr) {
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    const bool answered =
        connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    close(probe);
    return answered;
}

}  // namespace

bool EndpointServer::add(SimDevice& device, const std::string& name, std::string* error) {
    Endpoint ep;
    ep.board = &device;
    ep.path = dir_ + "/" + name;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (ep.path.size() >= sizeof addr.sun_path) {
        *error = "path too long: " + ep.path;
        return false;
    }
    std::memcpy(addr.sun_path, ep.path.c_str(), ep.path.size() + 1);
    // A driver that serves the board now keeps it: replacing its endpoint would take the
    // board from its programs, and its end would remove ours.
    if (served(addr)) {
        *error = ep.path + " is served by another driver (is another nubox-simd running on " +
                 dir_ + "?)";
        return false;
    }
    // An endpoint left by a driver that ended without removing it.
    const int unlinked = unlink(ep.path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
    ep.listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ep.listener < 0 ||
        bind(ep.listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(ep.listener, 16) != 0) {
        const int failed = errno;
        *error = driverFolderProblem(dir_, unlinked != 0 ? unlinked : failed);
        if (error->empty()) {
            *error = "cannot listen on " + ep.path + ": " + std::strerror(failed);
        }
        if (ep.listener >= 0) {
            close(ep.listener);
        }
        return false;
    }
    struct stat st {};
    if (lstat(ep.path.c_str(), &st) == 0) {
        ep.device = st.st_dev;
        ep.inode = st.st_ino;
    }
    endpoints_.push_back(std::move(ep));
    return true;
}

// Serves one request; false when the client is gone or broke the protocol.
bool EndpointServer::serve(Client& client, Endpoint& ep) {
    RequestHeader h{};
    std::vector<int> fds;
    if (!recvAll(client.fd, &h, sizeof h, kRequestTimeoutMs, &fds)) {
        return false;
    }
    // Event registration carries the library's eventfds; the device keeps copies.
    const bool registered = h.op == kControl && h.code == kRegisterEvents && !fds.empty() &&
                            ep.owner == client.fd && ep.board->registerEvents(fds);
    for (int fd : fds) {
        close(fd);
    }
    const bool hasInput = h.op == kControl || h.op == kWrite;
    if (hasInput && h.length > kMaxPayload) {
        return false;
    }
    std::vector<uint8_t> in(hasInput ? h.length : 0);
    if (!in.empty() && !recvAll(client.fd, in.data(), in.size(), kRequestTimeoutMs)) {
        return false;
    }
    const bool mine = ep.owner == client.fd;
    switch (h.op) {
        case kOpen:
            if (ep.owner >= 0 && !mine) {
                return reply(client.fd, kSharingViolation);
            }
            ep.owner = client.fd;
            return reply(client.fd, kOk);
        case kControl: {
            if (!mine) {
                return reply(client.fd, kFailed);
            }
            std::vector<uint8_t> out;
            bool mapsDpr = false;
            if (h.code == kRegisterEvents && !fds.empty()) {
                return reply(client.fd, registered ? kOk : kFailed);
            }
            bool ok = ep.board->control(h.code, in.data(), in.size(), &out, &mapsDpr);
            return reply(client.fd, ok ? kOk : kFailed, out,
                         ok && mapsDpr ? ep.board->dprFd() : -1);
        }
        case kClose:
            if (mine) {
                ep.owner = -1;
            }
            return true;
        case kWrite:
            return reply(client.fd, mine && ep.board->write(in.data(), in.size()) ? kOk : kFailed);
        case kRead: {
            std::vector<uint8_t> out;
            bool ok = mine && h.length <= kMaxPayload && ep.board->read(h.length, &out);
            return reply(client.fd, ok ? kOk : kFailed, out);
        }
        default:
            return reply(client.fd, kFailed);
    }
}

void EndpointServer::run(const std::atomic<bool>& stop) {
    while (!stop.load()) {
        std::vector<pollfd> pfds;
        for (const Endpoint& ep : endpoints_) {
            pfds.push_back({ep.listener, POLLIN, 0});
        }
        for (const Client& c : clients_) {
            pfds.push_back({c.fd, POLLIN, 0});
        }
        int r = poll(pfds.data(), pfds.size(), kFirmwarePeriodMs);
        if (r > 0) {
            std::vector<Client> kept;
            for (size_t j = 0; j < clients_.size(); ++j) {
                Client& c = clients_[j];
                const pollfd& p = pfds[endpoints_.size() + j];
                bool alive = true;
                if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                    alive = serve(c, endpoints_[c.endpoint]);
                }
                if (alive) {
                    kept.push_back(c);
                } else {
                    // A program that ends (or crashes) gives its board back.
                    if (endpoints_[c.endpoint].owner == c.fd) {
                        endpoints_[c.endpoint].owner = -1;
                    }
                    close(c.fd);
                }
            }
            clients_.swap(kept);
            for (size_t i = 0; i < endpoints_.size(); ++i) {
                if (pfds[i].revents & POLLIN) {
                    int fd = accept4(endpoints_[i].listener, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0) {
                        clients_.push_back({fd, i});
                    }
                }
            }
        }
        for (Endpoint& ep : endpoints_) {
            ep.board->step();
        }
    }
}

}  // namespace nubox_sim
