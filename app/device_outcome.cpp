#include "app/device_outcome.h"

#include "profibus/tprofitalvik.h"
#include "profibus_ui/profibus_texts.h"
#include "session/tbootloader.h"

namespace romtide::headless {

namespace {

// The words both buses share.
const char* sharedWord(int32_t result) {
    switch (result) {
        case result::kOk:
            return "okay";
        case result::kNoFile:
            return "bad-file";
        case result::kBusError:
            return "bus-error";
        case result::kCancelled:
            return "cancelled";
        case result::kNotCommitted:
            return "not-committed";
        case result::kNotBack:
            return "not-back";
        case result::kUnverified:
            return "unverified";
        default:
            return nullptr;
    }
}

}  // namespace

std::string canOutcomeWord(int32_t result, bool skipped) {
    if (skipped) {
        return "skipped";
    }
    if (const char* word = sharedWord(result)) {
        return word;
    }
    switch (result) {
        case result::kTransferError:
            return "not-acknowledged";
        case result::kEraseFailed:
            return "bootloader-lost";
        default:
            return "failed";
    }
}

std::string profibusOutcomeWord(int32_t result, int32_t errorCode) {
    if (const char* word = sharedWord(result)) {
        return word;
    }
    switch (result) {
        case result::kTransferError:
            return errorCode >= 0 ? "device-error" : "not-acknowledged";
        case result::kEraseFailed:
            return "erase-failed";
        default:
            return "failed";
    }
}

std::optional<std::string> applicationVersion(const canui::FoundDevice& device) {
    if (device.bootloaderMode) {
        return std::nullopt;
    }
    return device.softwareVersion;
}

std::optional<std::string> applicationVersion(const pbui::SearchStation& station) {
    const pbui::StationIdentity& id = station.identity;
    if (station.type != dpm::kPassiveStation || !id.versionAnswered || id.bootloader) {
        return std::nullopt;
    }
    return pbui::versionNumberText(id.versionWord);
}

bool reportsVersion(const canui::FoundDevice& device, const std::string& expected) {
    return applicationVersion(device) == expected;
}

bool reportsVersion(const pbui::SearchStation& station, uint16_t expected) {
    return applicationVersion(station) && station.identity.versionWord == expected;
}

std::optional<std::string> leftWord(DeviceLeft left) {
    switch (left) {
        case DeviceLeft::InBootloader:
            return "bootloader";
        case DeviceLeft::InUpdater:
            return "updater";
        case DeviceLeft::Untouched:
            break;
    }
    return std::nullopt;
}

DeviceEntry currentEntry(int address, const std::string& version) {
    DeviceEntry e;
    e.address = address;
    e.outcome = "current";
    e.versionBefore = version;
    e.verified = true;
    return e;
}

DeviceEntry canEntry(const canui::NodeResult& r, std::optional<std::string> before, double seconds,
                     int64_t textUnitsSent) {
    DeviceEntry e;
    e.address = r.node;
    e.outcome = canOutcomeWord(r.download, r.skipped);
    e.result = r.download;
    e.connect = r.connect;
    e.seconds = seconds;
    e.textUnitsSent = textUnitsSent;
    e.versionBefore = std::move(before);
    if (r.after && r.after->answered == canui::Answered::Application) {
        e.versionAfter = r.after->device.softwareVersion;
    }
    e.verified = r.verified;
    e.leftIn = leftWord(r.left);
    return e;
}

DeviceEntry profibusEntry(const pbui::StationResult& r, std::optional<std::string> before,
                          int64_t textUnitsSent) {
    DeviceEntry e;
    e.address = r.station;
    e.outcome = profibusOutcomeWord(r.result, r.errorCode);
    e.result = r.result;
    e.seconds = r.seconds;
    e.textUnitsSent = textUnitsSent;
    e.versionBefore = std::move(before);
    if (r.after && r.after->answered == pbui::CameBack::Application) {
        e.versionAfter = pbui::versionNumberText(r.after->identity.versionWord);
    }
    e.verified = r.verified;
    e.leftIn = leftWord(r.left);
    return e;
}

}  // namespace romtide::headless
