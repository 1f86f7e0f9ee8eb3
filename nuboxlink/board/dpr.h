// Access to the dual-port RAM shared with the board's processor. The board writes
// while we read, so every byte goes to memory each time (atomic byte access, never a
// cached copy). Every load is an acquire and every store a release (plain moves on x86),
// so the handover bytes (flags, counters, the command byte) keep the mailbox and data
// bytes they hand over in order, without fences. That is not enough where a side stores
// its claim and then reads the other side's (the DP slave's record lock): a load may pass
// an earlier store to another byte, so such bytes are accessed sequentially consistent
// (an interlocked store on x86). No offset ever comes from DPR contents, and every access
// is checked against the mapping, so a board that writes garbage cannot make the library
// touch foreign memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

namespace nuboxlink {

class Dpr {
  public:
    Dpr() = default;
    Dpr(uint8_t* base, uint32_t size) : base_(base), size_(size) {}

    bool valid() const { return base_ != nullptr; }
    uint32_t size() const { return size_; }
    bool contains(uint32_t offset, uint32_t n) const {
        return base_ && offset <= size_ && n <= size_ - offset;
    }

    uint8_t get(uint32_t offset, std::memory_order order = std::memory_order_acquire) const {
        if (!contains(offset, 1)) {
            return 0xFF;
        }
        return std::atomic_ref<uint8_t>(base_[offset]).load(order);
    }
    void put(uint32_t offset, uint8_t value, std::memory_order order = std::memory_order_release) {
        if (contains(offset, 1)) {
            std::atomic_ref<uint8_t>(base_[offset]).store(value, order);
        }
    }
    void read(uint32_t offset, void* dst, uint32_t n) const {
        auto* out = static_cast<uint8_t*>(dst);
        if (!contains(offset, n)) {
            std::memset(out, 0, n);
            return;
        }
        for (uint32_t i = 0; i < n; ++i) {
            out[i] = std::atomic_ref<uint8_t>(base_[offset + i]).load(std::memory_order_acquire);
        }
    }
    void write(uint32_t offset, const void* src, uint32_t n) {
        if (!contains(offset, n)) {
            return;
        }
        auto* in = static_cast<const uint8_t*>(src);
        for (uint32_t i = 0; i < n; ++i) {
            std::atomic_ref<uint8_t>(base_[offset + i]).store(in[i], std::memory_order_release);
        }
    }
    uint16_t get16be(uint32_t offset) const {
        return static_cast<uint16_t>(get(offset) << 8 | get(offset + 1));
    }
    void put16be(uint32_t offset, uint16_t v) {
        put(offset, static_cast<uint8_t>(v >> 8));
        put(offset + 1, static_cast<uint8_t>(v));
    }

  private:
    uint8_t* base_ = nullptr;
    uint32_t size_ = 0;
};

// The text the firmware leaves at offset 14 once it has started.
inline constexpr char kReadySignature[] = "Hurra, hurra, das DPR ist da!";
inline constexpr uint32_t kReadySignatureLength = 29;
inline constexpr uint32_t kAreaAOffset = 14;

inline bool hasReadySignature(const Dpr& dpr) {
    uint8_t text[kReadySignatureLength];
    dpr.read(kAreaAOffset, text, kReadySignatureLength);
    return std::memcmp(text, kReadySignature, kReadySignatureLength) == 0;
}

// One of the three DPR areas handed out front to back; set up anew for every board.
struct AreaAllocator {
    uint32_t next = 0;
    uint32_t last = 0;  // last byte of the area

    // Fails when the allocation's last byte would lie beyond the area; next advances
    // even then, so later channels fail too. An empty allocation (a DP master channel
    // without process data) has no last byte and always fits.
    bool take(uint32_t n, uint32_t* offset) {
        *offset = next;
        uint64_t end = static_cast<uint64_t>(next) + n;
        next = static_cast<uint32_t>(end);
        return end <= static_cast<uint64_t>(last) + 1;
    }
};

}  // namespace nuboxlink
