#include "nuboxlink/channel/dpem_channel.h"

#include <cstring>

#include "nuboxlink/board/device.h"
#include "nuboxlink/channel/dpr_channel.h"

namespace nuboxlink {

CDpemIsa::CDpemIsa(CIsaDevice& board, uint8_t index)
    : CIsaChannel(board, index), dpr_(board.dpr()) {}

CDpemIsa::~CDpemIsa() {
    if (watching()) {
        StopWatch();
        isaBoard_.platform().clock().sleepMs(200);
    }
}

uint8_t CDpemIsa::Init(uint16_t parameter) {
    if (!takeChannelAreas(isaBoard_,
                          {{parameter, &data_},
                           {kStatusBlockSize, &status_},
                           {kMailboxSize, &reportBox_},
                           {kMailboxSize, &commandBox_}},
                          &hostFlag_, &boardFlag_)) {
        return 2;
    }
    std::lock_guard lock(lock_);
    localFlags_ = dpr_.get(hostFlag_);
    fillReportMailbox(dpr_, reportBox_);
    dataSize_ = parameter;
    initialised_ = true;
    return 0;
}

void CDpemIsa::Descriptor(uint16_t parameter, uint8_t out[3]) {
    out[0] = NUBOX_CHANNEL_DPEM;
    out[1] = static_cast<uint8_t>(parameter >> 8);
    out[2] = static_cast<uint8_t>(parameter);
}

bool CDpemIsa::reportWaiting() {
    return ((dpr_.get(boardFlag_) ^ localFlags_) & 2) != 0;
}

void CDpemIsa::acknowledgeReport() {
    localFlags_ ^= 2;
    dpr_.put(hostFlag_, localFlags_);
}

uint8_t CDpemIsa::WriteCommand(const uint8_t* block, uint16_t length) {
    if (!initialised_) {
        return 5;
    }
    std::lock_guard lock(lock_);
    if ((dpr_.get(boardFlag_) ^ localFlags_) & 1) {
        return 6;
    }
    dpr_.write(commandBox_, block, length > kMailboxSize ? kMailboxSize : length);
    localFlags_ ^= 1;
    dpr_.put(hostFlag_, localFlags_);
    return 0;
}

uint8_t CDpemIsa::GetReport(uint8_t* report) {
    if (!initialised_) {
        return 5;
    }
    std::lock_guard lock(lock_);
    if (count_ > 0) {
        std::memcpy(report, ring_[readIndex_].data(), kMailboxSize);
        readIndex_ = (readIndex_ + 1) % kReportRingSize;
        --count_;
        return 0;
    }
    if (reportWaiting()) {
        dpr_.read(reportBox_, report, kMailboxSize);
        acknowledgeReport();
        return 0;
    }
    return 7;
}

bool CDpemIsa::Poll() {
    if (!initialised_) {
        return false;
    }
    std::lock_guard lock(lock_);
    bool waiting = reportWaiting();
    if (waiting && count_ < kReportRingSize) {
        dpr_.read(reportBox_, ring_[writeIndex_].data(), kMailboxSize);
        acknowledgeReport();
        writeIndex_ = (writeIndex_ + 1) % kReportRingSize;
        ++count_;
    }
    return waiting || count_ > 0;
}

unsigned CDpemIsa::queuedReports() {
    std::lock_guard lock(lock_);
    return count_;
}

uint8_t CDpemIsa::WriteOutputData(const uint8_t* source, uint16_t offset, uint8_t length,
                                  uint8_t station) {
    // A range beyond the channel's data area would write into the status block and the
    // mailboxes behind it: refused as a failed transfer.
    if (!initialised_ || (length > 0 && (!source || offset + length > dataSize_))) {
        return 5;
    }
    dpr_.put(status_ + kStatusOutputCounter,
             static_cast<uint8_t>(dpr_.get(status_ + kStatusOutputCounter) + 1));
    dpr_.put(status_ + kStatusOutputStation, station);
    dpr_.write(data_ + offset, source, length);
    dpr_.put(status_ + kStatusOutputCounter,
             static_cast<uint8_t>(dpr_.get(status_ + kStatusOutputCounter) + 1));
    return 0;
}

uint8_t CDpemIsa::ReadInputData(uint8_t* destination, uint16_t offset, uint8_t length,
                                uint8_t station) {
    if (!initialised_ || (length > 0 && (!destination || offset + length > dataSize_))) {
        return 5;
    }
    // The copy counts as torn while the board updates the caller's station or all
    // stations (0x7F).
    const bool ok = consistentCopy(
        isaBoard_.platform().clock(), dpr_, status_ + kStatusInputCounter,
        status_ + kStatusInputStation, [&] { dpr_.read(data_ + offset, destination, length); },
        [station](uint8_t s) { return s == station || s == 0x7F; });
    return ok ? 0 : 5;
}

uint8_t CDpemIsa::DataExchange(DataTransferRecord* const* records) {
    if (!records) {
        return 0;
    }
    for (; *records; ++records) {
        const DataTransferRecord& r = **records;
        uint8_t result = WriteOutputData(r.output, r.outputOffset, r.outputLength, r.station);
        if (result == 0) {
            result = ReadInputData(r.input, r.inputOffset, r.inputLength, r.station);
        }
        if (result != 0) {
            return result;
        }
    }
    return 0;
}

uint8_t CDpemIsa::WriteRemoteAccessFlag(uint8_t flag) {
    dpr_.put(status_ + kStatusRemoteAccess, flag);
    return 0;
}

uint8_t CDpemIsa::ReadDataTransferList(uint8_t* list) {
    dpr_.read(status_ + kStatusTransferList, list, 16);
    return 0;
}

uint8_t CDpemIsa::ReadSystemDiagnostic(uint8_t* diag) {
    dpr_.read(status_ + kStatusDiagnostic, diag, 16);
    return 0;
}

uint8_t CDpemIsa::ReadDiagState(uint8_t* out) {
    *out = (dpr_.get(boardFlag_) >> 2) & 1;
    return 0;
}

uint8_t CDpemIsa::StationOnline(uint8_t* out) {
    *out = dpr_.get(status_ + kStatusOnline);
    return 0;
}

uint8_t CDpemIsa::StartWatch(NuboxReportCallback callback, uint32_t userValue, uint16_t periodMs) {
    uint8_t r = CIsaChannel::StartWatch(callback, userValue, periodMs);
    if (r != 0) {
        return r;
    }
    notifyPeriod_ = periodMs ? periodMs : 1;
    if (!notifier_.start(isaBoard_.platform(), [this](Event& stop) { notifierBody(stop); })) {
        CIsaChannel::StopWatch();
        return 5;
    }
    return 0;
}

uint8_t CDpemIsa::StopWatch() {
    if (!watching()) {
        return 5;
    }
    notifier_.stop(3000);
    return CIsaChannel::StopWatch();
}

void CDpemIsa::notifierBody(Event& stop) {
    // The application's callback runs here, never on the polling thread, so its work
    // cannot delay taking reports from the DPR.
    while (!stop.wait(notifyPeriod_)) {
        if (!board_.IsOpen()) {
            return;
        }
        if (Poll()) {
            if (!board_.IsOpen()) {
                return;
            }
            callback_(board_.number(), index_, userValue_);
        }
    }
}

}  // namespace nuboxlink
