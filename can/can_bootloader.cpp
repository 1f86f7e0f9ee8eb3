// The CAN bootloader protocol of the download session: NMT Reset Node, identification,
// the two-stage bootloader renewal, erase, text units with acknowledgement, end of
// download. Everything runs on the user-interface thread; pending events run inside
// every wait, which is how a Cancel click reaches a running transfer.
#include <array>

#include "session/tbootloader.h"
#include "session/text_units.h"
#include "session/update_files.h"

namespace romtide {

namespace {

using Frame = std::array<uint8_t, 8>;

constexpr Frame kIdentificationRequest{0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0};
constexpr Frame kEndOfDownloadRequest{0x40, 0x00, 0x30, 0x02, 0, 0, 0, 0};
constexpr Frame kEraseRequest{0x40, 0x00, 0x30, 0x03, 0, 0, 0, 0};

constexpr int32_t kIdentificationAttempts = 100;
constexpr int64_t kAcknowledgeTimeoutMs = 3000;
constexpr int kErasePolls = 50;
constexpr int32_t kLowestCurrentVersion = 3;

const char* const kRenewalQuestion =
    "It exist a new version of the Bootlaoder.\nAn update is recommended.\nWarning, the "
    "product software will be erased. Continue?";

}  // namespace

int32_t Tbootloader::CheckBootloader() {
    if (canComm->Transmit(kIdentificationRequest.data(), static_cast<uint16_t>(sdoId), 8) != 1) {
        return result::kBusError;
    }
    Wait(1);
    canComm->Receive();
    return canComm->GetRxByte(0, 0) == 'C' && canComm->GetRxByte(0, 4) == 'C'
               ? result::kOk
               : result::kNoConnection;
}

int32_t Tbootloader::FinishDownload() {
    return canComm->Transmit(kEndOfDownloadRequest.data(), static_cast<uint16_t>(sdoId), 8) == 1
               ? result::kOk
               : result::kBusError;
}

int32_t Tbootloader::EraseFlash() {
    if (canComm->Transmit(kEraseRequest.data(), static_cast<uint16_t>(sdoId), 8) != 1) {
        return result::kBusError;
    }
    for (int poll = 0; poll < kErasePolls; ++poll) {
        canComm->Receive();
        if (canComm->GetRxByte(0, 0) == 'C' && canComm->GetRxByte(0, 2) == 0x30 &&
            canComm->GetRxByte(0, 4) == 3) {
            int32_t status = canComm->GetRxByte(0, 5);
            if (status == 0) {
                return result::kOk;
            }
            if (status == 1) {
                return result::kNoFile;  // -1: erase failed
            }
        }
        Wait(200);
    }
    return result::kNoFile;
}

int32_t Tbootloader::transferFile(TextFile& file, ui::ProgressBar& progress, bool update) {
    TextUnitReader reader(file, &progress);
    const int32_t erased = EraseFlash();
    if (erased != result::kBusError) {
        // Asked to erase: whatever comes now, the application is gone until the end of
        // an image's download (a renewal erases it as well).
        deviceLeft_ = update ? DeviceLeft::InUpdater : DeviceLeft::InBootloader;
    }
    if (erased < 0) {
        return update ? result::kTransferError : result::kEraseFailed;
    }
    Clock& clock = services_.clock;
    while (auto unit = reader.next()) {
        Frame frame{0x23,
                    0x00,
                    0x30,
                    0x00,
                    static_cast<uint8_t>((*unit)[0]),
                    static_cast<uint8_t>((*unit)[1]),
                    static_cast<uint8_t>((*unit)[2]),
                    static_cast<uint8_t>((*unit)[3])};
        if (canComm->Transmit(frame.data(), static_cast<uint16_t>(sdoId), 8) != 1) {
            return update ? result::kTransferError : result::kBusError;
        }
        if (!update) {
            ++imageUnitsSent_;
        }
        const int64_t sentAt = clock.nowMs();
        // The first millisecond tick at which more than the time-out has passed.
        const int64_t giveUpUs = (sentAt + kAcknowledgeTimeoutMs + 1) * 1000;
        bool acknowledged = false;
        for (;;) {
            services_.pump.processPending();
            canComm->Receive();
            if (canComm->GetRxByte(0, 0) == 0x60 && canComm->GetRxByte(0, 1) == 0x00 &&
                canComm->GetRxByte(0, 2) == 0x30 && canComm->GetRxByte(0, 3) == 0x00) {
                acknowledged = true;
                break;
            }
            if (clock.nowMs() - sentAt > kAcknowledgeTimeoutMs) {
                break;
            }
            // Every received frame is posted to the pump after it reached the receive
            // buffer, so the sleep ends as soon as the answer can be read (or a click
            // arrives); a frame of someone else only costs one more look.
            services_.pump.sleepUntilWork(clock, giveUpUs);
        }
        if (!acknowledged) {
            progress.setPosition(0);
            return CheckBootloader() < 0 ? result::kEraseFailed : result::kTransferError;
        }
        if (attemptCount >= kCancelRequest) {
            progress.setPosition(0);
            if (update) {
                Wait(10);
            }
            return CheckBootloader() < 0 ? result::kEraseFailed : result::kCancelled;
        }
    }
    progress.setPosition(0);
    if (reader.readFailed()) {
        // A file that could not be read to its end is not a finished image: no end of
        // download, so the device does not start half an application.
        return update ? result::kTransferError : result::kNoFile;
    }
    Wait(10);
    FinishDownload();
    Wait(100);
    if (!update) {
        deviceLeft_ = DeviceLeft::Untouched;
    }
    return update ? result::kBootloaderUpdated : result::kOk;
}

int32_t Tbootloader::DownloadFile(ui::ProgressBar& progress) {
    attemptCount = 0;
    if (!imageFile || imageFile->error()) {
        return result::kNoFile;
    }
    return transferFile(*imageFile, progress, false);
}

int32_t Tbootloader::DownloadUpdate(ui::ProgressBar& progress) {
    updateFile = TextFile::open(updatePath);
    if (!updateFile || updateFile->error()) {
        return result::kTransferError;
    }
    attemptCount = 0;
    progress.setPosition(0);
    return transferFile(*updateFile, progress, true);
}

int32_t Tbootloader::ConnectBootloader(ui::ProgressBar& progress) {
    progress.setPosition(0);
    attemptCount = 0;
    const Frame reset{0x81, static_cast<uint8_t>(nodeId), 0, 0, 0, 0, 0, 0};
    if (canComm->Transmit(reset.data(), 0x000, 2) != 1) {
        return result::kBusError;
    }
    Wait(100);
    int32_t outcome = result::kOk;
    while (attemptCount < kIdentificationAttempts) {
        ++attemptCount;
        if (canComm->Transmit(kIdentificationRequest.data(), static_cast<uint16_t>(sdoId), 8) !=
            1) {
            return result::kBusError;
        }
        Wait(100);
        canComm->Receive();
        int32_t kind = canComm->GetRxByte(0, 4);
        if (canComm->GetRxByte(0, 0) == 'C' && (kind == 'B' || kind == 'C')) {
            int32_t version = canComm->GetRxByte(0, 5);  // signed: 0x80 and above are old
            auto stage = static_cast<char>(canComm->GetRxByte(0, 6));
            auto letter = static_cast<char>(canComm->GetRxByte(0, 7));
            if (stage == 'U') {
                // The updater of the first stage runs: write the new bootloader.
                auto product = updateProductByLetter(letter);
                if (!product) {
                    // An updater of a product we have no bootloader for: nothing is
                    // written, the renewal cannot be finished.
                    outcome = result::kTransferError;
                    break;
                }
                updatePath = besideProgram(product->bootloaderFile);
                outcome = DownloadUpdate(progress);
                updateFile.reset();
                if (outcome == result::kBootloaderUpdated) {
                    // The new bootloader runs; the renewal took the application with it.
                    deviceLeft_ = DeviceLeft::InBootloader;
                }
                break;
            }
            if (version >= kLowestCurrentVersion) {
                outcome = result::kOk;
                break;
            }
            if (version != 0) {
                auto product = updateProductByLetter(stage);
                if (!product) {
                    // No update file names this product: write nothing and say the
                    // renewal failed, so the old bootloader is not fed an image either.
                    outcome = result::kTransferError;
                    break;
                }
                updatePath = besideProgram(product->updaterFile);
            } else {
                if (selectedProduct == 2) {
                    selectedProduct = 0;
                    outcome = result::kDeclined;
                    break;
                }
                auto product = updateProductByCode(selectedProduct);
                if (!product) {
                    outcome = result::kCancelled;  // -8: the product must be chosen first
                    break;
                }
                updatePath = besideProgram(product->updaterFile);
                selectedProduct = 0;
            }
            auto answer =
                services_.messages.show({kRenewalQuestion, "Romtide", ui::MessageIcon::Question,
                                         ui::MessageButtons::YesNo});
            if (answer != ui::MessageAnswer::Yes) {
                outcome = result::kDeclined;
                break;
            }
            outcome = DownloadUpdate(progress);
            updateFile.reset();
            if (outcome == result::kTransferError) {
                attemptCount = kCancelRequest;
            }
        }
        progress.stepBy(1);
        services_.pump.processPending();
    }
    if (attemptCount >= kIdentificationAttempts) {
        outcome = result::kNoConnection;
    }
    progress.setPosition(0);
    attemptCount = 0;
    return outcome;
}

}  // namespace romtide
