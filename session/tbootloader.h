// Tbootloader: the download session. Each window owns one; what must be the same for
// every window (target node, target list, cancel request, chosen product, update
// file) is class-wide, so a value set through one window's object is seen by all.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "can/tcancomm.h"
#include "profibus/tprofitalvik.h"
#include "session/text_file.h"
#include "ui/dialogs.h"
#include "ui/services.h"
#include "ui/widgets.h"

namespace romtide {

// Result codes of the long operations, the same on both buses.
namespace result {
constexpr int32_t kBootloaderUpdated = 1;
constexpr int32_t kOk = 0;
constexpr int32_t kNoFile = -1;
constexpr int32_t kOverwritesBootloader = -2;  // also: the open dialog was cancelled
constexpr int32_t kResetAddress = -3;
constexpr int32_t kNoConnection = -4;
constexpr int32_t kBusError = -5;
constexpr int32_t kDeclined = -6;  // CAN: renewal declined; Profibus: no target
constexpr int32_t kTransferError = -7;
constexpr int32_t kCancelled = -8;  // also: product must be chosen first (connect)
constexpr int32_t kEraseFailed = -9;
// What a device shows when it is identified again after its download (the run's, not a
// protocol operation's): it still answers as its bootloader (the download was not
// committed), it answers nothing within the wait, or it runs another version than the
// one expected.
constexpr int32_t kNotCommitted = -10;
constexpr int32_t kNotBack = -11;
constexpr int32_t kUnverified = -12;
// Profibus erase: the telegram could not be written or its answer read; never acknowledged.
constexpr int32_t kEraseNotWritten = -2;
constexpr int32_t kEraseNotAcknowledged = -3;
}  // namespace result

// Device addresses the image must not touch.
constexpr uint32_t kBootloaderFirst = 0xFFA000;
constexpr uint32_t kBootloaderLast = 0xFFBFFF;
constexpr uint32_t kResetAddress = 0xFFFFDC;

// What the transfers have left the device in hand as: a stopped or failed run says
// which devices wait for a new download.
enum class DeviceLeft {
    Untouched,     // as it was, or running the application it was sent
    InBootloader,  // erased: in its bootloader, without an application
    InUpdater,     // a bootloader renewal begun and not finished
};

// "in its bootloader, without an application; a new download repairs it", and the
// updater's; nothing for an untouched device.
const char* deviceLeftText(DeviceLeft left);

// The open-file dialog of both download windows.
ui::OpenFileOptions imageFileDialogOptions();

class Tbootloader {
  public:
    static constexpr int32_t kCancelRequest = 100;
    static constexpr size_t kNodeListSize = 128;

    explicit Tbootloader(const Services& services);
    // With the DP master's calls going to `library` instead of libnuboxlink.so.
    Tbootloader(const Services& services, DpMasterLibrary& library);
    ~Tbootloader();
    Tbootloader(const Tbootloader&) = delete;
    Tbootloader& operator=(const Tbootloader&) = delete;

    int32_t OpenFile(ui::OpenFileDialog& dialog);
    int32_t CheckFile();
    void Wait(int32_t ms);
    void Cancel();

    int32_t SetNodeId(int32_t node);
    int32_t GetNodeId() const { return nodeId; }
    int32_t GetSdoId() const { return sdoId; }
    int32_t AddNode(uint8_t node);
    int32_t RemoveNode(uint8_t node);
    uint8_t GetNode(int32_t position) const;

    // The CAN bootloader protocol (built with the CAN layer, can/can_bootloader.cpp).
    int32_t ConnectBootloader(ui::ProgressBar& progress);
    int32_t DownloadFile(ui::ProgressBar& progress);
    int32_t DownloadUpdate(ui::ProgressBar& progress);
    int32_t CheckBootloader();
    int32_t FinishDownload();
    int32_t EraseFlash();

    // The Profibus bootloader protocol (profibus/profibus_bootloader.cpp).
    int32_t ProfibusEnterBootloader();
    int32_t ProfibusErase();
    int32_t ProfibusDownload(ui::ProgressBar& progress, ui::TextLabel& label);
    int32_t ProfibusFinish();
    int32_t DownloadSlave(ui::ProgressBar& progress, ui::TextLabel& label);
    // The code of the device's error answer that ended the last Profibus download (the
    // label's "Errorcode: N"); -1 when none did.
    int32_t ProfibusErrorCode() const { return profibusErrorCode_; }
    // Text units of the image that went out to the device since the last reset (a
    // bootloader renewal's update file is not counted), acknowledged or not.
    int64_t ImageUnitsSent() const { return imageUnitsSent_; }
    void ResetImageUnitsSent() { imageUnitsSent_ = 0; }
    // What the transfers since ForgetDevice have left the device as (CAN: the node at
    // nodeId; Profibus: the station of the last DownloadSlave).
    DeviceLeft deviceLeft() const { return deviceLeft_; }
    void ForgetDevice() { deviceLeft_ = DeviceLeft::Untouched; }
    // A bootloader renewal's file is on its way to the device.
    bool Renewing() const { return updateFile != nullptr; }

    const Services& services() const { return services_; }

    // Fields, in the order they are built (and, but for the adapters, torn down).
    std::unique_ptr<TextFile> imageFile;
    std::unique_ptr<TextFile> updateFile;
    std::unique_ptr<TCANComm> canComm;
    std::unique_ptr<TProfitalvik> profibus;

    // Class-wide session values.
    static inline int32_t attemptCount = 0;
    static inline int32_t nodeId = 1;
    static inline int32_t sdoId = 0x601;
    static inline std::array<uint8_t, kNodeListSize> nodeList{};
    static inline int32_t selectedProduct = 0;
    static inline std::string updatePath;

    // Back to the values of a fresh program start (tests start every case from there).
    static void resetSharedState();

  private:
    // Erase, all text units of `file` with acknowledgement, end of download; `update`
    // selects the result codes of DownloadUpdate.
    int32_t transferFile(TextFile& file, ui::ProgressBar& progress, bool update);

    Services services_;
    int32_t profibusErrorCode_ = -1;
    int64_t imageUnitsSent_ = 0;
    DeviceLeft deviceLeft_ = DeviceLeft::Untouched;
};

}  // namespace romtide
