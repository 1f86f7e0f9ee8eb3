// Board objects: how each kind of board is claimed, opened, mapped, restarted and
// configured. Device status codes are sticky: once a step fails, later steps answer the
// same code without touching the board.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "nuboxlink/board/dpr.h"
#include "nuboxlink/channel/channel.h"
#include "nuboxlink/nubox_types.h"
#include "nuboxlink/platform/platform.h"

namespace nuboxlink {

class Library;

// Per-process table of the driver slots in use for one kind of board, guarded by the
// library's global lock.
struct SlotTable {
    std::array<uint16_t, 16> id{};
    std::array<bool, 16> used{};
};

// Driver control request codes.
enum : uint32_t {
    kIoRestart = 0x222000,
    kIoRelease = 0x222004,
    kIoMap = 0x222010,
    kIoMapShared = 0x222018,
    kIoPresent = 0x22201C,
    kIoArm = 0x22202C,
    kIoUsbControl = 0x222040,
    kIoRegisterEvents = 0x222044,
    kIoDownload = 0x222080,
    kIoBoardId = 0x222088,
};

class CDevice {
  public:
    CDevice(Library& library, uint8_t number, uint8_t kind, uint16_t boardId);
    virtual ~CDevice();
    CDevice(const CDevice&) = delete;
    CDevice& operator=(const CDevice&) = delete;

    virtual uint8_t Open() = 0;
    virtual void Close() = 0;
    virtual uint8_t CreateChannel(uint8_t index, uint8_t type) = 0;
    virtual uint8_t MapAndRestart(DeviceConfig& config) = 0;
    virtual uint8_t ConfigureChannels(const DeviceConfig& config) = 0;
    virtual uint8_t Restart() = 0;
    virtual bool IsOpen() const = 0;
    virtual bool IsReady(const DeviceConfig& config) = 0;
    // Called from another thread while a channel call may be waiting for the board: ends
    // that wait, where the board's kind can wait long (a remote board's request), and
    // leaves the board unusable until it is closed.
    virtual void Interrupt() {}
    // True for a board that shares nothing with the library's other boards (no driver
    // slot, no DPR area allocator) and may wait on a network: it is examined and reset
    // without the global lock.
    virtual bool independent() const { return false; }

    uint8_t number() const { return number_; }
    uint8_t kind() const { return kind_; }
    uint16_t boardId() const { return boardId_; }
    uint8_t status() const { return status_; }
    uint8_t channelStatus() const { return channelStatus_; }
    CChannel* channel(unsigned index) { return index < 4 ? channels_[index].get() : nullptr; }
    Library& library() { return library_; }
    Platform& platform();
    // Serialises the board's own requests against its threads.
    std::mutex& requestLock() { return requestLock_; }

  protected:
    // Claims a board that is found by its id among the driver's slots: the id must not be
    // configured twice in this process, the ownership token must be free, and one free
    // slot's board must answer the id (compared under `idMask`). Sets `slot` and returns
    // 0, or returns the device status: 10, the token's result, or 9 (no such board).
    uint8_t claimSlot(SlotTable& slots, uint16_t id, uint16_t idMask, const std::string& token,
                      std::string (*deviceName)(unsigned), uint8_t& slot);
    // Stops every running report watch; true when at least one was running.
    bool stopWatches();
    void destroyChannels();

    // A board whose driver has gone counts as not open, as a removed card does. Any
    // thread may ask (channel calls, watch threads) while another closes the handle:
    // the handle is looked at and destroyed only under driverMutex_.
    bool driverAlive() const {
        std::lock_guard lock(driverMutex_);
        return driver_ == nullptr || driver_->alive();
    }
    // The handle the open check looks at from now on (null: none).
    void watchDriver(DriverHandle* handle) {
        std::lock_guard lock(driverMutex_);
        driver_ = handle;
    }
    // Ends the open check's look at `handle`, then destroys it.
    void dropDriver(std::unique_ptr<DriverHandle>& handle) {
        std::lock_guard lock(driverMutex_);
        driver_ = nullptr;
        handle.reset();
    }

    Library& library_;
    mutable std::mutex driverMutex_;
    DriverHandle* driver_ = nullptr;
    uint8_t number_;
    uint8_t kind_;
    uint16_t boardId_;
    uint8_t status_ = 0;
    uint8_t channelStatus_ = 0;
    std::array<std::unique_ptr<CChannel>, 4> channels_;
    std::unique_ptr<Token> token_;
    std::mutex requestLock_;
};

// ISA multiboard through its driver; the base of the boards that share the DPR layout.
class CIsaDevice : public CDevice {
  public:
    CIsaDevice(Library& library, uint8_t number, uint32_t port, uint8_t kind = NUBOX_KIND_ISA,
               uint16_t boardId = 0);
    ~CIsaDevice() override;

    uint8_t Open() override;
    void Close() override;
    uint8_t CreateChannel(uint8_t index, uint8_t type) override;
    uint8_t MapAndRestart(DeviceConfig& config) override;
    uint8_t ConfigureChannels(const DeviceConfig& config) override;
    uint8_t Restart() override;
    bool IsOpen() const override { return open_.load(std::memory_order_acquire) && driverAlive(); }
    bool IsReady(const DeviceConfig& config) override;
    virtual std::string DeviceName(unsigned index) const;

    Dpr& dpr() { return dpr_; }
    AreaAllocator& areaA() { return areaA_; }
    AreaAllocator& areaB() { return areaB_; }
    AreaAllocator& areaC() { return areaC_; }

  protected:
    // Opens the device object by name: 0, 10 (sharing violation) or 1.
    uint8_t openHandle(const std::string& name);
    void closeHandle();
    // Maps the DPR; `fixedSize` overrides the size the driver reports (PCI).
    bool mapWindow(uint32_t fixedSize);
    void hideOldSignature();
    // Waits until the firmware has cleared the command byte.
    bool commandWait();
    // How many channel descriptors the board kind runs (cards run channel 0 only).
    virtual unsigned channelCount() const { return 4; }

    uint32_t port_;
    std::unique_ptr<DriverHandle> handle_;
    std::atomic<bool> open_{false};
    Dpr dpr_;
    AreaAllocator areaA_, areaB_, areaC_;
};

class CPciDevice : public CIsaDevice {
  public:
    static constexpr uint8_t kNoSlot = 16;
    // Claims the token and looks for the board; a failure stays as the status.
    CPciDevice(Library& library, uint8_t number, uint16_t boardId);
    ~CPciDevice() override;

    uint8_t Open() override;
    uint8_t MapAndRestart(DeviceConfig& config) override;
    std::string DeviceName(unsigned index) const override;
    uint8_t slot() const { return slot_; }

  private:
    uint8_t slot_ = kNoSlot;
};

std::string pciDeviceName(unsigned slot);
std::string usbDeviceName(unsigned slot);
std::string isaDeviceName(unsigned index);

// Asks a board driver for its board id (PCI, USB) or socket id; false when the name
// does not open or does not answer.
bool queryBoardId(Platform& platform, const std::string& name, uint16_t* id);

}  // namespace nuboxlink
