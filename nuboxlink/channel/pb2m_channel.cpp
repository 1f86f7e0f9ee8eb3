#include "nuboxlink/channel/pb2m_channel.h"

#include <cstring>

#include "nuboxlink/board/device.h"

namespace nuboxlink {

namespace {
// Host and board flag bits.
constexpr uint8_t kCommand2 = 0x01;
constexpr uint8_t kCommand1 = 0x02;
constexpr uint8_t kReport2 = 0x04;
constexpr uint8_t kReport1 = 0x08;
constexpr uint8_t kLastCommandWasTwo = 0x10;    // host: which command slot came last
constexpr uint8_t kBoardReportOneFirst = 0x10;  // board: with both waiting, slot 1 is older
constexpr uint8_t kReset = 0x20;
// What an ISA-family board answers to a reset, as the boards always have.
constexpr uint8_t kIsaResetAnswer = 5;
// The USB request carries its message length less 64: header, data and the two bytes
// of code and length.
constexpr size_t kUsbMessage = kPb2mHeader + kPb2mData + 2;
// A report from the box: header, data and two further bytes.
constexpr size_t kUsbReport = kPb2mHeader + kPb2mData + 2;
}  // namespace

CPb2mIsa::CPb2mIsa(CIsaDevice& board, uint8_t index)
    : CIsaChannel(board, index), dpr_(board.dpr()) {}

CPb2mIsa::~CPb2mIsa() {
    endWatch(*this);
}

uint8_t CPb2mIsa::Init(uint16_t) {
    if (!takeChannelAreas(isaBoard_,
                          {{kPb2mHeader, &report1_.header},
                           {kPb2mData, &report1_.data},
                           {kPb2mHeader, &report2_.header},
                           {kPb2mData, &report2_.data},
                           {kPb2mHeader, &command1_.header},
                           {kPb2mData, &command1_.data},
                           {kPb2mHeader, &command2_.header},
                           {kPb2mData, &command2_.data}},
                          &hostFlag_, &boardFlag_)) {
        return 2;
    }
    flags_.bind(dpr_, hostFlag_, boardFlag_);
    fillReportMailbox(dpr_, report1_.data);
    fillReportMailbox(dpr_, report2_.data);
    initialised_ = true;
    return 0;
}

void CPb2mIsa::Descriptor(uint16_t, uint8_t out[3]) {
    out[0] = NUBOX_CHANNEL_PB2M;
    out[1] = 0;
    out[2] = 0;
}

uint8_t CPb2mIsa::WriteCommand(uint8_t code, const uint8_t* data) {
    if (!initialised_) {
        return 5;
    }
    const int slot = freeMailbox(flags_.differing(), kCommand1, kCommand2);
    if (slot == 0) {
        return 6;
    }
    const Slot& s = slot == 1 ? command1_ : command2_;
    const uint8_t header[kPb2mHeader] = {index_, code, 0, 0, 0, 0};
    dpr_.write(s.header, header, kPb2mHeader);
    dpr_.write(s.data, data, kPb2mData);
    flags_.handOverCommand(slot, kCommand1, kCommand2, kLastCommandWasTwo);
    return 0;
}

uint8_t CPb2mIsa::GetReport(uint8_t* code, uint8_t* data) {
    if (!initialised_) {
        return 5;
    }
    const int slot =
        waitingMailbox(flags_.board(), flags_.local(), kReport1, kReport2, kBoardReportOneFirst);
    if (slot == 0) {
        return 7;
    }
    const Slot& s = slot == 1 ? report1_ : report2_;
    *code = dpr_.get(s.header + 1);
    dpr_.read(s.data, data, kPb2mData);
    flags_.change(slot == 1 ? kReport1 : kReport2);
    return 0;
}

uint8_t CPb2mIsa::Reset() {
    if (!initialised_) {
        return 5;
    }
    flags_.change(kReset);
    return kIsaResetAnswer;
}

bool CPb2mIsa::Poll() {
    return initialised_ && (flags_.differing() & (kReport1 | kReport2)) != 0;
}

// ------------------------------------------------------------------------------ USB

bool initBoxWithoutParameter(CUsbDevice& usb, uint8_t& lastInitStatus) {
    if (lastInitStatus == 0) {
        return true;
    }
    lastInitStatus = usb.shortForm(0xB0, 0, 0);
    return lastInitStatus == 0;
}

bool CPb2mUsb::InitBox(const DeviceConfig&) {
    return initBoxWithoutParameter(usb_, lastInitStatus_);
}

uint8_t CPb2mUsb::Init(uint16_t) {
    return lastInitStatus_;
}

uint8_t CPb2mUsb::WriteCommand(uint8_t code, const uint8_t* data) {
    // [0xB1][length - 64][header {0, code, 0, 0, 0, 0}][data]
    std::vector<uint8_t> message(kUsbMessage, 0);
    message[0] = 0xB1;
    message[1] = static_cast<uint8_t>((kUsbMessage - 64) % 256);
    message[2 + 1] = code;
    std::memcpy(message.data() + 2 + kPb2mHeader, data, kPb2mData);
    uint8_t taken = 0;
    if (!usb_.transfer(message, &taken, 1)) {
        return 5;
    }
    return taken ? 0 : 6;
}

uint8_t CPb2mUsb::GetReport(uint8_t* code, uint8_t* data) {
    std::vector<uint8_t> reply;
    if (!usb_.transferDependent(
            {0xB2}, 1, [](const uint8_t* head) -> size_t { return head[0] ? kUsbReport : 0; },
            &reply)) {
        return 5;
    }
    if (reply[0] == 0) {
        return 7;
    }
    *code = reply[1 + 1];
    std::memcpy(data, reply.data() + 1 + kPb2mHeader, kPb2mData);
    return 0;
}

uint8_t CPb2mUsb::Reset() {
    uint8_t answer = 0;
    return usb_.transfer({0xB4}, &answer, 1) ? answer : 5;
}

}  // namespace nuboxlink
