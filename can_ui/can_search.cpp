#include "can_ui/can_search.h"

#include <algorithm>
#include <tuple>

#include "can_ui/can_texts.h"

namespace romtide::canui {

namespace {

using Request = std::array<uint8_t, 8>;
constexpr Request kDeviceType{0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};
constexpr Request kDeviceName{0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0};
constexpr Request kHardwareVersion{0x40, 0x09, 0x10, 0x00, 0, 0, 0, 0};
constexpr Request kSoftwareVersion{0x40, 0x0A, 0x10, 0x00, 0, 0, 0, 0};
constexpr Request kRevision{0x40, 0x18, 0x10, 0x03, 0, 0, 0, 0};
constexpr Request kBootloaderId{0x40, 0x00, 0x30, 0x01, 0, 0, 0, 0};

constexpr int32_t kMaxRow = 128;

// An SDO upload response for `index` sub 0 (any kind: expedited, segmented initiate or
// abort), and the text of an expedited one: d4..d7 up to the first zero byte.
bool answersObject(const uint8_t* d, uint8_t indexLow, uint8_t indexHigh) {
    return (d[0] == 0x41 || d[0] == 0x42 || d[0] == 0x43 || d[0] == 0x80) && d[1] == indexLow &&
           d[2] == indexHigh;
}
std::string expeditedText(const uint8_t* d) {
    std::string text;
    for (int i = 4; i < 8 && d[i] != 0; ++i) {
        text.push_back(static_cast<char>(d[i]));
    }
    return text;
}

void setDeviceType(FoundDevice& device, const uint8_t* d) {
    std::tie(device.deviceType, device.additionalInfo) = deviceTypeTexts(d[4], d[5], d[6], d[7]);
    device.deviceTypeCode =
        static_cast<uint32_t>(d[4] | d[5] << 8 | d[6] << 16) | static_cast<uint32_t>(d[7]) << 24;
}

void setBootloader(FoundDevice& device, const uint8_t* d) {
    device.bootloaderMode = true;
    device.deviceType = bootloaderVersionText(d[5], d[6], d[7]).value_or("Bootloader V.1");
    device.additionalInfo = "Korvane Electric AG";
    device.bootloaderVersion = d[5];
    device.updater = d[6] == 'U';
    device.bootloaderProduct = static_cast<char>(device.updater ? d[7] : d[6]);
}

}  // namespace

const std::array<std::string, 8>& gridCaptions() {
    static const std::array<std::string, 8> captions{
        " Node-ID [dec]",   " Device type",      " Additional information", " Device name",
        " Revision number", " Hardware version", " Software version",       " Update (Click)"};
    return captions;
}

void DeviceGrid::devicesCleared() {
    for (int r = 1; r < grid_.rowCount(); ++r) {
        for (int c = 0; c < grid_.columnCount(); ++c) {
            grid_.setCell(c, r, "");
        }
    }
}

void DeviceGrid::deviceFound(size_t index, const FoundDevice& d) {
    // The grid ends with the device's row.
    grid_.setRowCount(static_cast<int>(index) + 2);
    int visible = grid_.visibleRowCount();
    if (visible <= grid_.rowCount()) {
        // Keep the newest row in view; row 0 is the fixed header.
        grid_.setTopRow(std::max(1, grid_.rowCount() - visible));
    }
    deviceChanged(index, d);
}

void DeviceGrid::deviceChanged(size_t index, const FoundDevice& d) {
    const int row = static_cast<int>(index) + 1;
    const std::string cells[] = {
        std::to_string(d.node), d.deviceType,     d.additionalInfo, d.name, d.revision,
        d.hardwareVersion,      d.softwareVersion};
    for (int c = 0; c < static_cast<int>(std::size(cells)); ++c) {
        if (grid_.cell(c, row) != cells[c]) {
            grid_.setCell(c, row, cells[c]);
        }
    }
}

CanNodeSearch::CanNodeSearch(Tbootloader& session, CanSearchControls controls)
    : session_(session), controls_(std::move(controls)) {}

void CanNodeSearch::clearDevices() {
    devices_.clear();
    if (controls_.listener != nullptr) {
        controls_.listener->devicesCleared();
    }
}

void CanNodeSearch::found(int32_t row) {
    if (controls_.listener != nullptr) {
        controls_.listener->deviceFound(static_cast<size_t>(row - 1),
                                        devices_[static_cast<size_t>(row - 1)]);
    }
}

void CanNodeSearch::changed(int32_t row) {
    if (controls_.listener != nullptr) {
        controls_.listener->deviceChanged(static_cast<size_t>(row - 1),
                                          devices_[static_cast<size_t>(row - 1)]);
    }
}

void CanNodeSearch::resetState() {
    searchRow = 0;
    rowNodes.fill(0);
    lastStamp = 0;
    lastNode = 0;
    searchCancel = false;
}

void CanNodeSearch::PumpWait(int32_t units) {
    const Services& s = session_.services();
    // Answers are decoded as they arrive, not only after each 5 ms step.
    for (int32_t c = 0; c < units; c += 50) {
        ui::pumpFor(s.pump, s.clock, 5 * 1000);
    }
}

void CanNodeSearch::setButtons(bool enabled) {
    for (auto* b : controls_.buttons) {
        if (b != nullptr) {
            b->setEnabled(enabled);
        }
    }
}

int32_t CanNodeSearch::rowOfNode(int32_t node) const {
    // Unused rows hold node 0: an answer on 0x580 (no such node) must not take the next
    // free row, or the following device would get a row after a gap and the detail
    // requests, which stop at the first unused row, would never reach it.
    if (node < 1 || node > 127) {
        return -1;
    }
    for (int32_t r = 1; r <= 127; ++r) {
        if (rowNodes[static_cast<size_t>(r)] == node) {
            return r;
        }
    }
    return -1;
}

void CanNodeSearch::button_can_searchClick() {
    TCANComm& can = *session_.canComm;
    auto send = [&](const Request& r) {
        can.Transmit(r.data(), static_cast<uint16_t>(session_.GetSdoId()), 8);
    };
    TCANComm::SetReceiveForward(true);
    setButtons(false);
    bool found = false;
    searchCancel = false;
    clearDevices();
    rowNodes.fill(0);
    for (int n = 0; n <= 127; ++n) {
        session_.RemoveNode(static_cast<uint8_t>(n));
    }

    for (int pass = 0; pass <= 8 && !found && !searchCancel; ++pass) {
        searchRow = 0;
        int item = controls_.baudList.itemIndex();
        if (item >= 0 && item <= 8) {
            TCANComm::SetBaudIndex(item);
        }
        if (can.InitCan(0, static_cast<uint32_t>(session_.GetSdoId() - 0x80)) <= 0) {
            searchCancel = true;
            continue;
        }
        session_.SetNodeId(1);
        controls_.gauge.setPosition(0);
        do {
            send(kDeviceType);
            PumpWait(2);
            send(kBootloaderId);
            session_.SetNodeId(session_.GetNodeId() + 1);
            PumpWait(2);
            controls_.gauge.stepBy(1);
            session_.services().pump.processPending();
        } while (session_.GetNodeId() != 128 && !searchCancel);

        session_.services().clock.sleepMs(50);
        // The pause is for the answers to the last requests; frames reach the decoder
        // through the pump, so let them in before deciding whether the rate found anyone.
        // Otherwise they would be decoded in the next pass and credited to the next rate.
        session_.services().pump.processPending();
        searchRow = 0;
        if (rowNodes[1] == 0) {
            int next = TCANComm::GetBaudIndex() == 8 ? 0 : controls_.baudList.itemIndex() + 1;
            controls_.baudList.setItemIndex(next);
            searchRow = 0;
            controls_.gauge.setPosition(0);
        } else {
            found = true;
            for (size_t i = 1; i < rowNodes.size() && rowNodes[i] != 0; ++i) {
                session_.SetNodeId(rowNodes[i]);
                PumpWait(1000);
                send(kDeviceName);
                PumpWait(1000);
                send(kSoftwareVersion);
                PumpWait(1000);
                send(kHardwareVersion);
                PumpWait(1000);
                send(kRevision);
                PumpWait(1000);
            }
        }
        session_.SetNodeId(1);
    }
    PumpWait(250);
    TCANComm::SetReceiveForward(false);
    setButtons(true);
    lastStamp = 0;
    lastNode = 0;
}

bool CanNodeSearch::startRow(int32_t node) {
    if (searchRow + 1 > kMaxRow) {
        return false;
    }
    ++searchRow;
    FoundDevice device;
    device.node = node;
    device.baudIndex = TCANComm::GetBaudIndex();
    device.kbit = TCANComm::kBitRates[static_cast<size_t>(device.baudIndex)].kbit;
    // Rows are only ever added at the end; an earlier search's rows are gone.
    devices_.resize(static_cast<size_t>(searchRow - 1));
    devices_.push_back(device);
    rowNodes[static_cast<size_t>(searchRow)] = static_cast<uint8_t>(node);
    return true;
}

void CanNodeSearch::IdentifyFrame(uint32_t timeStamp, uint32_t identifier, uint8_t,
                                  const uint8_t* d) {
    if (timeStamp == lastStamp) {
        return;
    }
    auto node = static_cast<int32_t>(identifier) - 0x580;
    bool fresh = node >= 1 && node <= 127 && node != lastNode;
    auto locate = [&] {
        int32_t r = rowOfNode(node);
        if (r > 0) {
            searchRow = r;
        }
    };

    if (d[0] == 0x43 && d[1] == 0x00 && d[2] == 0x10 && d[3] == 0x00) {
        if (fresh && startRow(node)) {
            setDeviceType(devices_.back(), d);
            found(searchRow);
        }
    } else if ((d[0] == 0x42 || d[0] == 0x43) &&
               (d[1] == 0x08 || d[1] == 0x09 || d[1] == 0x0A || d[1] == 0x18) && d[2] == 0x10 &&
               d[3] == 0x00) {
        const std::string text = expeditedText(d);
        locate();
        if (searchRow != 0 && static_cast<size_t>(searchRow) <= devices_.size()) {
            FoundDevice& device = devices_[static_cast<size_t>(searchRow - 1)];
            std::string* field = d[1] == 0x08   ? &device.name
                                 : d[1] == 0x09 ? &device.hardwareVersion
                                 : d[1] == 0x0A ? &device.softwareVersion
                                                : nullptr;
            if (field != nullptr) {
                *field = text;
                changed(searchRow);
            }
        }
    } else if (d[0] == 0x43 && d[1] == 0x18 && d[2] == 0x10 && d[3] == 0x03) {
        locate();
        if (searchRow != 0 && static_cast<size_t>(searchRow) <= devices_.size()) {
            devices_[static_cast<size_t>(searchRow - 1)].revision =
                revisionText(d[4], d[5], d[6], d[7]);
            changed(searchRow);
        }
    } else if (d[0] == 0x43 && d[1] == 0x00 && d[2] == 0x30 && (d[3] == 0x01 || d[3] == 0x00)) {
        if (fresh && startRow(node)) {
            setBootloader(devices_.back(), d);
            found(searchRow);
        }
    }
    lastStamp = timeStamp;
    lastNode = node;
}

namespace {

// How long one request waits for its answer, and how often a detail is asked for.
constexpr int64_t kAnswerMs = 100;
constexpr int kDetailAttempts = 3;

using Answer = std::array<uint8_t, 8>;

bool cancelRequested() {
    return Tbootloader::attemptCount >= Tbootloader::kCancelRequest;
}

// Sends `request` to the node and waits up to kAnswerMs for an answer that `accepts`.
template <class Accepts>
std::optional<Answer> ask(Tbootloader& session, const Request& request, Accepts accepts) {
    TCANComm& can = *session.canComm;
    const Services& s = session.services();
    can.Receive();  // an older answer in the buffer is none to this request
    if (can.Transmit(request.data(), static_cast<uint16_t>(session.GetSdoId()), 8) != 1) {
        return std::nullopt;
    }
    const int64_t giveUpUs = s.clock.nowUs() + kAnswerMs * 1000;
    for (;;) {
        s.pump.processPending();
        can.Receive();
        Answer d{};
        can.GetRxData(0, d.data());
        if (accepts(d.data())) {
            return d;
        }
        if (s.clock.nowUs() >= giveUpUs || cancelRequested()) {
            return std::nullopt;
        }
        s.pump.sleepUntilWork(s.clock, giveUpUs);
    }
}

}  // namespace

Reidentification identifyAgain(Tbootloader& session, int64_t waitMs) {
    Clock& clock = session.services().clock;
    const int64_t started = clock.nowMs();
    Reidentification r;
    FoundDevice& device = r.device;
    // What is known of the device before it answers anything.
    auto blank = [&session] {
        FoundDevice d;
        d.node = session.GetNodeId();
        d.baudIndex = TCANComm::GetBaudIndex();
        d.kbit = TCANComm::kBitRates[static_cast<size_t>(d.baudIndex)].kbit;
        return d;
    };
    device = blank();
    auto finish = [&](Answered answered) {
        r.answered = answered;
        r.ms = clock.nowMs() - started;
        return r;
    };
    std::optional<Answer> type;
    for (;;) {
        if (cancelRequested()) {
            return finish(Answered::Cancelled);
        }
        type = ask(session, kDeviceType, [](const uint8_t* d) {
            return d[0] == 0x43 && d[1] == 0x00 && d[2] == 0x10 && d[3] == 0x00;
        });
        if (type) {
            break;
        }
        // Only the answer of the last round counts: a bootloader seen once may have
        // started its application since.
        auto boot = ask(session, kBootloaderId, [](const uint8_t* d) {
            return d[0] == 0x43 && d[1] == 0x00 && d[2] == 0x30 && (d[3] == 0x01 || d[3] == 0x00);
        });
        device = blank();
        if (boot) {
            setBootloader(device, boot->data());
        }
        if (clock.nowMs() - started >= waitMs) {
            if (cancelRequested()) {
                return finish(Answered::Cancelled);
            }
            return finish(device.bootloaderMode ? Answered::Bootloader : Answered::Nothing);
        }
    }
    device = blank();
    setDeviceType(device, type->data());
    struct Detail {
        const Request& request;
        std::string* text;
    };
    for (const Detail& detail :
         {Detail{kDeviceName, &device.name}, Detail{kSoftwareVersion, &device.softwareVersion},
          Detail{kHardwareVersion, &device.hardwareVersion}}) {
        for (int attempt = 0; attempt < kDetailAttempts && !cancelRequested(); ++attempt) {
            const uint8_t index = detail.request[1];
            auto answer = ask(session, detail.request, [index](const uint8_t* d) {
                return answersObject(d, index, 0x10) && d[3] == 0x00;
            });
            if (answer) {
                if (answer->at(0) == 0x42 || answer->at(0) == 0x43) {
                    *detail.text = expeditedText(answer->data());
                }
                break;
            }
        }
    }
    for (int attempt = 0; attempt < kDetailAttempts && !cancelRequested(); ++attempt) {
        auto answer = ask(session, kRevision, [](const uint8_t* d) {
            return answersObject(d, 0x18, 0x10) && d[3] == 0x03;
        });
        if (answer) {
            if (answer->at(0) == 0x43) {
                device.revision =
                    revisionText((*answer)[4], (*answer)[5], (*answer)[6], (*answer)[7]);
            }
            break;
        }
    }
    return finish(cancelRequested() ? Answered::Cancelled : Answered::Application);
}

}  // namespace romtide::canui
