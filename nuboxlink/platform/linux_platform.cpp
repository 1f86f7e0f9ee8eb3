#include "nuboxlink/platform/linux_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <dlfcn.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <vector>

#include "nuboxlink/platform/endpoint_protocol.h"

namespace nuboxlink {

namespace {

using namespace endpoint;

class EndpointHandle final : public DriverHandle {
  public:
    explicit EndpointHandle(int sock) : sock_(sock) {}
    ~EndpointHandle() override {
        RequestHeader h{kClose, {}, 0, 0};
        sendAll(sock_, &h, sizeof h);
        close(sock_);
        for (auto& [base, size] : mappings_) {
            munmap(base, size);
        }
    }

    // One request and its reply; `fds` receives descriptors that came with the reply.
    bool exchange(uint8_t op, uint32_t code, const uint8_t* in, size_t inLen, uint32_t want,
                  std::vector<uint8_t>* reply, std::vector<int>* fds,
                  const std::vector<int>& sendFds = {}) {
        if (inLen > kMaxPayload) {
            return false;
        }
        RequestHeader h{op, {}, code, static_cast<uint32_t>(op == kRead ? want : inLen)};
        std::vector<uint8_t> msg(sizeof h + inLen);
        std::memcpy(msg.data(), &h, sizeof h);
        if (inLen) {
            std::memcpy(msg.data() + sizeof h, in, inLen);
        }
        if (!sendAll(sock_, msg.data(), msg.size(), sendFds.empty() ? nullptr : sendFds.data(),
                     sendFds.size())) {
            return false;
        }
        ReplyHeader r{};
        if (!recvAll(sock_, &r, sizeof r, LinuxPlatform::kRequestTimeoutMs, fds) ||
            r.length > kMaxPayload) {
            return false;
        }
        reply->resize(r.length);
        if (r.length &&
            !recvAll(sock_, reply->data(), r.length, LinuxPlatform::kRequestTimeoutMs, fds)) {
            return false;
        }
        return r.status == kOk;
    }

    bool control(uint32_t code, const uint8_t* in, size_t inLen, uint8_t* out, size_t outCapacity,
                 size_t* outLen) override {
        std::vector<uint8_t> reply;
        bool ok = exchange(kControl, code, in, inLen, 0, &reply, nullptr);
        size_t n = std::min(reply.size(), outCapacity);
        if (out && n) {
            std::memcpy(out, reply.data(), n);
        }
        if (outLen) {
            *outLen = n;
        }
        return ok;
    }

    bool map(uint32_t code, const uint8_t* in, size_t inLen, Window* window) override {
        std::vector<uint8_t> reply;
        std::vector<int> fds;
        bool ok = exchange(kControl, code, in, inLen, 0, &reply, &fds);
        int fd = fds.empty() ? -1 : fds.front();
        for (size_t i = 1; i < fds.size(); ++i) {
            close(fds[i]);
        }
        if (!ok || fd < 0) {
            if (fd >= 0) {
                close(fd);
            }
            return false;
        }
        struct stat st {};
        void* base = MAP_FAILED;
        if (fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size <= (1 << 20)) {
            base = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE,
                        MAP_SHARED, fd, 0);
        }
        close(fd);
        if (base == MAP_FAILED) {
            return false;
        }
        mappings_.emplace_back(base, static_cast<size_t>(st.st_size));
        window->base = static_cast<uint8_t*>(base);
        window->size = static_cast<uint32_t>(st.st_size);
        // The map answer's second word is the window size the board reports; never more
        // than what was really shared with us.
        if (reply.size() >= 8) {
            uint32_t reported;
            std::memcpy(&reported, reply.data() + 4, 4);
            window->size = std::min(window->size, reported);
        }
        return true;
    }

    bool read(uint8_t* dst, size_t n, size_t* got) override {
        std::vector<uint8_t> reply;
        bool ok = n <= kMaxPayload &&
                  exchange(kRead, 0, nullptr, 0, static_cast<uint32_t>(n), &reply, nullptr);
        size_t m = std::min(reply.size(), n);
        if (m) {
            std::memcpy(dst, reply.data(), m);
        }
        if (got) {
            *got = m;
        }
        return ok;
    }

    bool write(const uint8_t* src, size_t n) override {
        std::vector<uint8_t> reply;
        return exchange(kWrite, 0, src, n, 0, &reply, nullptr);
    }

    bool registerEvents(uint32_t code, Event* const* events, size_t count) override {
        std::vector<int> fds;
        for (size_t i = 0; i < count; ++i) {
            if (!events[i] || events[i]->fd() < 0) {
                return false;
            }
            fds.push_back(events[i]->fd());
        }
        std::vector<uint8_t> reply;
        return exchange(kControl, code, nullptr, 0, 0, &reply, nullptr, fds);
    }

    bool alive() const override {
        // The driver closing its end shows as a hang-up; looking costs no request.
        pollfd p{sock_, POLLRDHUP, 0};
        return ::poll(&p, 1, 0) == 0 || (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) == 0;
    }

  private:
    int sock_;
    std::vector<std::pair<void*, size_t>> mappings_;
};

class FileToken final : public Token {
  public:
    explicit FileToken(int fd) : fd_(fd) {}
    ~FileToken() override {
        flock(fd_, LOCK_UN);
        close(fd_);
    }

  private:
    int fd_;
};

std::string envOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

bool readFile(const std::string& path, std::string* text) {
    // Not blocking: a FIFO in the registry's place must not hold InitDll for ever.
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    // A registry is a few kilobytes; anything huge is not one.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (1 << 22)) {
        close(fd);
        return false;
    }
    text->clear();
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        text->append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

}  // namespace

std::vector<uint8_t> loadFirmwareFile(const std::string& dir, uint8_t family) {
    const char* name = nullptr;
    switch (family) {
        case 19:
            name = "dpem.nbf";
            break;
        case 1:
            name = "dps.nbf";
            break;
        case 5:
            name = "fms.nbf";
            break;
        case 18:
            name = "list.nbf";
            break;
        case 15:
            name = "pb2m.nbf";
            break;
        default:
            return {};
    }
    std::string text;
    if (!readFile(dir + "/" + name, &text) || text.size() > 65536 || text.size() % 20 != 0) {
        return {};
    }
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> LinuxPlatform::firmwareImage(uint8_t family) {
    std::string dir = envOr("NUBOXLINK_FIRMWARE_DIR", "");
    if (dir.empty()) {
        // Delivered beside the library: <folder of libnuboxlink.so>/nuboxlink-firmware.
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&loadFirmwareFile), &info) && info.dli_fname) {
            dir = (std::filesystem::path(info.dli_fname).parent_path() / "nuboxlink-firmware")
                      .string();
        }
    }
    return loadFirmwareFile(dir, family);
}

bool FileRegistry::readDevices(DeviceValues* devices) {
    std::string text;
    if (!readFile(path_, &text)) {
        return false;
    }
    std::optional<RegFile> file = parseRegFile(text);
    if (!file) {
        return false;
    }
    auto found = devicesOf(*file);
    if (!found) {
        return false;
    }
    *devices = std::move(*found);
    return true;
}

namespace {

// The file a path names, following symbolic links (relative ones from the link's own
// folder); nothing when they go round in circles. A path that is no link, or a link to
// a file not yet there, is its own answer.
std::optional<std::string> followLinks(const std::string& path) {
    constexpr int kMostLinks = 40;  // as the kernel's own limit
    std::filesystem::path at = path;
    for (int i = 0; i < kMostLinks; ++i) {
        std::error_code ec;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(at, ec))) {
            return at.string();
        }
        std::filesystem::path target = std::filesystem::read_symlink(at, ec);
        if (ec) {
            return std::nullopt;
        }
        at = target.is_absolute() ? target : at.parent_path() / target;
    }
    return std::nullopt;
}

}  // namespace

bool FileRegistry::replaceDevice(unsigned device, const RegValues& values) {
    // Written where a link points: replacing the link with a file of our own would cut
    // off whoever keeps the registry elsewhere and links it here.
    const std::optional<std::string> resolved = followLinks(path_);
    if (!resolved) {
        return false;
    }
    const std::string& target = *resolved;
    int lockFd = open((target + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lockFd < 0) {
        return false;
    }
    while (flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
    }
    bool ok = false;
    RegFile file;
    std::string text;
    bool exists = access(target.c_str(), F_OK) == 0;
    std::optional<RegFile> parsed;
    if (!exists) {
        parsed = RegFile{};
    } else if (readFile(target, &text)) {
        // A file we cannot understand is left alone rather than replaced by our part.
        parsed = parseRegFile(text);
    }
    if (parsed) {
        file = std::move(*parsed);
        file.findOrAdd(kDevicesKey);
        file.removeTree(deviceKeyName(device));
        file.findOrAdd(deviceKeyName(device)) = values;
        std::string out = formatRegFile(file);
        std::string tmp = target + ".tmp" + std::to_string(getpid());
        int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            size_t done = 0;
            while (done < out.size()) {
                ssize_t n = ::write(fd, out.data() + done, out.size() - done);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    break;
                }
                done += static_cast<size_t>(n);
            }
            ok = done == out.size() && fsync(fd) == 0;
            ok = close(fd) == 0 && ok;
            ok = ok && rename(tmp.c_str(), target.c_str()) == 0;
            if (!ok) {
                unlink(tmp.c_str());
            }
        }
    }
    flock(lockFd, LOCK_UN);
    close(lockFd);
    return ok;
}

LinuxPlatform::LinuxPlatform()
    : driverDir_(envOr("NUBOXLINK_DRIVER_DIR", "/run/nuboxlink")),
      registry_(envOr("NUBOXLINK_REGISTRY", "/etc/nuboxlink/registry.reg")),
      clock_(&steady_) {}

LinuxPlatform::LinuxPlatform(std::string driverDir, std::string registryPath, romtide::Clock& clock)
    : driverDir_(std::move(driverDir)), registry_(std::move(registryPath)), clock_(&clock) {}

std::unique_ptr<DriverHandle> LinuxPlatform::openDriver(std::string_view deviceName,
                                                        OpenResult* why) {
    *why = OpenResult::Failed;
    std::string path = driverDir_ + "/" + std::string(deviceName);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return nullptr;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return nullptr;
    }
    if (connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *why =
            (errno == ENOENT || errno == ECONNREFUSED) ? OpenResult::NotFound : OpenResult::Failed;
        close(sock);
        return nullptr;
    }
    RequestHeader h{kOpen, {}, 0, 0};
    ReplyHeader r{};
    if (!sendAll(sock, &h, sizeof h) || !recvAll(sock, &r, sizeof r, kRequestTimeoutMs) ||
        r.length != 0) {
        close(sock);
        return nullptr;
    }
    if (r.status != kOk) {
        *why = r.status == kSharingViolation ? OpenResult::SharingViolation : OpenResult::Failed;
        close(sock);
        return nullptr;
    }
    *why = OpenResult::Ok;
    return std::make_unique<EndpointHandle>(sock);
}

uint8_t LinuxPlatform::claimToken(const std::string& name, std::unique_ptr<Token>* token) {
    std::filesystem::path path = std::filesystem::path(driverDir_) / "tokens" / name;
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return 2;
    }
    // The kernel drops the lock with the process, so a crashed program never leaves a
    // board claimed.
    const int64_t start = clock_->nowMs();
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            *token = std::make_unique<FileToken>(fd);
            return 0;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            close(fd);
            return 2;
        }
        if (clock_->nowMs() - start >= 100) {
            close(fd);
            return 10;
        }
        clock_->sleepMs(10);
    }
}

}  // namespace nuboxlink
