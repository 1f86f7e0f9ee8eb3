#include "sim/can/sim_device.h"

#include <cstdio>
#include <cstring>

namespace romtide::sim {

namespace {

constexpr const char* kSimPrefix = "ROMTIDE-SIM ";

FlashImage patternImage(uint32_t address, size_t length, uint8_t seed) {
    FlashImage image;
    for (size_t i = 0; i < length; ++i) {
        image[address + static_cast<uint32_t>(i)] = static_cast<uint8_t>(seed + i * 7);
    }
    return image;
}

}  // namespace

std::string simUpdaterHeader(char product) {
    return std::string(kSimPrefix) + "UPDATER " + product;
}

std::string simBootloaderHeader(char product, int version) {
    return std::string(kSimPrefix) + "BOOTLOADER " + product + " V" + std::to_string(version);
}

std::string simUpdaterImage(char product) {
    return writeSrec(patternImage(0xFE0000, 512, static_cast<uint8_t>(product)),
                     simUpdaterHeader(product), 0xFE0000);
}

std::string simBootloaderImage(char product, int version) {
    return writeSrec(patternImage(0xFFA000, 1024, static_cast<uint8_t>(product + version)),
                     simBootloaderHeader(product, version), 0xFFA000);
}

SimCanDevice::SimCanDevice(SimBus& bus, SimDeviceConfig config)
    : bus_(bus),
      config_(std::move(config)),
      mode_(config_.startsInBootloader ? DeviceMode::Bootloader : DeviceMode::Application),
      bootVersion_(config_.bootVersion),
      product_(config_.product),
      softwareVersion_(config_.softwareVersion) {
    handle_ = bus_.attach(*this, static_cast<uint32_t>(config_.kbit) * 1000u);
}

SimCanDevice::~SimCanDevice() {
    bus_.detach(handle_);
    std::lock_guard lock(mutex_);
    *alive_ = false;
}

DeviceMode SimCanDevice::mode() const {
    std::lock_guard lock(mutex_);
    return mode_;
}

int SimCanDevice::bootVersion() const {
    std::lock_guard lock(mutex_);
    return bootVersion_;
}

char SimCanDevice::product() const {
    std::lock_guard lock(mutex_);
    return product_;
}

FlashImage SimCanDevice::applicationFlash() const {
    std::lock_guard lock(mutex_);
    // What an application image in progress has programmed so far counts too.
    return flash_.image(flash_.stream().header().rfind(kSimPrefix, 0) != 0);
}

std::optional<uint32_t> SimCanDevice::applicationStart() const {
    std::lock_guard lock(mutex_);
    return flash_.start();
}

bool SimCanDevice::writeApplicationSrec(const std::string& path) const {
    return writeSrecFile(path, applicationFlash(), "ROMTIDE SIM FLASH", applicationStart());
}

uint64_t SimCanDevice::unitsReceived() const {
    std::lock_guard lock(mutex_);
    return units_;
}

uint64_t SimCanDevice::erases() const {
    std::lock_guard lock(mutex_);
    return flash_.erases();
}

std::string SimCanDevice::parserError() const {
    std::lock_guard lock(mutex_);
    return flash_.stream().error();
}

std::string SimCanDevice::softwareVersion() const {
    std::lock_guard lock(mutex_);
    return softwareVersion_;
}

void SimCanDevice::after(int64_t delayUs, std::function<void()> fn) {
    std::weak_ptr<bool> alive = alive_;
    auto& scheduler = bus_.scheduler();
    scheduler.at(scheduler.nowUs() + delayUs, [alive, fn = std::move(fn)] {
        if (auto a = alive.lock(); a && *a) {
            fn();
        }
    });
}

void SimCanDevice::answer(std::initializer_list<uint8_t> bytes, int64_t extraDelayUs) {
    vci::CanFrame frame;
    frame.id = 0x580u + static_cast<uint32_t>(config_.node);
    frame.length = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), frame.data);
    after(config_.answerDelayUs + extraDelayUs, [this, frame] {
        {
            std::lock_guard lock(mutex_);
            if (mode_ == DeviceMode::Gone) {
                return;
            }
        }
        bus_.send(handle_, frame);
    });
}

void SimCanDevice::answerString(uint8_t indexLow, const std::string& text) {
    if (text.size() <= 4) {
        uint8_t c[4] = {};
        std::memcpy(c, text.data(), text.size());
        answer({0x43, indexLow, 0x10, 0x00, c[0], c[1], c[2], c[3]});
        return;
    }
    // Longer texts need a segmented upload: only its initiate response, with the size.
    auto n = static_cast<uint32_t>(text.size());
    answer({0x41, indexLow, 0x10, 0x00, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
            static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)});
}

void SimCanDevice::abort(const vci::CanFrame& request) {
    // 0x06020000: object does not exist in the object dictionary.
    answer({0x80, request.data[1], request.data[2], request.data[3], 0x00, 0x00, 0x02, 0x06});
}

void SimCanDevice::onFrame(const vci::CanFrame& frame, int64_t) {
    std::lock_guard lock(mutex_);
    if (mode_ == DeviceMode::Gone) {
        return;
    }
    if (frame.id == 0 && frame.length >= 2 && frame.data[0] == 0x81 &&
        (frame.data[1] == config_.node || frame.data[1] == 0)) {
        // Reset Node: the device restarts into its bootloader (an updater that runs
        // restarts into the updater).
        bool updater = mode_ == DeviceMode::Updater;
        mode_ = DeviceMode::Resetting;
        flash_.dropStream();
        after(config_.resetUs, [this, updater] {
            std::lock_guard l(mutex_);
            if (mode_ == DeviceMode::Resetting) {
                mode_ = updater ? DeviceMode::Updater : DeviceMode::Bootloader;
            }
        });
        return;
    }
    if (frame.id != 0x600u + static_cast<uint32_t>(config_.node) || frame.length < 4) {
        return;
    }
    switch (mode_) {
        case DeviceMode::Application:
            handleSdo(frame);
            break;
        case DeviceMode::Bootloader:
        case DeviceMode::Updater:
            handleBootloader(frame);
            break;
        default:
            break;
    }
}

void SimCanDevice::handleSdo(const vci::CanFrame& f) {
    if (f.data[0] != 0x40) {
        abort(f);
        return;
    }
    uint16_t index = static_cast<uint16_t>(f.data[1] | (f.data[2] << 8));
    uint8_t sub = f.data[3];
    uint32_t v;
    switch (index) {
        case 0x1000:
            v = config_.deviceType;
            answer({0x43, 0x00, 0x10, 0x00, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                    static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)});
            return;
        case 0x1008:
            answerString(0x08, config_.name);
            return;
        case 0x1009:
            answerString(0x09, config_.hardwareVersion);
            return;
        case 0x100A:
            answerString(0x0A, softwareVersion_);
            return;
        case 0x1018:
            if (sub == 3) {
                v = config_.revision;
                answer({0x43, 0x18, 0x10, 0x03, static_cast<uint8_t>(v),
                        static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                        static_cast<uint8_t>(v >> 24)});
                return;
            }
            break;
        default:
            break;
    }
    abort(f);
}

void SimCanDevice::handleBootloader(const vci::CanFrame& f) {
    const uint8_t* d = f.data;
    if (d[0] == 0x23 && d[1] == 0x00 && d[2] == 0x30 && d[3] == 0x00 && f.length == 8) {
        handleUnit(d + 4);
        return;
    }
    if (d[0] != 0x40 || d[1] != 0x00 || d[2] != 0x30) {
        // The bootloader is no full SDO server: it keeps quiet about other objects.
        return;
    }
    auto kind = static_cast<uint8_t>(config_.bootKind);
    auto version = static_cast<uint8_t>(bootVersion_);
    switch (d[3]) {
        case 1:
            if (mode_ == DeviceMode::Updater) {
                answer({0x43, 0x00, 0x30, 0x01, kind, version, 'U',
                        static_cast<uint8_t>(updaterProduct_)});
            } else {
                uint8_t letter = bootVersion_ == 0 ? 0 : static_cast<uint8_t>(product_);
                answer({0x43, 0x00, 0x30, 0x01, kind, version, letter, 0x00});
            }
            return;
        case 2:
            endOfDownload();
            answer({0x43, 0x00, 0x30, 0x02, 0x00, 0x00, 0x00, 0x00});
            return;
        case 3:
            if (config_.eraseNeverAnswered) {
                return;
            }
            after(config_.eraseUs, [this] {
                bool failed;
                {
                    std::lock_guard lock(mutex_);
                    if (mode_ == DeviceMode::Gone) {
                        return;
                    }
                    failed = config_.eraseFails;
                    if (!failed) {
                        flash_.erase();
                        acknowledging_ = true;
                    }
                }
                answer({0x43, 0x00, 0x30, 0x03, 0x03, static_cast<uint8_t>(failed ? 1 : 0), 0x00,
                        0x00},
                       -config_.answerDelayUs);
            });
            return;
        default:
            abort(f);
            return;
    }
}

void SimCanDevice::handleUnit(const uint8_t* chars) {
    ++units_;
    if (config_.goneAfterUnits >= 0 && units_ > static_cast<uint64_t>(config_.goneAfterUnits)) {
        mode_ = DeviceMode::Gone;
        return;
    }
    for (int i = 0; i < 4; ++i) {
        if (!flash_.feed(static_cast<char>(chars[i]))) {
            // A bad record: this bootloader stops acknowledging until the next erase.
            acknowledging_ = false;
        }
    }
    if (config_.noAckAfterUnits >= 0 && units_ > static_cast<uint64_t>(config_.noAckAfterUnits)) {
        return;
    }
    if (acknowledging_) {
        answer({0x60, 0x00, 0x30, 0x00, 0x00, 0x00, 0x00, 0x00});
    }
}

void SimCanDevice::endOfDownload() {
    if (!flash_.finish()) {
        acknowledging_ = false;
        return;
    }
    const std::string header = flash_.stream().header();
    char letter = 0;
    int version = 0;
    if (std::sscanf(header.c_str(), "ROMTIDE-SIM UPDATER %c", &letter) == 1) {
        updaterProduct_ = letter;
        mode_ = DeviceMode::Updater;
    } else if (std::sscanf(header.c_str(), "ROMTIDE-SIM BOOTLOADER %c V%d", &letter, &version) ==
               2) {
        if (mode_ == DeviceMode::Updater) {
            bootVersion_ = version;
            product_ = letter;
            mode_ = DeviceMode::Bootloader;
        }
    } else {
        if (auto version = imageVersion(header); version && !config_.staleVersion) {
            softwareVersion_ = *version;
        }
        flash_.commit();
        if (config_.silentAfterDownload) {
            mode_ = DeviceMode::Gone;
            flash_.dropStream();
            return;
        }
        // The bootloader starts the new application.
        after(config_.resetUs, [this] {
            std::lock_guard lock(mutex_);
            if (mode_ == DeviceMode::Bootloader) {
                mode_ = DeviceMode::Application;
            }
        });
    }
    flash_.dropStream();
}

}  // namespace romtide::sim
