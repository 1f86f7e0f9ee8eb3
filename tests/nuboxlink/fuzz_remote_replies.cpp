// The library's side of the wire: whatever a board server sends, in whatever pieces,
// goes through the greeting check and the reply reader of a series of requests; bytes
// out of step (stray, a flood, a late reply) break the connection and are never handed
// over. Every
// reply buffer has exactly the size of its reply, so a byte copied beyond it is caught.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/clock.h"
#include "nuboxlink/remote/remote_connection.h"
#include "nuboxlink/remote/remote_protocol.h"

namespace {

using Io = nuboxlink::StreamSocket::Io;
namespace remote = nuboxlink::remote;

// Hands out the fuzz input: each piece starts with a byte whose low bits give the piece's
// length and whose top bit turns it into a time-out instead.
class FuzzSocket final : public nuboxlink::StreamSocket {
  public:
    FuzzSocket(const uint8_t* data, size_t size, romtide::VirtualClock& clock)
        : data_(data), size_(size), clock_(clock) {}

    Io send(const uint8_t*, size_t, int) override { return Io::Ok; }
    Io receive(uint8_t* dst, size_t capacity, int timeoutMs, size_t* got) override {
        *got = 0;
        if (left_ == 0) {
            if (at_ >= size_) {
                return Io::Closed;
            }
            const uint8_t head = data_[at_++];
            if (head & 0x80) {
                clock_.sleepMs(timeoutMs);
                return Io::TimedOut;
            }
            left_ = std::min<size_t>(1 + (head & 0x7F), size_ - at_);
        }
        const size_t n = std::min(capacity, left_);
        std::copy(data_ + at_, data_ + at_ + n, dst);
        at_ += n;
        left_ -= n;
        *got = n;
        return n > 0 ? Io::Ok : Io::Closed;
    }
    bool pending() override { return left_ > 0; }
    void shutdown() override { at_ = size_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0, left_ = 0;
    romtide::VirtualClock& clock_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    romtide::VirtualClock clock;
    nuboxlink::RemoteConnection connection(clock);
    auto socket = std::make_unique<FuzzSocket>(data, size, clock);
    if (connection.greet(std::move(socket), clock.nowMs() + 30000) !=
        nuboxlink::RemoteConnection::Opened::Ok) {
        return 0;
    }
    // One of every request, then again, with growing data lengths.
    const uint8_t codes[] = {
        remote::kConfigure,     remote::kWriteCommand,     remote::kGetReport,
        remote::kReadInput,     remote::kWriteOutput,      remote::kRemoteAccessFlag,
        remote::kTransferList,  remote::kSystemDiagnostic, remote::kDiagState,
        remote::kStationOnline, remote::kRestart};
    for (unsigned round = 0; round < 4 && !connection.broken(); ++round) {
        for (uint8_t code : codes) {
            uint8_t request[remote::kDataHeaderSize] = {
                code, 0, 0, 0, static_cast<uint8_t>(round * 70), 0};
            std::vector<uint8_t> reply(1 + remote::replyPayloadLength(request));
            auto r =
                connection.exchange(request, sizeof request, reply.data(), reply.size(), 10000);
            if (r.complete && r.status != reply[0]) {
                std::abort();
            }
            // A reply is handed over only from a connection in step, and one that was
            // not handed over leaves the connection broken: the next reply could not be
            // trusted.
            if (r.complete == connection.broken()) {
                std::abort();
            }
        }
    }
    return 0;
}
