#include "nuboxlink/board/isa_channel.h"

#include <memory>

#include "nuboxlink/board/device.h"

namespace nuboxlink {

void CDeviceChannel::Notify() {
    if (callback_) {
        callback_(board_.number(), index_, userValue_);
    }
}

CIsaChannel::CIsaChannel(CIsaDevice& board, uint8_t index)
    : CDeviceChannel(board, index), isaBoard_(board) {}

CIsaChannel::~CIsaChannel() {
    watch_.stop(3000);
}

uint8_t CIsaChannel::StartWatch(NuboxReportCallback callback, uint32_t userValue,
                                uint16_t periodMs) {
    if (watch_.running()) {
        return 4;
    }
    if (!callback) {
        return 5;
    }
    callback_ = callback;
    userValue_ = userValue;
    period_ = periodMs;
    Platform& platform = board_.platform();
    // The timer runs at the finest resolution we can have, 1 ms, whatever the period
    // of the callbacks: reports are taken from the DPR as soon as the board puts them.
    std::shared_ptr<Ticker> ticker = platform.createTicker(1);
    if (!ticker) {
        return 5;
    }
    bool started = watch_.start(platform, [this, ticker, &platform](Event& stop) {
        platform.raiseThreadPriority();
        ThreadBody(stop, *ticker);
    });
    return started ? 0 : 5;
}

uint8_t CIsaChannel::StopWatch() {
    if (!watch_.running()) {
        return 5;
    }
    watch_.stop(3000);
    return 0;
}

void CIsaChannel::ThreadBody(Event& stop, Ticker& ticker) {
    while (ticker.waitTick(stop)) {
        if (!board_.IsOpen()) {
            break;
        }
        if (Poll() && board_.IsOpen()) {
            Notify();
        }
    }
}

}  // namespace nuboxlink
