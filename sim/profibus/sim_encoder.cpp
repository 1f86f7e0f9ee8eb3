#include "sim/profibus/sim_encoder.h"

#include "sim/profibus/dp_segment.h"
#include "sim/profibus/station_option.h"

namespace romtide::sim {

namespace {

constexpr size_t kPpo1Bytes = 12;
constexpr size_t kPpo2Bytes = 20;
constexpr size_t kPkwWords = 4;
constexpr uint8_t kCfgPkw = 0xF3;   // 4 words in and out, consistent
constexpr uint8_t kCfgPpo1 = 0xF1;  // 2 words of process data
constexpr uint8_t kCfgPpo2 = 0xF5;  // 6 words of process data

// Request and response identifiers of the parameter channel (bits 12-15 of word 0).
constexpr uint16_t kRequestValue = 1;
constexpr uint16_t kChangeDoubleWord = 3;
constexpr uint16_t kRequestArrayElement = 6;
constexpr uint16_t kAnswerValueWord = 1;
constexpr uint16_t kAnswerArrayWord = 4;
constexpr uint16_t kAnswerRefused = 7;
constexpr uint16_t kErrorNoSuchParameter = 0;
constexpr uint16_t kPnuMask = 0x07FF;

constexpr const char* kDumpHeader = "ROMTIDE SIM FLASH";

uint16_t pke(uint16_t identifier, uint16_t pnu) {
    return static_cast<uint16_t>(identifier << 12 | pnu);
}

}  // namespace

SimEncoder::SimEncoder(DpSegment& segment, SimEncoderConfig config)
    : segment_(segment),
      config_(std::move(config)),
      mode_(config_.startsInBootloader ? EncoderMode::Bootloader : EncoderMode::Application),
      version_(config_.version),
      dp_(config_.ident, {}) {
    dp_.restart(expectedConfig());
    input_.assign(ioBytes(), 0);
    lastRequest_.assign(kPkwWords, 0);
}

SimEncoder::~SimEncoder() {
    std::lock_guard lock(mutex_);
    *alive_ = false;
}

size_t SimEncoder::ioBytes() const {
    return mode_ == EncoderMode::Application && config_.ppo == 2 ? kPpo2Bytes : kPpo1Bytes;
}

std::vector<uint8_t> SimEncoder::expectedConfig() const {
    const bool ppo2 = mode_ == EncoderMode::Application && config_.ppo == 2;
    return {kCfgPkw, ppo2 ? kCfgPpo2 : kCfgPpo1};
}

bool SimEncoder::present() const {
    std::lock_guard lock(mutex_);
    return mode_ == EncoderMode::Application || mode_ == EncoderMode::Bootloader;
}

void SimEncoder::setParameters(int master, const std::vector<uint8_t>& prm) {
    std::lock_guard lock(mutex_);
    dp_.setParameters(master, prm);
}

void SimEncoder::checkConfiguration(const std::vector<uint8_t>& cfg) {
    std::lock_guard lock(mutex_);
    dp_.checkConfiguration(cfg);
}

DpDiagnosis SimEncoder::diagnosis() const {
    std::lock_guard lock(mutex_);
    return dp_.diagnosis();
}

bool SimEncoder::inDataExchange() const {
    std::lock_guard lock(mutex_);
    return dp_.inDataExchange();
}

int SimEncoder::minTsdr() const {
    std::lock_guard lock(mutex_);
    return dp_.minTsdr();
}

std::vector<uint8_t> SimEncoder::inputs() const {
    std::lock_guard lock(mutex_);
    return input_;
}

EncoderMode SimEncoder::mode() const {
    std::lock_guard lock(mutex_);
    return mode_;
}

FlashImage SimEncoder::flashImage() const {
    std::lock_guard lock(mutex_);
    return flash_.image();
}

bool SimEncoder::writeFlashSrec(const std::string& path) const {
    std::lock_guard lock(mutex_);
    return flash_.writeSrecFile(path, kDumpHeader);
}

uint64_t SimEncoder::dataTelegrams() const {
    std::lock_guard lock(mutex_);
    return dataTelegrams_;
}

uint64_t SimEncoder::erases() const {
    std::lock_guard lock(mutex_);
    return flash_.erases();
}

uint64_t SimEncoder::restarts() const {
    std::lock_guard lock(mutex_);
    return restarts_;
}

std::string SimEncoder::streamError() const {
    std::lock_guard lock(mutex_);
    return flash_.stream().error();
}

DpVersion SimEncoder::version() const {
    std::lock_guard lock(mutex_);
    return version_;
}

void SimEncoder::after(int64_t delayUs, std::function<void()> fn) {
    std::weak_ptr<bool> alive = alive_;
    SimScheduler& scheduler = segment_.scheduler();
    scheduler.at(scheduler.nowUs() + delayUs, [alive, fn = std::move(fn)] {
        if (auto a = alive.lock(); a && *a) {
            fn();
        }
    });
}

void SimEncoder::receiveOutputs(const std::vector<uint8_t>& outputs) {
    std::lock_guard lock(mutex_);
    if (!dp_.inDataExchange() || outputs.size() < 2 * kPkwWords) {
        return;
    }
    Words request(kPkwWords);
    for (size_t i = 0; i < kPkwWords; ++i) {
        request[i] = static_cast<uint16_t>(outputs[2 * i] << 8 | outputs[2 * i + 1]);
    }
    // The parameter channel acts on a change of the request; the same request in the
    // following cycles is the master waiting for the answer.
    if (request == lastRequest_) {
        return;
    }
    lastRequest_ = request;
    if (mode_ == EncoderMode::Application) {
        handleApplication(request);
    } else if (mode_ == EncoderMode::Bootloader) {
        handleBootloader(request);
    }
}

void SimEncoder::answer(uint16_t w0, uint16_t w1, uint16_t w2, uint16_t w3, int64_t afterUs) {
    auto put = [this, life = life_, words = std::vector<uint16_t>{w0, w1, w2, w3}] {
        if (life != life_) {
            return;
        }
        for (size_t i = 0; i < words.size(); ++i) {
            input_[2 * i] = static_cast<uint8_t>(words[i] >> 8);
            input_[2 * i + 1] = static_cast<uint8_t>(words[i]);
        }
    };
    if (afterUs <= 0) {
        put();
        return;
    }
    after(afterUs, [this, put] {
        std::lock_guard lock(mutex_);
        put();
    });
}

bool SimEncoder::answerParameter(const Words& r, uint16_t bootMark, DpVersion version) {
    const uint16_t identifier = r[0] >> 12;
    const uint16_t pnu = r[0] & kPnuMask;
    if (identifier == kRequestValue && pnu == pkw::kPnuPpoType) {
        const uint16_t ppo = mode_ == EncoderMode::Application ? config_.ppo : 1;
        answer(pke(kAnswerValueWord, pnu), r[1], 0, ppo, config_.processingUs);
        return true;
    }
    if (identifier == kRequestArrayElement && pnu == pkw::kPnuVersion &&
        r[1] == pkw::kVersionIndex << 8) {
        answer(pke(kAnswerArrayWord, pnu), r[1], bootMark, version.word(), config_.processingUs);
        return true;
    }
    return false;
}

void SimEncoder::handleApplication(const Words& r) {
    if (r[0] == 0) {
        answer(0, 0, 0, 0, config_.processingUs);
        return;
    }
    const uint16_t pnu = r[0] & kPnuMask;
    if (r[0] >> 12 == kChangeDoubleWord && pnu == pkw::kPnuBootRequest &&
        (uint32_t{r[2]} << 16 | r[3]) == pkw::kBootRequestValue) {
        restartInto(EncoderMode::Bootloader);
        return;
    }
    if (!answerParameter(r, 0, version_)) {
        answer(pke(kAnswerRefused, pnu), r[1], 0, kErrorNoSuchParameter, config_.processingUs);
    }
}

void SimEncoder::handleBootloader(const Words& r) {
    if (r[0] == 0) {
        return;  // nothing asked; the last answer stays
    }
    if (r[0] != pkw::kTelegram) {
        if (!answerParameter(r, pkw::kBootloaderMark, config_.bootVersion)) {
            answer(pke(kAnswerRefused, r[0] & kPnuMask), r[1], 0, kErrorNoSuchParameter,
                   config_.processingUs);
        }
        return;
    }
    const bool keyed = r[2] == pkw::kTelegramKey && r[3] == 0;
    if (r[1] == pkw::kEraseCode && keyed) {
        if (config_.eraseNeverAnswered || erasing_) {
            return;
        }
        erasing_ = true;
        after(config_.eraseUs, [this, life = life_] {
            std::lock_guard lock(mutex_);
            if (life != life_) {
                return;
            }
            erasing_ = false;
            flash_.erase();
            lastSequence_ = 0;
            streamBroken_ = false;
            answer(pkw::kAcknowledge, pkw::kEraseCode, 0, 0, 0);
        });
        return;
    }
    if (r[1] == pkw::kFinishCode && keyed) {
        if (config_.finishRefusedWith >= 0) {
            answer(pkw::kErrorAnswer, pkw::kFinishCode, 0,
                   static_cast<uint16_t>(config_.finishRefusedWith), config_.processingUs);
            return;
        }
        if (streamBroken_ || !flash_.finish()) {
            streamBroken_ = true;
            answer(pkw::kErrorAnswer, pkw::kFinishCode, 0, pkw::kErrorBadRecord,
                   config_.processingUs);
            return;
        }
        if (auto text = imageVersion(flash_.stream().header()); text && !config_.staleVersion) {
            // A version the encoder could not report is no version of its.
            if (auto v = parseDpVersion(*text)) {
                version_ = *v;
            }
        }
        flash_.commit();
        if (config_.silentAfterFinish) {
            ++life_;
            mode_ = EncoderMode::Gone;
            dp_.restart(expectedConfig());
            return;
        }
        restartInto(EncoderMode::Application);
        return;
    }
    if (r[1] >= pkw::kFirstSequence) {
        handleData(r[1], r[2], r[3]);
        return;
    }
    answer(pkw::kErrorAnswer, r[1], 0, pkw::kErrorUnknownTelegram, config_.processingUs);
}

void SimEncoder::handleData(uint16_t sequence, uint16_t chars12, uint16_t chars34) {
    if (sequence == lastSequence_) {
        return;
    }
    lastSequence_ = sequence;
    const uint64_t n = ++dataTelegrams_;
    auto is = [n](int at) { return at >= 0 && n == static_cast<uint64_t>(at); };
    if (config_.goneAfter >= 0 && n > static_cast<uint64_t>(config_.goneAfter)) {
        ++life_;
        mode_ = EncoderMode::Gone;
        dp_.restart(expectedConfig());
        return;
    }
    if (is(config_.noAnswerAt)) {
        return;
    }
    if (is(config_.errorAt)) {
        answer(pkw::kErrorAnswer, sequence, 0, config_.errorCode, config_.processingUs);
        return;
    }
    const char chars[4] = {static_cast<char>(chars12 >> 8), static_cast<char>(chars12 & 0xFF),
                           static_cast<char>(chars34 >> 8), static_cast<char>(chars34 & 0xFF)};
    for (char c : chars) {
        if (!streamBroken_ && !flash_.feed(c)) {
            streamBroken_ = true;
        }
    }
    if (streamBroken_) {
        answer(pkw::kErrorAnswer, sequence, 0, pkw::kErrorBadRecord, config_.processingUs);
    } else {
        answer(pkw::kAcknowledge, sequence, 0, 0, config_.processingUs);
    }
}

void SimEncoder::restartInto(EncoderMode next) {
    // Off the bus at once; back after the restart time as a fresh slave in `next`.
    ++life_;
    ++restarts_;
    mode_ = EncoderMode::Restarting;
    dp_.restart(expectedConfig());
    erasing_ = false;
    after(config_.restartUs, [this, life = life_, next] {
        {
            std::lock_guard lock(mutex_);
            if (life != life_ || mode_ != EncoderMode::Restarting) {
                return;
            }
            mode_ = next;
            dp_.restart(expectedConfig());
            input_.assign(ioBytes(), 0);
            lastRequest_.assign(kPkwWords, 0);
            lastSequence_ = 0;
            streamBroken_ = false;
            flash_.dropStream();
        }
        segment_.stationArrived(config_.address);
    });
}

}  // namespace romtide::sim
