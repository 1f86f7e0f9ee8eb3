// The USB box: no DPR; commands, reports and process data travel as request forms
// written to and read from the box's driver. The box signals waiting reports through
// the notify event that the library registers with the driver; its notification
// thread calls the application back.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "nuboxlink/board/device.h"

namespace nuboxlink {

class CUsbDevice;

class CUsbChannel : public CDeviceChannel {
  public:
    explicit CUsbChannel(CUsbDevice& board);

    uint8_t StartWatch(NuboxReportCallback callback, uint32_t userValue,
                       uint16_t periodMs) override;
    uint8_t StopWatch() override;
    bool Poll() override { return false; }
    void Notify() override;

    // Readiness: the box has answered the init request with status 0.
    virtual bool InitBox(const DeviceConfig& config) = 0;
    virtual uint8_t FirmwareFamily() const = 0;
    virtual uint8_t ArmCode() const = 0;

  protected:
    bool arm();

    CUsbDevice& usb_;
    std::mutex lock_;  // callback and user value
    uint8_t lastInitStatus_ = 255;
};

class CUsbDevice final : public CDevice {
  public:
    static constexpr uint8_t kNoSlot = 16;
    CUsbDevice(Library& library, uint8_t number, uint16_t boardId);
    ~CUsbDevice() override;

    uint8_t Open() override;
    void Close() override;
    uint8_t CreateChannel(uint8_t index, uint8_t type) override;
    uint8_t MapAndRestart(DeviceConfig& config) override;
    uint8_t ConfigureChannels(const DeviceConfig& config) override;
    uint8_t Restart() override;
    bool IsOpen() const override { return open_.load(std::memory_order_acquire) && driverAlive(); }
    bool IsReady(const DeviceConfig& config) override;

    // The request forms; each a complete exchange under the board's request lock.
    uint8_t shortForm(uint8_t code, uint8_t high, uint8_t low);
    uint8_t blockForm(uint8_t code, const uint8_t* data, size_t n);
    uint8_t fetchForm(uint8_t code, uint8_t* out256);
    // Writes a message and then reads `replyLength` bytes (none when 0).
    bool transfer(const std::vector<uint8_t>& message, uint8_t* reply, size_t replyLength);
    // Writes a message and reads a reply whose length its first bytes tell: `headLength`
    // bytes, then `tailLength(head)` more; one exchange, so no arm request comes between.
    bool transferDependent(const std::vector<uint8_t>& message, size_t headLength,
                           const std::function<size_t(const uint8_t* head)>& tailLength,
                           std::vector<uint8_t>* reply);
    bool usbControl(uint8_t request);
    bool sendArm(uint8_t code);

    uint8_t slot() const { return slot_; }

  private:
    void notificationThread();
    void stopNotificationThread();
    void closeHandleLocked();
    CUsbChannel* channel0();

    uint8_t slot_ = kNoSlot;
    std::unique_ptr<DriverHandle> handle_;
    std::atomic<bool> open_{false};
    std::shared_ptr<Event> stop_, released_, notify_;
    std::thread thread_;
};

}  // namespace nuboxlink
