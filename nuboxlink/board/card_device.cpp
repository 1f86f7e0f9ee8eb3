#include "nuboxlink/board/card_device.h"

#include <cstdio>

#include "nuboxlink/interface/library.h"

namespace nuboxlink {

std::string cardDeviceName(unsigned slot) {
    return "_nuBOX_Card" + std::to_string(slot);
}

// -------------------------------------------------------------------- CPcmciaDeviceNT

CPcmciaDeviceNT::CPcmciaDeviceNT(Library& library, uint8_t number)
    : CIsaDevice(library, number, 0, NUBOX_KIND_PCMCIA, 0) {}

CPcmciaDeviceNT::~CPcmciaDeviceNT() {
    destroyChannels();
    closeHandle();
}

std::string CPcmciaDeviceNT::DeviceName(unsigned) const {
    return cardDeviceName(0);
}

void CPcmciaDeviceNT::releaseCard() {
    if (status_ == 3) {
        return;
    }
    std::lock_guard lock(requestLock_);
    if (handle_) {
        handle_->control(kIoRelease, nullptr, 0, nullptr, 0, nullptr);
    }
}

void CPcmciaDeviceNT::Close() {
    // The watch threads read the DPR: they end before the handle and its mapping go.
    stopWatches();
    releaseCard();
    closeHandle();
    token_.reset();
}

// ------------------------------------------------------------------- CPcmciaDeviceWDM

CPcmciaDeviceWDM::CPcmciaDeviceWDM(Library& library, uint8_t number, uint8_t socket)
    : CPcmciaDeviceNT(library, number), socket_(socket) {
    char token[64];
    std::snprintf(token, sizeof token, "talvik_system/nuBOXcard/SocketNr%02d", socket);
    // The card driver answers the socket number in the id's low byte.
    status_ = claimSlot(library.cardSlots(), socket, 0x00FF, token, cardDeviceName, slot_);
}

CPcmciaDeviceWDM::~CPcmciaDeviceWDM() {
    destroyChannels();
    stopRemovalThread();
    closeHandle();
    if (slot_ != kNoSlot) {
        library_.cardSlots().used[slot_] = false;
    }
}

std::string CPcmciaDeviceWDM::DeviceName(unsigned) const {
    return cardDeviceName(slot_);
}

uint8_t CPcmciaDeviceWDM::Open() {
    if (status_ != 0) {
        return status_;
    }
    if (IsOpen()) {
        return 0;
    }
    removal_ = platform().createEvent();
    released_ = platform().createEvent();
    if (!removal_ || !released_ || openHandle(cardDeviceName(slot_)) != 0) {
        removal_.reset();
        released_.reset();
        status_ = 1;
        return status_;
    }
    bool registered;
    {
        std::lock_guard lock(requestLock_);
        Event* events[2] = {removal_.get(), released_.get()};
        registered = handle_->registerEvents(kIoRegisterEvents, events, 2);
    }
    if (!registered) {
        closeHandle();
        status_ = 2;
        return status_;
    }
    try {
        thread_ = std::thread([this] { removalThread(); });
    } catch (...) {
        {
            std::lock_guard lock(requestLock_);
            handle_->control(kIoRegisterEvents, nullptr, 0, nullptr, 0, nullptr);
        }
        closeHandle();
        status_ = 1;
    }
    return status_;
}

void CPcmciaDeviceWDM::removalThread() {
    // Card pulled (or the library closing): from now on the board is not open. The
    // handle, and the DPR mapping with it, stay until the board is closed, as a channel
    // call that got past its open check may still be reading the DPR.
    removal_->wait(-1);
    open_.store(false, std::memory_order_release);
    released_->set();
}

void CPcmciaDeviceWDM::stopRemovalThread() {
    if (!thread_.joinable()) {
        return;
    }
    removal_->set();
    if (released_->wait(3000)) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

void CPcmciaDeviceWDM::Close() {
    stopWatches();
    {
        std::lock_guard lock(requestLock_);
        if (handle_) {
            handle_->control(kIoRegisterEvents, nullptr, 0, nullptr, 0, nullptr);
        }
    }
    releaseCard();
    stopRemovalThread();
    closeHandle();
    token_.reset();
}

}  // namespace nuboxlink
