// The Profibus bootloader protocol of the download session: the PKW write that restarts
// a device into its bootloader, erase, the image text four characters per acknowledged
// data telegram with sequence numbers, finish and whether the device takes it, and
// DownloadSlave, the sequence the Profibus window runs for each station. The bootloader
// speaks PPO1; every telegram goes out through the wrapper's output words and comes back
// in its input words.
#include <algorithm>

#include "profibus/tprofitalvik.h"
#include "session/tbootloader.h"
#include "session/text_units.h"

namespace romtide {

namespace {

// Parameter 2000 with identifier 8 (request), 6 (acknowledge), 7 (error).
constexpr uint16_t kTelegram = 0x87D0;
constexpr uint16_t kAcknowledge = 0x67D0;
constexpr uint16_t kErrorAnswer = 0x77D0;
constexpr uint16_t kEraseCode = 3;
constexpr uint16_t kFinishCode = 1;
constexpr uint16_t kConfirmPattern = 0xAA55;

constexpr uint16_t kFirstSequence = 10;
constexpr uint16_t kLastSequence = 32767;

constexpr int64_t kEraseWindowMs = 10000;
// The enter-bootloader request is answered by nothing, and a finish that is taken only by
// the device's restart; the next command to the master (CLEAR sends zeros, STOP sends
// nothing, a reset ends the bus) follows at once: it waits until the data exchange has
// carried them, or at slow baud rates the device never restarts into its bootloader, or
// never starts its new application.
constexpr int64_t kCarryCycles = 4;
constexpr int64_t kCarryLeastMs = 10;
constexpr int64_t kAcknowledgeTimeoutMs = 5000;

// Change value (double word) of parameter 920 to "RST": the application restarts into
// its bootloader.
constexpr ParameterWords kEnterBootloader{0x3398, 0, 0x0052, 0x5354, 0, 0, 0, 0, 0, 0};
constexpr ParameterWords kEraseTelegram{kTelegram, kEraseCode, kConfirmPattern, 0, 0, 0, 0, 0,
                                        0,         0};
constexpr ParameterWords kFinishTelegram{kTelegram, kFinishCode, kConfirmPattern, 0, 0, 0, 0, 0, 0,
                                         0};

// The image reader steps the bar; each step also writes "Writing File N%".
class WritingProgress final : public ui::ProgressBar {
  public:
    WritingProgress(ui::ProgressBar& bar, ui::TextLabel& label) : bar_(bar), label_(label) {}
    void setPosition(int position) override {
        bar_.setPosition(position);
        label_.setText("Writing File " + std::to_string(bar_.position()) + "%");
    }
    int position() const override { return bar_.position(); }
    void setRange(int minimum, int maximum) override { bar_.setRange(minimum, maximum); }

  private:
    ui::ProgressBar& bar_;
    ui::TextLabel& label_;
};

int64_t carryMs() {
    return std::max(kCarryLeastMs, (kCarryCycles * TProfitalvik::dpCycleUs() + 999) / 1000);
}

void waitUntilCarried(TProfitalvik& dp) {
    dp.WaitMs(static_cast<int32_t>(carryMs()));
}

struct FinishAnswer {
    int32_t result = result::kOk;
    int32_t errorCode = -1;  // of an error answer
};

// The device takes the finish only when every record it was sent made a whole image:
// then it starts the new application, which restarts it and takes it out of the data
// exchange; otherwise it answers the finish with its error answer and stays in its
// bootloader. Watched as long as a data telegram's answer may take; a device that
// neither answers nor restarts in that time has refused nothing (the finish itself
// awaits no answer). Every way out lies after the data exchange has carried the finish.
FinishAnswer awaitFinishAnswer(TProfitalvik& dp, const Services& services) {
    Clock& clock = services.clock;
    const int64_t sentAt = clock.nowMs();
    const int64_t carriedAtUs = clock.nowUs() + carryMs() * 1000;
    auto carried = [&](FinishAnswer answer) {
        ui::pumpFor(services.pump, clock, std::max<int64_t>(0, carriedAtUs - clock.nowUs()));
        return answer;
    };
    ui::pumpFor(services.pump, clock, TProfitalvik::acknowledgeFirstLookUs());
    for (;;) {
        ParameterWords in{};
        if (dp.ReadInputWords(in) != dpm::kOk) {
            return carried({result::kBusError});
        }
        if (in[1] == kFinishCode && in[0] == kErrorAnswer) {
            return carried({result::kTransferError, in[3] & 0xFF});
        }
        if ((in[1] == kFinishCode && in[0] == kAcknowledge) || !dp.StationInDataExchange() ||
            clock.nowMs() - sentAt > kAcknowledgeTimeoutMs) {
            return carried({});
        }
        ui::pumpFor(services.pump, clock, TProfitalvik::inputPollPauseUs());
    }
}

}  // namespace

int32_t Tbootloader::ProfibusEnterBootloader() {
    int32_t first = profibus->WriteOutputWords(kEnterBootloader);
    int32_t second = profibus->WriteOutputWords(kEnterBootloader);
    if (first != dpm::kOk || second != dpm::kOk) {
        return result::kBusError;
    }
    waitUntilCarried(*profibus);
    return result::kOk;
}

int32_t Tbootloader::ProfibusErase() {
    Clock& clock = services_.clock;
    const int64_t started = clock.nowMs();
    bool acknowledged = false;
    while (!acknowledged && clock.nowMs() - started <= kEraseWindowMs) {
        if (profibus->WriteOutputWords(kEraseTelegram) != dpm::kOk) {
            return result::kEraseNotWritten;
        }
        Wait(10);
        ParameterWords in{};
        if (profibus->ReadInputWords(in) != dpm::kOk) {
            return result::kEraseNotWritten;
        }
        acknowledged = in[1] == kEraseCode && in[0] == kAcknowledge;
    }
    return acknowledged ? result::kOk : result::kEraseNotAcknowledged;
}

int32_t Tbootloader::ProfibusFinish() {
    return profibus->WriteOutputWords(kFinishTelegram) == dpm::kOk ? result::kOk : result::kNoFile;
}

int32_t Tbootloader::ProfibusDownload(ui::ProgressBar& progress, ui::TextLabel& label) {
    uint16_t sequence = kFirstSequence - 1;
    attemptCount = 0;
    profibusErrorCode_ = -1;
    if (!imageFile || imageFile->error()) {
        return result::kNoFile;
    }
    if (nodeList[0] == 0) {
        return result::kDeclined;  // -6: no station to update
    }
    WritingProgress writing(progress, label);
    TextUnitReader reader(*imageFile, &writing);
    label.setText("Erase Flash... Please be patient.");
    TProfitalvik::SetPpo2(false);  // every bootloader telegram is PPO1
    // From the erase on, the application is gone until the station takes the finish.
    deviceLeft_ = DeviceLeft::InBootloader;
    if (ProfibusErase() < 0) {
        return result::kEraseFailed;
    }

    Clock& clock = services_.clock;
    const int64_t firstLookUs = TProfitalvik::acknowledgeFirstLookUs();
    const int64_t pauseUs = TProfitalvik::inputPollPauseUs();
    while (auto unit = reader.next()) {
        sequence = sequence == kLastSequence ? kFirstSequence : sequence + 1;
        auto c = [&](size_t i) { return static_cast<uint8_t>((*unit)[i]); };
        const ParameterWords out{kTelegram,
                                 sequence,
                                 static_cast<uint16_t>(c(0) << 8 | c(1)),
                                 static_cast<uint16_t>(c(2) << 8 | c(3)),
                                 0,
                                 0,
                                 0,
                                 0,
                                 0,
                                 0};
        if (profibus->WriteOutputWords(out) != dpm::kOk) {
            progress.setPosition(0);
            return result::kBusError;
        }
        ++imageUnitsSent_;
        const int64_t sentAt = clock.nowMs();
        bool acknowledged = false;
        // No answer can be there before the data exchange has taken the telegram and the
        // next one has brought the answer back; window events run meanwhile.
        ui::pumpFor(services_.pump, clock, firstLookUs);
        for (;;) {
            ParameterWords in{};
            if (profibus->ReadInputWords(in) != dpm::kOk) {
                progress.setPosition(0);
                return result::kBusError;
            }
            // Answers to older telegrams (acknowledges and refusals alike) are still in
            // the input until the device has taken this one.
            if (in[1] == sequence) {
                if (in[0] == kAcknowledge) {
                    acknowledged = true;
                } else if (in[0] == kErrorAnswer) {
                    profibusErrorCode_ = in[3] & 0xFF;
                    label.setText("Errorcode: " + std::to_string(profibusErrorCode_));
                    return result::kTransferError;
                }
            }
            if (acknowledged || clock.nowMs() - sentAt > kAcknowledgeTimeoutMs) {
                break;
            }
            ui::pumpFor(services_.pump, clock, pauseUs);
        }
        if (!acknowledged) {
            progress.setPosition(0);
            return result::kTransferError;
        }
        if (attemptCount >= kCancelRequest) {
            progress.setPosition(0);
            return result::kCancelled;
        }
    }
    progress.setPosition(0);
    if (reader.readFailed()) {
        // The image could not be read to its end: no finish telegram, so the device does
        // not start half an application.
        return result::kNoFile;
    }
    // A finish that never reached the device leaves it in its bootloader: not updated.
    if (ProfibusFinish() != result::kOk) {
        return result::kBusError;
    }
    const FinishAnswer answer = awaitFinishAnswer(*profibus, services_);
    if (answer.result == result::kOk) {
        deviceLeft_ = DeviceLeft::Untouched;
    }
    if (answer.errorCode >= 0) {
        profibusErrorCode_ = answer.errorCode;
        label.setText("Errorcode: " + std::to_string(profibusErrorCode_));
    }
    return answer.result;
}

int32_t Tbootloader::DownloadSlave(ui::ProgressBar& progress, ui::TextLabel& label) {
    TProfitalvik& dp = *profibus;
    profibusErrorCode_ = -1;
    TProfitalvik::SetStationAddress(nodeList[0]);
    label.setText("Initialize slave and check PPO...");
    if (int32_t r = dp.DetectPpo(); r >= 0) {
        TProfitalvik::SetPpo2(r != 0);
    }
    dp.SetMode(dpm::kModeClear);
    dp.SetMode(dpm::kModeOperate);
    ProfibusEnterBootloader();
    label.setText("Initialize Bootloader...");
    // Parameterises the station, now in its bootloader, and asks it for its PPO type.
    dp.DetectPpo();
    TProfitalvik::SetPpo2(false);
    int32_t outcome = dp.InitForDownload();
    services_.clock.sleepMs(20);
    outcome |= dp.InitForDownload();
    dp.SetMode(dpm::kModeClear);
    dp.SetMode(dpm::kModeOperate);
    return outcome | ProfibusDownload(progress, label);
}

}  // namespace romtide
