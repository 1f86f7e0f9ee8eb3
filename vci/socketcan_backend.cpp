// "socketcan:IFNAME": a CAN interface of the kernel (USB-CAN adapters, PCI boards, vcan).
// Setting the bit rate needs privileges the program usually does not have, so the
// interface is taken as it runs when its rate fits, and otherwise the user is told which
// command sets it.
// glibc's net/if.h first: the kernel headers then leave out what it defines.
#include <net/if.h>
// clang-format off
#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/netlink.h>
#include <linux/can/raw.h>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
// clang-format on
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "vci/linux_backends.h"
#include "vci/vci.h"

namespace romtide::vci {

namespace {

// Room in a full transmit queue; longer means the bus is stuck.
constexpr std::chrono::milliseconds kSendWait{100};
constexpr int kSendLookMs = 1;  // how often a send looks for that room

// Walks the attributes of a netlink message part.
template <typename Fn>
bool forEachAttribute(const uint8_t* data, size_t length, Fn&& fn) {
    size_t offset = 0;
    while (offset + sizeof(rtattr) <= length) {
        rtattr a;
        std::memcpy(&a, data + offset, sizeof a);
        if (a.rta_len < sizeof(rtattr) || offset + a.rta_len > length) {
            return false;
        }
        fn(a.rta_type & NLA_TYPE_MASK, data + offset + RTA_LENGTH(0), a.rta_len - RTA_LENGTH(0));
        offset += RTA_ALIGN(a.rta_len);
    }
    return true;
}

// The interface's bit rate asked from the kernel (rtnetlink), 0 without bit timing.
int64_t queryBitRate(unsigned ifindex) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return -1;
    }
    struct {
        nlmsghdr header;
        ifinfomsg info;
    } request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETLINK;
    request.header.nlmsg_flags = NLM_F_REQUEST;
    request.header.nlmsg_seq = 1;
    request.info.ifi_family = AF_UNSPEC;
    request.info.ifi_index = static_cast<int>(ifindex);
    int64_t rate = -1;
    if (::send(fd, &request, sizeof request, 0) == static_cast<ssize_t>(sizeof request)) {
        pollfd p{fd, POLLIN, 0};
        std::vector<uint8_t> buffer(16384);
        if (::poll(&p, 1, 1000) == 1) {
            ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n > 0) {
                rate = bitRateFromLinkMessage(buffer.data(), static_cast<size_t>(n));
            }
        }
    }
    ::close(fd);
    return rate;
}

std::string errorFrameText(const can_frame& f) {
    std::string text = "error frame";
    if (f.can_id & CAN_ERR_BUSOFF) {
        text += ": bus-off";
    }
    if (f.can_id & CAN_ERR_RESTARTED) {
        text += ": controller restarted";
    }
    if (f.can_id & CAN_ERR_CRTL) {
        text += ": controller problem";
    }
    if (f.can_id & CAN_ERR_ACK) {
        text += ": no acknowledgement (nobody else on the bus?)";
    }
    if (f.can_id & (CAN_ERR_PROT | CAN_ERR_TRX | CAN_ERR_BUSERROR)) {
        text += ": bus error";
    }
    return text;
}

class SocketCanBackend final : public Backend {
  public:
    explicit SocketCanBackend(std::string ifname) : ifname_(std::move(ifname)) {}
    ~SocketCanBackend() override { close(); }

    bool open(uint32_t bitRate, FrameSink& sink) override {
        close();
        if (auto reason = socketCanUnavailableReason()) {
            sink.message("CAN interface socketcan:" + ifname_ + ": " + *reason + ".");
            return false;
        }
        unsigned index = ::if_nametoindex(ifname_.c_str());
        if (index == 0) {
            sink.message("CAN interface " + ifname_ + " does not exist.");
            return false;
        }
        if (!isUp()) {
            sink.message("CAN interface " + ifname_ + " is down.\n" +
                         bitRateAdvice(ifname_, bitRate, -1));
            return false;
        }
        int64_t current = queryBitRate(index);
        // A virtual CAN interface has no bit timing and carries any rate.
        if (current != 0 && current != static_cast<int64_t>(bitRate)) {
            sink.message(bitRateAdvice(ifname_, bitRate, current));
            return false;
        }
        int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, CAN_RAW);
        if (fd < 0) {
            sink.message("CAN interface " + ifname_ + ": " + std::strerror(errno));
            return false;
        }
        // Our own frames come back when the interface has carried them, told apart from
        // received ones (MSG_CONFIRM) and handed on as echoes, in the bus's order: on a
        // real adapter only then is a frame on the bus. Error frames come too, for the
        // exception callback.
        int on = 1;
        can_err_mask_t errors = CAN_ERR_MASK;
        ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_RECV_OWN_MSGS, &on, sizeof on);
        ::setsockopt(fd, SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &errors, sizeof errors);
        sockaddr_can address{};
        address.can_family = AF_CAN;
        address.can_ifindex = static_cast<int>(index);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            sink.message("CAN interface " + ifname_ + ": " + std::strerror(errno));
            ::close(fd);
            return false;
        }
        if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
            ::close(fd);
            return false;
        }
        fd_ = fd;
        sink_ = &sink;
        busOff_ = false;
        closing_ = false;
        reader_ = std::thread([this] { run(); });
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
        ::close(fd_);
        ::close(wake_[0]);
        ::close(wake_[1]);
        fd_ = -1;
        sink_ = nullptr;
    }

    bool echoesSent() const override { return true; }

    bool send(const CanFrame& frame) override {
        if (fd_ < 0 || busOff_) {
            return false;
        }
        can_frame f{};
        f.can_id = frame.id & CAN_SFF_MASK;
        f.len = frame.length > 8 ? 8 : frame.length;
        std::memcpy(f.data, frame.data, f.len);
        // A full queue of the interface (ENOBUFS) empties as the bus carries what it holds,
        // but the socket does not say when: it stays writable. So the send looks again
        // every millisecond until the wait is used up; a full socket buffer (EAGAIN) does
        // wake the poll.
        const auto deadline = std::chrono::steady_clock::now() + kSendWait;
        for (;;) {
            ssize_t n = ::send(fd_, &f, sizeof f, MSG_DONTWAIT);
            if (n == static_cast<ssize_t>(sizeof f)) {
                return true;
            }
            if (n < 0 && errno != ENOBUFS && errno != EAGAIN) {
                return false;  // ENETDOWN and the like: the interface is gone
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            pollfd p{fd_, static_cast<short>(errno == EAGAIN ? POLLOUT : 0), 0};
            ::poll(&p, 1, kSendLookMs);
        }
    }

  private:
    bool isUp() const {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        ifreq request{};
        std::snprintf(request.ifr_name, sizeof request.ifr_name, "%s", ifname_.c_str());
        bool up = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 && (request.ifr_flags & IFF_UP) != 0;
        ::close(fd);
        return up;
    }

    void run() {
        bool reportedError = false;
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            int r = ::poll(p, 2, -1);
            if (closing_ || (p[1].revents & POLLIN) != 0) {
                return;
            }
            if (r < 0) {
                continue;
            }
            can_frame f{};
            iovec part{&f, sizeof f};
            msghdr m{};
            m.msg_iov = &part;
            m.msg_iovlen = 1;
            ssize_t n = ::recvmsg(fd_, &m, 0);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) {
                    continue;
                }
                // The interface went down: say so once, and do not spin on the error. The
                // person is told too: what the run reports next (a unit not acknowledged,
                // a lost bootloader) does not show that the interface is to blame.
                if (!reportedError) {
                    std::string why = std::strerror(errno);
                    sink_->exception(kVciNoInterface, "CAN interface " + ifname_ + ": " + why);
                    sink_->message("The CAN interface " + ifname_ + " went down: " + why + ".");
                    reportedError = true;
                }
                pollfd w{wake_[0], POLLIN, 0};
                ::poll(&w, 1, 200);
                continue;
            }
            reportedError = false;
            if (n != static_cast<ssize_t>(sizeof f)) {
                continue;
            }
            if (f.can_id & CAN_ERR_FLAG) {
                if (f.can_id & CAN_ERR_BUSOFF) {
                    busOff_ = true;
                }
                if (f.can_id & CAN_ERR_RESTARTED) {
                    busOff_ = false;
                }
                sink_->exception(kVciError, "CAN interface " + ifname_ + ": " + errorFrameText(f));
                continue;
            }
            // Classic 11-bit data frames only: the devices speak nothing else.
            if ((f.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG)) != 0) {
                continue;
            }
            CanFrame frame;
            frame.id = f.can_id & CAN_SFF_MASK;
            frame.length = f.len > 8 ? 8 : f.len;
            std::memcpy(frame.data, f.data, frame.length);
            if ((m.msg_flags & MSG_CONFIRM) != 0) {
                sink_->echo(frame);
            } else {
                sink_->deliver(&frame, 1, 0);
            }
        }
    }

    std::string ifname_;
    int fd_ = -1;
    int wake_[2] = {-1, -1};
    FrameSink* sink_ = nullptr;
    std::thread reader_;
    std::atomic<bool> busOff_{false};
    std::atomic<bool> closing_{false};
};

}  // namespace

std::optional<std::string> socketCanUnavailableReason() {
    int fd = ::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        return std::string("this kernel has no CAN support (AF_CAN: ") + std::strerror(errno) + ")";
    }
    ::close(fd);
    return std::nullopt;
}

int64_t bitRateFromLinkMessage(const uint8_t* message, size_t length) {
    nlmsghdr header;
    if (message == nullptr || length < sizeof header) {
        return -1;
    }
    std::memcpy(&header, message, sizeof header);
    if (header.nlmsg_type != RTM_NEWLINK || header.nlmsg_len > length ||
        header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) {
        return -1;
    }
    const uint8_t* attributes = message + NLMSG_LENGTH(sizeof(ifinfomsg));
    size_t attributesLength = header.nlmsg_len - NLMSG_LENGTH(sizeof(ifinfomsg));
    int64_t rate = 0;
    bool ok =
        forEachAttribute(attributes, attributesLength, [&](int type, const uint8_t* d, size_t n) {
            if (type != IFLA_LINKINFO) {
                return;
            }
            forEachAttribute(d, n, [&](int infoType, const uint8_t* info, size_t infoLength) {
                if (infoType != IFLA_INFO_DATA) {
                    return;
                }
                forEachAttribute(info, infoLength, [&](int canType, const uint8_t* c, size_t cn) {
                    if (canType == IFLA_CAN_BITTIMING && cn >= sizeof(can_bittiming)) {
                        can_bittiming timing;
                        std::memcpy(&timing, c, sizeof timing);
                        rate = timing.bitrate;
                    }
                });
            });
        });
    return ok ? rate : -1;
}

std::string bitRateAdvice(const std::string& ifname, uint32_t bitRate, int64_t current) {
    std::string text;
    if (current > 0) {
        text = "CAN interface " + ifname + " runs at " + std::to_string(current / 1000) +
               " kBit/s, not at " + std::to_string(bitRate / 1000) + " kBit/s. ";
    }
    return text + "Setting the bit rate needs administrator rights; run:\n  ip link set " + ifname +
           " down\n  ip link set " + ifname + " type can bitrate " + std::to_string(bitRate) +
           "\n  ip link set " + ifname + " up";
}

std::vector<std::string> socketCanInterfacesUp() {
    std::vector<std::string> names;
    DIR* dir = ::opendir("/sys/class/net");
    if (dir == nullptr) {
        return names;
    }
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name.empty() || name[0] == '.') {
            continue;
        }
        std::string base = "/sys/class/net/" + name + "/";
        int type = 0;
        unsigned flags = 0;
        std::ifstream(base + "type") >> type;
        std::ifstream(base + "flags") >> std::hex >> flags;
        if (type == ARPHRD_CAN && (flags & IFF_UP) != 0) {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::unique_ptr<Backend> makeSocketCanBackend(const std::string& rest) {
    if (rest.empty() || rest.size() >= IFNAMSIZ || rest.find('/') != std::string::npos) {
        return nullptr;
    }
    return std::make_unique<SocketCanBackend>(rest);
}

}  // namespace romtide::vci
