#include "nuboxlink/channel/list_channel.h"

#include <algorithm>
#include <cstring>

#include "nuboxlink/board/device.h"

namespace nuboxlink {

namespace {
// Host and board flag bits of the mailbox pair.
constexpr uint8_t kCommandBit = 0x01;
constexpr uint8_t kReportBit = 0x02;
// The status word: update counter, then the entry being updated.
constexpr uint32_t kStatusCounter = 0;
constexpr uint32_t kStatusEntry = 1;
constexpr uint32_t kStatusBytes = 2;
}  // namespace

CListIsa::CListIsa(CIsaDevice& board, uint8_t index)
    : CIsaChannel(board, index), dpr_(board.dpr()) {}

CListIsa::~CListIsa() {
    endWatch(*this);
}

uint8_t CListIsa::Init(uint16_t parameter) {
    if (!takeChannelAreas(isaBoard_,
                          {{parameter, &data_},
                           {kStatusBytes, &status_},
                           {kMailboxBytes, &reportBox_},
                           {kMailboxBytes, &commandBox_}},
                          &hostFlag_, &boardFlag_)) {
        return 2;
    }
    flags_.bind(dpr_, hostFlag_, boardFlag_);
    fillReportMailbox(dpr_, reportBox_);
    dataSize_ = parameter;
    initialised_ = true;
    return 0;
}

void CListIsa::Descriptor(uint16_t parameter, uint8_t out[3]) {
    out[0] = NUBOX_CHANNEL_LIST;
    out[1] = static_cast<uint8_t>(parameter >> 8);
    out[2] = static_cast<uint8_t>(parameter);
}

uint8_t CListIsa::WriteCommand(const uint8_t* block, uint8_t length) {
    if (!initialised_) {
        return 5;
    }
    if (flags_.differing() & kCommandBit) {
        return 6;
    }
    dpr_.write(commandBox_, block, length);
    flags_.change(kCommandBit);
    return 0;
}

uint8_t CListIsa::GetReport(uint8_t* report) {
    if (!initialised_) {
        return 5;
    }
    if ((flags_.differing() & kReportBit) == 0) {
        return 7;
    }
    dpr_.read(reportBox_, report, kMailboxBytes);
    flags_.change(kReportBit);
    return 0;
}

bool CListIsa::Poll() {
    return initialised_ && (flags_.differing() & kReportBit) != 0;
}

uint8_t CListIsa::ReadInputData(ListEntry* entry, uint16_t offset, uint8_t station) {
    // The entry's value and length byte must lie inside the data area; its data is cut
    // where the area ends, whatever the board's length byte says.
    if (!initialised_ || uint32_t{offset} + kListEntryHead > dataSize_) {
        return 5;
    }
    const uint32_t at = data_ + offset;
    const uint32_t room = dataSize_ - offset - kListEntryHead;
    uint32_t value = 0;
    uint8_t length = 0;
    auto copy = [&] {
        uint8_t head[kListEntryHead];
        dpr_.read(at, head, kListEntryHead);
        value =
            uint32_t{head[0]} << 24 | uint32_t{head[1]} << 16 | uint32_t{head[2]} << 8 | head[3];
        length = static_cast<uint8_t>(std::min<uint32_t>(head[4], room));
        dpr_.read(at + kListEntryHead, entry->data, length);
    };
    // Unlike the DP master's, the station byte here has no value that means "all".
    if (!consistentCopy(isaBoard_.platform().clock(), dpr_, status_ + kStatusCounter,
                        status_ + kStatusEntry, copy,
                        [station](uint8_t s) { return s == station; })) {
        return 5;
    }
    entry->value = value;
    entry->length = length;
    return 0;
}

// ------------------------------------------------------------------------------ USB

uint8_t CListUsb::Init(uint16_t parameter) {
    return usb_.shortForm(0xB0, static_cast<uint8_t>(parameter >> 8),
                          static_cast<uint8_t>(parameter));
}

uint8_t CListUsb::WriteCommand(const uint8_t* block, uint8_t length) {
    return usb_.blockForm(0xB1, block, length);
}

uint8_t CListUsb::GetReport(uint8_t* report) {
    return usb_.fetchForm(0xB2, report);
}

uint8_t CListUsb::ReadInputData(ListEntry* entry, uint16_t offset, uint8_t station) {
    std::vector<uint8_t> reply;
    const std::vector<uint8_t> request = {0xB4, station, static_cast<uint8_t>(offset >> 8),
                                          static_cast<uint8_t>(offset)};
    if (!usb_.transferDependent(
            request, kListEntryHead, [](const uint8_t* head) -> size_t { return head[4]; },
            &reply)) {
        return 5;
    }
    // The value as the box sends it; the length byte cannot exceed the entry's 255 bytes.
    std::memcpy(&entry->value, reply.data(), 4);
    entry->length = reply[4];
    std::memcpy(entry->data, reply.data() + kListEntryHead, reply[4]);
    return 0;
}

}  // namespace nuboxlink
