// nubox-simd: serves simulated nuBOX boards as driver endpoints, so that programs using
// libnuboxlink reach them exactly as they would reach boards behind a real driver.
//
//   nubox-simd --driver-dir DIR --board BOARD [--board BOARD ...]
//
// Prints "ready" once every endpoint listens; removes them on SIGTERM or SIGINT.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "nuboxlink/platform/endpoint_protocol.h"
#include "sim/nubox/sim_board.h"
#include "sim/nubox/sim_usb.h"

namespace {

using namespace nuboxlink::endpoint;

volatile sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

struct Endpoint {
    std::unique_ptr<nubox_sim::SimDevice> board;
    std::string path;
    int listener = -1;
    int owner = -1;  // the client that has the board open
};

struct Client {
    int fd;
    size_t endpoint;
};

bool reply(int fd, uint8_t status, const std::vector<uint8_t>& out = {}, int passFd = -1) {
    std::vector<uint8_t> msg(sizeof(ReplyHeader) + out.size());
    ReplyHeader h{status, {}, static_cast<uint32_t>(out.size())};
    std::memcpy(msg.data(), &h, sizeof h);
    if (!out.empty()) {
        std::memcpy(msg.data() + sizeof h, out.data(), out.size());
    }
    return sendAll(fd, msg.data(), msg.size(), passFd >= 0 ? &passFd : nullptr, passFd >= 0);
}

// Serves one request; false when the client is gone or broke the protocol.
bool serve(Client& client, Endpoint& ep) {
    RequestHeader h{};
    std::vector<int> fds;
    if (!recvAll(client.fd, &h, sizeof h, 2000, &fds)) {
        return false;
    }
    // Event registration carries the library's eventfds; the device keeps copies.
    const bool registered = h.op == kControl && h.code == 0x222044 && !fds.empty() &&
                            ep.owner == client.fd && ep.board->registerEvents(fds);
    for (int fd : fds) {
        close(fd);
    }
    const bool hasInput = h.op == kControl || h.op == kWrite;
    if (hasInput && h.length > kMaxPayload) {
        return false;
    }
    std::vector<uint8_t> in(hasInput ? h.length : 0);
    if (!in.empty() && !recvAll(client.fd, in.data(), in.size(), 2000)) {
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
            if (h.code == 0x222044 && !fds.empty()) {
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

// What stands in the way of creating endpoints in the driver folder, said as such: a
// stale endpoint that cannot be removed otherwise shows as "Address already in use",
// which reads like another driver serving the board.
std::string folderProblem(const std::string& dir, int error) {
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

int usage() {
    std::fprintf(stderr,
                 "usage: nubox-simd --driver-dir DIR --board BOARD [--board BOARD ...]\n"
                 "  BOARD: isa:N[:dpr=16384|32768|65536] | pci:SLOT:ID | usb:SLOT:ID |\n"
                 "         card:SLOT:SOCKET,\n"
                 "         each optionally followed by ,hang\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    std::vector<nubox_sim::BoardSetup> setups;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--driver-dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (arg == "--board" && i + 1 < argc) {
            auto setup = nubox_sim::parseBoardSetup(argv[++i]);
            if (!setup) {
                std::fprintf(stderr, "nubox-simd: bad board '%s'\n", argv[i]);
                return usage();
            }
            setups.push_back(*setup);
        } else {
            return usage();
        }
    }
    if (dir.empty() || setups.empty()) {
        return usage();
    }
    struct stat folder {};
    if (stat(dir.c_str(), &folder) == 0 && !S_ISDIR(folder.st_mode)) {
        std::fprintf(stderr, "nubox-simd: %s\n", folderProblem(dir, ENOTDIR).c_str());
        return 1;
    }
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::string problem = folderProblem(dir, errno);
        std::fprintf(
            stderr, "nubox-simd: %s\n",
            problem.empty()
                ? ("cannot create the driver folder " + dir + ": " + std::strerror(errno)).c_str()
                : problem.c_str());
        return 1;
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    romtide::SteadyClock clock;
    std::vector<Endpoint> endpoints;
    int status = 0;
    for (const auto& setup : setups) {
        Endpoint ep;
        if (setup.kind == nubox_sim::BoardKind::Usb) {
            ep.board = std::make_unique<nubox_sim::SimUsbBox>(setup);
        } else {
            ep.board = std::make_unique<nubox_sim::SimBoard>(setup, clock);
        }
        ep.path = dir + "/" + nubox_sim::deviceName(setup);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (ep.path.size() >= sizeof addr.sun_path) {
            std::fprintf(stderr, "nubox-simd: path too long: %s\n", ep.path.c_str());
            status = 1;
            break;
        }
        std::memcpy(addr.sun_path, ep.path.c_str(), ep.path.size() + 1);
        // An endpoint left by a driver that ended without removing it.
        int unlinked = unlink(ep.path.c_str()) == 0 || errno == ENOENT ? 0 : errno;
        ep.listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (ep.listener < 0 ||
            bind(ep.listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(ep.listener, 16) != 0) {
            int error = errno;
            std::string problem = folderProblem(dir, unlinked != 0 ? unlinked : error);
            if (problem.empty()) {
                std::fprintf(stderr, "nubox-simd: cannot listen on %s: %s\n", ep.path.c_str(),
                             std::strerror(error));
            } else {
                std::fprintf(stderr, "nubox-simd: %s\n", problem.c_str());
            }
            status = 1;
            if (ep.listener >= 0) {
                close(ep.listener);
            }
            break;
        }
        endpoints.push_back(std::move(ep));
    }
    if (status == 0) {
        std::printf("ready\n");
        std::fflush(stdout);
    }

    std::vector<Client> clients;
    while (status == 0 && !g_stop) {
        std::vector<pollfd> pfds;
        for (const Endpoint& ep : endpoints) {
            pfds.push_back({ep.listener, POLLIN, 0});
        }
        for (const Client& c : clients) {
            pfds.push_back({c.fd, POLLIN, 0});
        }
        // The firmware runs every millisecond, like the board's own main loop.
        int r = poll(pfds.data(), pfds.size(), 1);
        if (r > 0) {
            std::vector<Client> kept;
            for (size_t j = 0; j < clients.size(); ++j) {
                Client& c = clients[j];
                const pollfd& p = pfds[endpoints.size() + j];
                bool alive = true;
                if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                    alive = serve(c, endpoints[c.endpoint]);
                }
                if (alive) {
                    kept.push_back(c);
                } else {
                    // A program that ends (or crashes) gives its board back.
                    if (endpoints[c.endpoint].owner == c.fd) {
                        endpoints[c.endpoint].owner = -1;
                    }
                    close(c.fd);
                }
            }
            clients.swap(kept);
            for (size_t i = 0; i < endpoints.size(); ++i) {
                if (pfds[i].revents & POLLIN) {
                    int fd = accept4(endpoints[i].listener, nullptr, nullptr, SOCK_CLOEXEC);
                    if (fd >= 0) {
                        clients.push_back({fd, i});
                    }
                }
            }
        }
        for (Endpoint& ep : endpoints) {
            ep.board->step();
        }
    }

    for (const Client& c : clients) {
        close(c.fd);
    }
    for (const Endpoint& ep : endpoints) {
        close(ep.listener);
        unlink(ep.path.c_str());
    }
    return status;
}
