// The wire form of a driver endpoint: a Unix-domain stream socket per board device name.
// Each request is a header and its input bytes; each reply a header and its output
// bytes. Map requests carry the DPR as a shared-memory descriptor, and event
// registration carries eventfds, both as SCM_RIGHTS beside the header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nuboxlink::endpoint {

enum Op : uint8_t { kOpen = 1, kControl = 2, kRead = 3, kWrite = 4, kClose = 5 };
enum Status : uint8_t { kOk = 0, kFailed = 1, kSharingViolation = 2 };

struct RequestHeader {
    uint8_t op;
    uint8_t pad[3];
    uint32_t code;    // control code
    uint32_t length;  // input bytes that follow; for a read, the bytes wanted
};

struct ReplyHeader {
    uint8_t status;
    uint8_t pad[3];
    uint32_t length;  // output bytes that follow
};

static_assert(sizeof(RequestHeader) == 12 && sizeof(ReplyHeader) == 8);

// Neither side accepts more than this in one message: a peer cannot make us allocate
// without bound.
inline constexpr uint32_t kMaxPayload = 65536;

// Sends all bytes, with up to `fdCount` descriptors beside the first byte.
bool sendAll(int sock, const void* data, size_t n, const int* fds = nullptr, size_t fdCount = 0);
// Receives exactly n bytes within `timeoutMs` (negative: no limit); descriptors that
// arrive are appended to `fds` (or closed when `fds` is null).
bool recvAll(int sock, void* data, size_t n, int timeoutMs, std::vector<int>* fds = nullptr);

}  // namespace nuboxlink::endpoint
