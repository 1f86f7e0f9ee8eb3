#include "session/image_records.h"

#include <array>

#include "base/text_parse.h"
#include "session/tbootloader.h"

namespace romtide {

namespace {

constexpr uint32_t kDeviceAddressMask = 0xFFFFFF;

// Digits of the address field for a record type; 0 for a type the rules do not read.
size_t addressDigits(char type, RecordHead::Kind* kind) {
    switch (type) {
        case '1':
        case '2':
        case '3':
            *kind = RecordHead::Kind::Data;
            return static_cast<size_t>(type - '1' + 2) * 2;
        case '7':
        case '8':
        case '9':
            *kind = RecordHead::Kind::Start;
            return static_cast<size_t>('9' - type + 2) * 2;
        default:
            *kind = RecordHead::Kind::Other;
            return 0;
    }
}

constexpr size_t kCountAt = 2;
constexpr size_t kAddressAt = 4;
constexpr size_t kChecksumBytes = 1;

}  // namespace

RecordHead recordHead(const char* line, size_t length) {
    RecordHead head;
    if (length < 2 || (line[0] != 'S' && line[0] != 's')) {
        return head;
    }
    RecordHead::Kind kind;
    size_t digits = addressDigits(line[1], &kind);
    if (digits == 0) {
        return head;
    }
    head.kind = kind;
    for (size_t i = kAddressAt; i < kAddressAt + digits && i < length; ++i) {
        int d = hexDigitValue(line[i]);
        if (d < 0) {
            break;
        }
        head.address = head.address * 16 + static_cast<uint32_t>(d);
    }
    if (kind == RecordHead::Kind::Data) {
        int high = length > kCountAt ? hexDigitValue(line[kCountAt]) : -1;
        int low = length > kCountAt + 1 ? hexDigitValue(line[kCountAt + 1]) : -1;
        uint32_t overhead = static_cast<uint32_t>(digits / 2 + kChecksumBytes);
        uint32_t count = high >= 0 && low >= 0 ? static_cast<uint32_t>(high * 16 + low) : 0;
        head.length = count > overhead ? count - overhead : 1;
    }
    return head;
}

bool writesBootloaderArea(const RecordHead& record) {
    if (record.kind != RecordHead::Kind::Data) {
        return false;
    }
    // At most 252 bytes from the 24-bit address: the range cannot wrap round to the area.
    uint32_t first = record.address & kDeviceAddressMask;
    uint32_t last = first + record.length - 1;
    return first <= kBootloaderLast && last >= kBootloaderFirst;
}

bool namesResetAddress(const RecordHead& record) {
    return record.kind == RecordHead::Kind::Start &&
           (record.address & kDeviceAddressMask) == kResetAddress;
}

}  // namespace romtide
