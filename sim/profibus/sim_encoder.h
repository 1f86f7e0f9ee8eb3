// A simulated encoder on the DP segment. Its application speaks PPO1 or PPO2 with the
// PKW parameter channel (parameter 922 gives the PPO type, 964 index 9 the version,
// writing 0x00525354 to 920 restarts it into its bootloader). Its bootloader speaks
// PPO1: the same two parameters, and the erase, data and finish telegrams that program
// the flash through the S-record parser. An application image whose S0 header names a
// version A.B.C (imageVersion) is the version the application reports once committed.
// Faults can be injected.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/core/sim_flash.h"
#include "sim/profibus/dp_station.h"

namespace romtide::sim {

class DpSegment;

// A software version a.b.c as the encoder reports it: a << 12 | b << 8 | c.
struct DpVersion {
    int major = 0;  // 0-15
    int minor = 0;  // 0-15
    int patch = 0;  // 0-255
    uint16_t word() const { return static_cast<uint16_t>(major << 12 | minor << 8 | patch); }
};

struct SimEncoderConfig {
    int address = 3;
    int ppo = 1;  // the application's PPO type (1 or 2); the bootloader speaks PPO1
    uint16_t ident = 0x0793;
    DpVersion version{3, 1, 4};
    DpVersion bootVersion{1, 2, 0};
    bool startsInBootloader = false;

    int64_t processingUs = 0;    // from a new request to its answer
    int64_t restartUs = 100000;  // off the bus while restarting
    int64_t eraseUs = 300000;    // erasing the application flash

    // Injected faults; data telegrams count from 1 over the encoder's life (-1 = off).
    int noAnswerAt = -1;    // that data telegram is never answered
    int errorAt = -1;       // that data telegram is answered with an error ...
    uint8_t errorCode = 0;  // ... carrying this code
    bool eraseNeverAnswered = false;
    int goneAfter = -1;  // after this many data telegrams the encoder leaves the bus
    // After a finish that commits the application: keep reporting the old version
    // (`stale`), or leave the bus for good instead of restarting (`silentAfter`).
    bool staleVersion = false;
    bool silentAfterFinish = false;
    int finishRefusedWith = -1;  // the finish is answered with an error of this code
};

enum class EncoderMode { Application, Restarting, Bootloader, Gone };

// PKW words of the application and the bootloader.
namespace pkw {
inline constexpr uint16_t kPnuPpoType = 922;
inline constexpr uint16_t kPnuVersion = 964;
inline constexpr uint16_t kPnuBootRequest = 920;
inline constexpr uint16_t kPnuBootloader = 2000;
inline constexpr uint16_t kVersionIndex = 9;
inline constexpr uint32_t kBootRequestValue = 0x00525354;
inline constexpr uint16_t kBootloaderMark = 0x0400;  // word 2 of the bootloader's version
inline constexpr uint16_t kTelegram = 0x87D0;        // identifier 8, parameter 2000
inline constexpr uint16_t kAcknowledge = 0x67D0;     // identifier 6
inline constexpr uint16_t kErrorAnswer = 0x77D0;     // identifier 7
inline constexpr uint16_t kEraseCode = 3;
inline constexpr uint16_t kFinishCode = 1;
inline constexpr uint16_t kFirstSequence = 10;
inline constexpr uint16_t kTelegramKey = 0xAA55;
// Error codes in the low byte of word 3 of an error answer.
inline constexpr uint8_t kErrorBadRecord = 1;
inline constexpr uint8_t kErrorUnknownTelegram = 2;
}  // namespace pkw

class SimEncoder final : public DpSlave {
  public:
    SimEncoder(DpSegment& segment, SimEncoderConfig config);
    ~SimEncoder() override;
    SimEncoder(const SimEncoder&) = delete;
    SimEncoder& operator=(const SimEncoder&) = delete;

    const SimEncoderConfig& config() const { return config_; }

    int address() const override { return config_.address; }
    bool present() const override;
    void setParameters(int master, const std::vector<uint8_t>& prm) override;
    void checkConfiguration(const std::vector<uint8_t>& cfg) override;
    DpDiagnosis diagnosis() const override;
    bool inDataExchange() const override;
    int minTsdr() const override;
    std::vector<uint8_t> inputs() const override;
    void receiveOutputs(const std::vector<uint8_t>& outputs) override;

    // What a test or the dump wants to know.
    EncoderMode mode() const;
    // The flash: the application, and what a download in progress has programmed.
    FlashImage flashImage() const;
    bool writeFlashSrec(const std::string& path) const;
    uint64_t dataTelegrams() const;  // new data telegrams handled
    uint64_t erases() const;         // erases completed
    uint64_t restarts() const;
    std::string streamError() const;
    // The version the application reports now.
    DpVersion version() const;

  private:
    using Words = std::vector<uint16_t>;
    void handleApplication(const Words& request);
    void handleBootloader(const Words& request);
    void handleData(uint16_t sequence, uint16_t chars12, uint16_t chars34);
    bool answerParameter(const Words& request, uint16_t bootMark, DpVersion version);
    // Puts the PKW answer into the input after the processing time.
    void answer(uint16_t w0, uint16_t w1, uint16_t w2, uint16_t w3, int64_t afterUs);
    void restartInto(EncoderMode next);
    void after(int64_t delayUs, std::function<void()> fn);
    size_t ioBytes() const;
    std::vector<uint8_t> expectedConfig() const;

    DpSegment& segment_;
    const SimEncoderConfig config_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    mutable std::mutex mutex_;
    EncoderMode mode_;
    DpVersion version_;
    uint64_t life_ = 0;  // counts restarts: answers of an earlier life are dropped
    DpSlaveState dp_;
    std::vector<uint8_t> input_;
    Words lastRequest_;          // PKW words 0-3 of the last outputs
    uint16_t lastSequence_ = 0;  // of the last data telegram handled; 0 = none since erase
    bool erasing_ = false;
    bool streamBroken_ = false;
    uint64_t dataTelegrams_ = 0;
    uint64_t restarts_ = 0;
    SimFlash flash_;
};

}  // namespace romtide::sim
