#include "nuboxlink/channel/fms_channel.h"

#include "nuboxlink/board/device.h"

namespace nuboxlink {

namespace {
// Host and board flag bits.
constexpr uint8_t kLastCommandWasTwo = 0x02;    // host: which FMS command mailbox came last
constexpr uint8_t kBoardReportOneFirst = 0x02;  // board: with both waiting, mailbox 1 is older
constexpr uint8_t kFma7Command = 0x04;
constexpr uint8_t kCommand2 = 0x08;
constexpr uint8_t kCommand1 = 0x10;
constexpr uint8_t kFma7Report = 0x20;
constexpr uint8_t kReport2 = 0x40;
constexpr uint8_t kReport1 = 0x80;
}  // namespace

CFmsIsa::CFmsIsa(CIsaDevice& board, uint8_t index) : CIsaChannel(board, index), dpr_(board.dpr()) {}

CFmsIsa::~CFmsIsa() {
    endWatch(*this);
}

uint8_t CFmsIsa::Init(uint16_t) {
    if (!takeChannelAreas(isaBoard_,
                          {{kMailboxBytes, &report1_},
                           {kMailboxBytes, &report2_},
                           {kMailboxBytes, &fma7Report_},
                           {kMailboxBytes, &command1_},
                           {kMailboxBytes, &command2_},
                           {kMailboxBytes, &fma7Command_}},
                          &hostFlag_, &boardFlag_)) {
        return 2;
    }
    flags_.bind(dpr_, hostFlag_, boardFlag_);
    for (uint32_t box : {report1_, report2_, fma7Report_}) {
        fillReportMailbox(dpr_, box);
    }
    initialised_ = true;
    return 0;
}

void CFmsIsa::Descriptor(uint16_t, uint8_t out[3]) {
    out[0] = NUBOX_CHANNEL_FMS;
    out[1] = 0;
    out[2] = 0;
}

uint8_t CFmsIsa::WriteCommand(const uint8_t* block, uint8_t length) {
    if (!initialised_) {
        return 5;
    }
    const int box = freeMailbox(flags_.differing(), kCommand1, kCommand2);
    if (box == 0) {
        return 6;
    }
    dpr_.write(box == 1 ? command1_ : command2_, block, length);
    flags_.handOverCommand(box, kCommand1, kCommand2, kLastCommandWasTwo);
    return 0;
}

uint8_t CFmsIsa::WriteFma7Command(const uint8_t* block, uint8_t length) {
    if (!initialised_) {
        return 5;
    }
    if (flags_.differing() & kFma7Command) {
        return 6;
    }
    dpr_.write(fma7Command_, block, length);
    flags_.change(kFma7Command);
    return 0;
}

uint8_t CFmsIsa::GetReport(uint8_t* report) {
    if (!initialised_) {
        return 5;
    }
    const int box =
        waitingMailbox(flags_.board(), flags_.local(), kReport1, kReport2, kBoardReportOneFirst);
    if (box == 0) {
        return 7;
    }
    dpr_.read(box == 1 ? report1_ : report2_, report, kMailboxBytes);
    flags_.change(box == 1 ? kReport1 : kReport2);
    return 0;
}

uint8_t CFmsIsa::GetFma7Report(uint8_t* report) {
    if (!initialised_) {
        return 5;
    }
    if ((flags_.differing() & kFma7Report) == 0) {
        return 7;
    }
    dpr_.read(fma7Report_, report, kMailboxBytes);
    flags_.change(kFma7Report);
    return 0;
}

bool CFmsIsa::Poll() {
    return initialised_ && (flags_.differing() & (kReport1 | kReport2 | kFma7Report)) != 0;
}

// ------------------------------------------------------------------------------ USB

uint8_t CFmsUsb::Init(uint16_t) {
    return usb_.shortForm(0xB0, 0, 0);
}

uint8_t CFmsUsb::WriteCommand(const uint8_t* block, uint8_t length) {
    return usb_.blockForm(0xB1, block, length);
}

uint8_t CFmsUsb::WriteFma7Command(const uint8_t* block, uint8_t length) {
    return usb_.blockForm(0xB2, block, length);
}

uint8_t CFmsUsb::GetReport(uint8_t* report) {
    return usb_.fetchForm(0xB3, report);
}

uint8_t CFmsUsb::GetFma7Report(uint8_t* report) {
    return usb_.fetchForm(0xB4, report);
}

}  // namespace nuboxlink
