#include "nuboxlink/board/usb_device.h"

#include <cstdio>
#include <new>

#include "nuboxlink/channel/families.h"
#include "nuboxlink/interface/library.h"

namespace nuboxlink {

namespace {
constexpr uint8_t kUsbStop = 208;
constexpr uint8_t kUsbStart = 209;
}  // namespace

// ------------------------------------------------------------------------ CUsbChannel

CUsbChannel::CUsbChannel(CUsbDevice& board) : CDeviceChannel(board, 0), usb_(board) {}

uint8_t CUsbChannel::StartWatch(NuboxReportCallback callback, uint32_t userValue, uint16_t) {
    {
        std::lock_guard lock(lock_);
        if (callback_) {
            return 4;
        }
        if (!callback) {
            return 5;
        }
        callback_ = callback;
        userValue_ = userValue;
    }
    return arm() ? 0 : 5;
}

uint8_t CUsbChannel::StopWatch() {
    std::lock_guard lock(lock_);
    callback_ = nullptr;
    return 0;
}

bool CUsbChannel::arm() {
    return usb_.sendArm(ArmCode());
}

void CUsbChannel::Notify() {
    NuboxReportCallback callback;
    uint32_t user;
    {
        std::lock_guard lock(lock_);
        callback = callback_;
        user = userValue_;
    }
    if (callback) {
        // USB boxes run one channel: the callback always names channel 0.
        callback(board_.number(), 0, user);
        arm();
    }
}

// ------------------------------------------------------------------------- CUsbDevice

CUsbDevice::CUsbDevice(Library& library, uint8_t number, uint16_t boardId)
    : CDevice(library, number, boardId >= 8192 ? NUBOX_KIND_USB_HIGH : NUBOX_KIND_USB, boardId) {
    char token[64];
    std::snprintf(token, sizeof token, "talvik_system/nuBOXusb/DeviceID%04X", boardId);
    status_ = claimSlot(library.usbSlots(), boardId, 0xFFFF, token, usbDeviceName, slot_);
}

CUsbDevice::~CUsbDevice() {
    // The notification thread calls channel 0: it ends before the channel goes.
    stopNotificationThread();
    destroyChannels();
    {
        std::lock_guard lock(requestLock_);
        closeHandleLocked();
    }
    if (slot_ != kNoSlot) {
        library_.usbSlots().used[slot_] = false;
    }
}

CUsbChannel* CUsbDevice::channel0() {
    // Channel 0 is made while the notification thread already runs.
    std::lock_guard lock(requestLock_);
    return channels_[0] ? dynamic_cast<CUsbChannel*>(&channels_[0]->transport()) : nullptr;
}

void CUsbDevice::closeHandleLocked() {
    open_.store(false, std::memory_order_release);
    dropDriver(handle_);
}

uint8_t CUsbDevice::Open() {
    if (status_ != 0) {
        return status_;
    }
    if (IsOpen()) {
        return 0;
    }
    Platform& p = platform();
    stop_ = p.createEvent();
    released_ = p.createEvent();
    notify_ = p.createEvent();
    OpenResult why;
    std::unique_ptr<DriverHandle> handle =
        stop_ && released_ && notify_ ? p.openDriver(usbDeviceName(slot_), &why) : nullptr;
    Event* events[3] = {stop_.get(), released_.get(), notify_.get()};
    if (!handle || !handle->registerEvents(kIoRegisterEvents, events, 3)) {
        stop_.reset();
        released_.reset();
        notify_.reset();
        status_ = 2;
        return status_;
    }
    {
        std::lock_guard lock(requestLock_);
        handle_ = std::move(handle);
        watchDriver(handle_.get());
        open_.store(true, std::memory_order_release);
    }
    try {
        thread_ = std::thread([this] { notificationThread(); });
    } catch (...) {
        std::lock_guard lock(requestLock_);
        handle_->control(kIoRegisterEvents, nullptr, 0, nullptr, 0, nullptr);
        closeHandleLocked();
        status_ = 1;
    }
    return status_;
}

void CUsbDevice::notificationThread() {
    for (;;) {
        int which = platform().waitEither(*notify_, *stop_, -1);
        if (which == 0) {
            notify_->reset();
            if (CUsbChannel* c = channel0()) {
                c->Notify();
            }
            continue;
        }
        // Stopped, unplugged, or the wait failed: the box is gone for this process.
        {
            std::lock_guard lock(requestLock_);
            closeHandleLocked();
        }
        released_->set();
        return;
    }
}

void CUsbDevice::stopNotificationThread() {
    if (!thread_.joinable()) {
        return;
    }
    stop_->set();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else if (released_->wait(3000)) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

void CUsbDevice::Close() {
    {
        std::lock_guard lock(requestLock_);
        if (handle_) {
            handle_->control(kIoRegisterEvents, nullptr, 0, nullptr, 0, nullptr);
        }
    }
    if (status_ != 3) {
        usbControl(kUsbStop);
    }
    stopNotificationThread();
    std::lock_guard lock(requestLock_);
    closeHandleLocked();
    token_.reset();
}

uint8_t CUsbDevice::CreateChannel(uint8_t index, uint8_t type) {
    if (type == NUBOX_CHANNEL_NONE) {
        return 0;
    }
    if (index != 0) {
        return 1;
    }
    try {
        std::unique_ptr<CChannel> channel = makeUsbChannel(*this, type);
        if (!channel) {
            return 1;
        }
        std::lock_guard lock(requestLock_);
        channels_[0] = std::move(channel);
    } catch (const std::bad_alloc&) {
        return 2;
    }
    return 0;
}

uint8_t CUsbDevice::MapAndRestart(DeviceConfig& config) {
    if (status_ != 0) {
        return status_;
    }
    uint8_t r = CreateChannel(0, config.channels[0].type);
    if (r == 1) {
        status_ = 5;
        return status_;
    }
    if (r == 2) {
        status_ = 4;
        return status_;
    }
    CUsbChannel* c = channel0();
    if (!c) {
        return 0;
    }
    // The image goes to the driver unchanged, as delivered with the library.
    std::vector<uint8_t> image = platform().firmwareImage(c->FirmwareFamily());
    bool ok = !image.empty();
    if (ok) {
        std::lock_guard lock(requestLock_);
        ok = handle_ &&
             handle_->control(kIoDownload, image.data(), image.size(), nullptr, 0, nullptr);
    }
    if (!ok || !usbControl(kUsbStart)) {
        status_ = 2;
    }
    return status_;
}

bool CUsbDevice::IsReady(const DeviceConfig& config) {
    CUsbChannel* c = channel0();
    return c && c->InitBox(config);
}

uint8_t CUsbDevice::ConfigureChannels(const DeviceConfig& config) {
    if (status_ != 0) {
        return status_;
    }
    channelStatus_ = 0;
    if (channels_[0]) {
        status_ = channels_[0]->Init(config.channels[0].parameter);
        channelStatus_ = status_ != 0 ? 2 : 0;
    }
    return status_;
}

uint8_t CUsbDevice::Restart() {
    return usbControl(kUsbStart) ? 0 : 2;
}

bool CUsbDevice::usbControl(uint8_t request) {
    const uint8_t in[5] = {request, 0, 0, 0, 0};
    std::lock_guard lock(requestLock_);
    return handle_ && handle_->control(kIoUsbControl, in, sizeof in, nullptr, 0, nullptr);
}

bool CUsbDevice::sendArm(uint8_t code) {
    std::lock_guard lock(requestLock_);
    return handle_ && handle_->write(&code, 1) &&
           handle_->control(kIoArm, nullptr, 0, nullptr, 0, nullptr);
}

bool CUsbDevice::transfer(const std::vector<uint8_t>& message, uint8_t* reply, size_t replyLength) {
    std::lock_guard lock(requestLock_);
    if (!handle_ || !handle_->write(message.data(), message.size())) {
        return false;
    }
    if (replyLength == 0) {
        return true;
    }
    size_t got = 0;
    return handle_->read(reply, replyLength, &got) && got == replyLength;
}

bool CUsbDevice::transferDependent(const std::vector<uint8_t>& message, size_t headLength,
                                   const std::function<size_t(const uint8_t* head)>& tailLength,
                                   std::vector<uint8_t>* reply) {
    std::lock_guard lock(requestLock_);
    if (!handle_ || !handle_->write(message.data(), message.size())) {
        return false;
    }
    reply->assign(headLength, 0);
    size_t got = 0;
    if (headLength > 0 && (!handle_->read(reply->data(), headLength, &got) || got != headLength)) {
        return false;
    }
    const size_t tail = tailLength(reply->data());
    if (tail == 0) {
        return true;
    }
    reply->resize(headLength + tail);
    return handle_->read(reply->data() + headLength, tail, &got) && got == tail;
}

uint8_t CUsbDevice::shortForm(uint8_t code, uint8_t high, uint8_t low) {
    uint8_t status = 0;
    return transfer({code, high, low}, &status, 1) ? status : 2;
}

uint8_t CUsbDevice::blockForm(uint8_t code, const uint8_t* data, size_t n) {
    if (n > 256) {
        n = 256;  // the box takes at most one mailbox
    }
    std::vector<uint8_t> message = {code, static_cast<uint8_t>(n % 256)};
    message.insert(message.end(), data, data + n);
    uint8_t taken = 0;
    if (!transfer(message, &taken, 1)) {
        return 5;
    }
    return taken ? 0 : 6;
}

uint8_t CUsbDevice::fetchForm(uint8_t code, uint8_t* out256) {
    std::lock_guard lock(requestLock_);
    uint8_t any = 0;
    size_t got = 0;
    if (!handle_ || !handle_->write(&code, 1) || !handle_->read(&any, 1, &got) || got != 1) {
        return 5;
    }
    if (any == 0) {
        return 7;
    }
    return handle_->read(out256, 256, &got) && got == 256 ? 0 : 5;
}

}  // namespace nuboxlink
