#include "nuboxlink/remote/tcpip_device.h"

#include <cstring>
#include <new>
#include <vector>

#include "nuboxlink/remote/dpem_tcpip.h"
#include "nuboxlink/remote/remote_connection.h"
#include "nuboxlink/remote/remote_protocol.h"

namespace nuboxlink {

namespace {

// The worker enforces every limit on the platform's clock. The caller's own wait, in
// real time, is only a backstop for what cannot be bounded there (a host name lookup
// that hangs); it is longer, so the worker's verdict comes first.
constexpr int kBackstopMs = 5000;

// A watch may be waiting for the reply to its poll when it is stopped: it gets the
// request's limit on top of the usual 3000 ms, so that it is never left running detached
// while its channel goes away.
constexpr int kWatchStopMs = CTcpipDevice::kRequestLimitMs + 3000;

constexpr uint8_t kOpenTimedOut = 1;
constexpr uint8_t kRemoteFailed = 2;

}  // namespace

// What the caller and the worker thread share. Requests and replies are copied in and
// out under the mutex: the worker never writes into a caller's buffer, so a reply that
// comes after its caller gave up lands nowhere.
struct CTcpipDevice::Link {
    Link(Platform& p, std::string h, uint16_t port)
        : platform(p), connection(p.clock()), host(std::move(h)), port(port) {}

    Platform& platform;
    RemoteConnection connection;
    const std::string host;
    const uint16_t port;
    std::unique_ptr<Event> request, done;

    std::mutex mutex;  // everything below
    RemoteConnection::Opened opened = RemoteConnection::Opened::Failed;
    bool openDone = false;
    // No request can be answered any more: the connection broke, the worker ended, or
    // a caller's backstop ran out.
    bool broken = false;
    uint64_t submitted = 0, answered = 0;
    std::vector<uint8_t> requestBytes;
    std::vector<uint8_t> reply;  // status byte and payload
    int limitMs = 0;
    RemoteConnection::Reply result;
};

CTcpipDevice::CTcpipDevice(Library& library, uint8_t number, std::string host, uint8_t remoteDevice)
    : CDevice(library, number, NUBOX_KIND_REMOTE, 0),
      host_(std::move(host)),
      port_(static_cast<uint16_t>(remote::kPortBase + remoteDevice)) {
    // A name that does not fit is refused rather than cut: a shortened name could reach
    // another computer. So is one with a NUL in it, which the name service would read
    // only up to the NUL.
    if (host_.empty() || host_.size() > kMaxHostName || host_.find('\0') != std::string::npos) {
        status_ = 1;
    }
}

CTcpipDevice::~CTcpipDevice() {
    // The channels' watches make requests through the worker: they end first.
    destroyChannels();
    Close();
}

void CTcpipDevice::workerBody(const std::shared_ptr<Link>& link, Event& stop) {
    RemoteConnection::Opened opened =
        link->connection.open(link->platform, link->host, link->port, kOpenLimitMs);
    {
        std::lock_guard lock(link->mutex);
        link->opened = opened;
        link->openDone = true;
    }
    link->done->set();
    while (opened == RemoteConnection::Opened::Ok &&
           link->platform.waitEither(*link->request, stop, -1) == 0) {
        link->request->reset();
        std::vector<uint8_t> bytes, reply;
        uint64_t seq;
        int limitMs;
        {
            std::lock_guard lock(link->mutex);
            seq = link->submitted;
            bytes = link->requestBytes;
            reply.assign(link->reply.size(), 0);
            limitMs = link->limitMs;
        }
        RemoteConnection::Reply result = link->connection.exchange(
            bytes.data(), bytes.size(), reply.data(), reply.size(), limitMs);
        {
            std::lock_guard lock(link->mutex);
            link->answered = seq;
            link->result = result;
            link->reply = std::move(reply);
            if (link->connection.broken()) {
                link->broken = true;
            }
        }
        link->done->set();
    }
    link->connection.close();
    {
        std::lock_guard lock(link->mutex);
        link->broken = true;
    }
    // Wakes a caller whose request came too late to be taken.
    link->done->set();
}

uint8_t CTcpipDevice::Open() {
    if (status_ != 0) {
        return status_;
    }
    if (worker_.running()) {
        return 0;
    }
    Platform& p = platform();
    std::shared_ptr<Link> link;
    try {
        link = std::make_shared<Link>(p, host_, port_);
    } catch (const std::bad_alloc&) {
        status_ = 1;
        return status_;
    }
    link->request = p.createEvent();
    link->done = p.createEvent();
    if (!link->request || !link->done) {
        status_ = 1;
        return status_;
    }
    {
        // An Interrupt from now on reaches the connection; one that came before it was
        // made ends it before it is tried.
        std::lock_guard lock(linkMutex_);
        link_ = link;
        if (interrupted_) {
            link->broken = true;
            link->connection.interrupt();
        }
    }
    if (!worker_.start(p, [link](Event& stop) { workerBody(link, stop); })) {
        status_ = 1;
        return status_;
    }
    for (;;) {
        {
            std::lock_guard lock(link->mutex);
            if (link->openDone) {
                break;
            }
        }
        if (!link->done->wait(kOpenLimitMs + kBackstopMs)) {
            Close();
            status_ = kOpenTimedOut;
            return status_;
        }
        link->done->reset();
    }
    RemoteConnection::Opened opened;
    {
        std::lock_guard lock(link->mutex);
        opened = link->opened;
    }
    if (opened != RemoteConnection::Opened::Ok) {
        Close();
        status_ = opened == RemoteConnection::Opened::TimedOut ? kOpenTimedOut : kRemoteFailed;
    }
    return status_;
}

void CTcpipDevice::Interrupt() {
    std::shared_ptr<Link> link;
    {
        std::lock_guard lock(linkMutex_);
        interrupted_ = true;
        link = link_;
    }
    if (!link) {
        return;
    }
    {
        std::lock_guard lock(link->mutex);
        link->broken = true;
    }
    link->connection.interrupt();
    // Wakes a caller that waits for the worker.
    link->done->set();
}

void CTcpipDevice::Close() {
    // A request in progress (a watch's poll) fails at once instead of holding the close.
    Interrupt();
    if (link_) {
        worker_.stop(3000);
    }
}

uint8_t CTcpipDevice::request(const uint8_t* bytes, size_t n, uint8_t* payload, int limitMs) {
    const size_t payloadSize = remote::replyPayloadLength(bytes);
    std::lock_guard requestLock(requestLock_);
    if (!link_) {
        return kRemoteFailed;
    }
    Link& link = *link_;
    uint64_t seq;
    {
        std::lock_guard lock(link.mutex);
        if (link.broken) {
            return kRemoteFailed;
        }
        seq = ++link.submitted;
        link.requestBytes.assign(bytes, bytes + n);
        link.reply.assign(1 + payloadSize, 0);
        link.limitMs = limitMs;
    }
    link.request->set();
    for (;;) {
        {
            std::lock_guard lock(link.mutex);
            if (link.answered >= seq) {
                // A failing call leaves the caller's buffer as it was, as on a local
                // board: the payload of an error reply is no data.
                if (link.result.complete && link.result.status == remote::kReplyOk && payload &&
                    payloadSize > 0) {
                    std::memcpy(payload, link.reply.data() + 1, payloadSize);
                }
                return link.result.status;
            }
            if (link.broken) {
                return kRemoteFailed;
            }
        }
        if (!link.done->wait(limitMs + kBackstopMs)) {
            std::lock_guard lock(link.mutex);
            link.broken = true;
            return kRemoteFailed;
        }
        link.done->reset();
    }
}

uint8_t CTcpipDevice::CreateChannel(uint8_t index, uint8_t type) {
    if (type == NUBOX_CHANNEL_NONE) {
        return 0;
    }
    if (type != NUBOX_CHANNEL_DPEM) {
        return 1;
    }
    try {
        channels_[index] = std::make_unique<CDpemTcpip>(*this, index);
    } catch (const std::bad_alloc&) {
        return 2;
    }
    return 0;
}

uint8_t CTcpipDevice::MapAndRestart(DeviceConfig& config) {
    if (status_ != 0) {
        return status_;
    }
    channelStatus_ = 0;
    for (uint8_t i = 0; i < 4; ++i) {
        channels_[i].reset();
        channelStatus_ |=
            static_cast<uint8_t>(CreateChannel(i, config.channels[i].type) << (2 * i));
    }
    // Only the DP master family runs remotely; the server is not asked.
    if (channelStatus_ != 0) {
        status_ = 8;
        return status_;
    }
    uint8_t bytes[1 + remote::kConfigSize] = {remote::kConfigure};
    remote::encodeConfig(config, bytes + 1);
    uint8_t answer[remote::kConfigReplySize] = {};
    if (request(bytes, sizeof bytes, answer, kConfigureLimitMs) != remote::kReplyOk) {
        status_ = kRemoteFailed;
        return status_;
    }
    status_ = answer[0];
    channelStatus_ = answer[1];
    return status_;
}

uint8_t CTcpipDevice::Restart() {
    const uint8_t restart = remote::kRestart;
    request(&restart, 1, nullptr);
    // Answers as a failed restart, so that ResetDevice does not wait for a board that
    // the server restarts on its own.
    return kRemoteFailed;
}

// ---------------------------------------------------------------------- CTcpipChannel

CTcpipChannel::CTcpipChannel(CTcpipDevice& board, uint8_t index)
    : CDeviceChannel(board, index), tcpip_(board) {}

CTcpipChannel::~CTcpipChannel() {
    watch_.stop(kWatchStopMs);
}

void CTcpipChannel::endWatch() {
    if (watching()) {
        StopWatch();
        board_.platform().clock().sleepMs(200);
    }
}

uint8_t CTcpipChannel::StartWatch(NuboxReportCallback callback, uint32_t userValue,
                                  uint16_t periodMs) {
    if (watch_.running()) {
        return 4;
    }
    if (!callback) {
        return 5;
    }
    callback_ = callback;
    userValue_ = userValue;
    // A period of 0 would ask the server without pause.
    period_ = periodMs ? periodMs : 1;
    return watch_.start(board_.platform(), [this](Event& stop) { ThreadBody(stop); }) ? 0 : 5;
}

uint8_t CTcpipChannel::StopWatch() {
    if (!watch_.running()) {
        return 5;
    }
    watch_.stop(kWatchStopMs);
    return 0;
}

void CTcpipChannel::ThreadBody(Event& stop) {
    while (!stop.wait(period_)) {
        if (Poll()) {
            Notify();
        }
    }
}

}  // namespace nuboxlink
