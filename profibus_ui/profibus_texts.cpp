#include "profibus_ui/profibus_texts.h"

#include "session/tbootloader.h"

namespace romtide::pbui {

namespace {

// Word 2 of the version answer when the bootloader, not the application, answered.
constexpr uint16_t kBootloaderAnswers = 0x0400;

}  // namespace

const std::array<std::string, 11>& baudShortTexts() {
    static const std::array<std::string, 11> texts{"9.6kb", "19.2kb", "93.75kb", "187.5kb",
                                                   "500kb", "Error",  "1.5Mb",   "3Mb",
                                                   "6Mb",   "12Mb",   "Error"};
    return texts;
}

std::string baudShortText(int32_t baudIndex) {
    if (baudIndex < 0 || baudIndex >= static_cast<int32_t>(baudShortTexts().size())) {
        return "Error";
    }
    return baudShortTexts()[static_cast<size_t>(baudIndex)];
}

std::string boardKindText(uint8_t kind) {
    switch (kind) {
        case 0:
            return "No adapter found";
        case NUBOX_KIND_ISA:
            return "ISA adapter";
        case NUBOX_KIND_PCI:
            return "PCI adapter";
        case NUBOX_KIND_USB:
            return "USB adapter";
        case NUBOX_KIND_PCMCIA:
            return "PCMCIA adapter";
        case NUBOX_KIND_USB_HIGH:
            return "USB adapter up to 12Mbit";
        case NUBOX_KIND_PCI_HIGH:
            return "PCI adapter up to 12MBit";
        default:
            return "Error";
    }
}

std::string stationKindText(uint8_t type) {
    switch (type) {
        case dpm::kPassiveStation:
            return "Slave";
        case dpm::kActiveStation:
            return "Master";
        default:
            return "Unknown station";
    }
}

const std::array<std::string, 5>& gridCaptions() {
    static const std::array<std::string, 5> captions{
        " Device", " NodeID", " Product", " Software Version", " Update (Click to select)"};
    return captions;
}

std::string versionNumberText(uint16_t v) {
    return std::to_string(v >> 12) + "." + std::to_string((v >> 8) & 0xF) + "." +
           std::to_string(v & 0xFF);
}

std::string versionText(const ParameterWords& answer) {
    const std::string text = versionNumberText(answer[3]);
    return answer[2] == kBootloaderAnswers ? "Bootloader " + text : text;
}

std::optional<uint16_t> versionWordOf(const std::string& text) {
    unsigned parts[3] = {};
    size_t part = 0;
    size_t digits = 0;
    for (char c : text) {
        if (c == '.') {
            if (digits == 0 || ++part > 2) {
                return std::nullopt;
            }
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < 3) {
            parts[part] = parts[part] * 10 + static_cast<unsigned>(c - '0');
            ++digits;
        } else {
            return std::nullopt;
        }
    }
    if (part != 2 || digits == 0 || parts[0] > 15 || parts[1] > 15 || parts[2] > 255) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(parts[0] << 12 | parts[1] << 8 | parts[2]);
}

DownloadMessage downloadMessage(int32_t r) {
    using ui::MessageButtons;
    using ui::MessageIcon;
    auto box = [](const char* text, MessageIcon icon, MessageButtons buttons = MessageButtons::Ok) {
        return ui::Message{text, "Bootloader", icon, buttons};
    };
    DownloadMessage m;
    switch (r) {
        case result::kOk:
            m.message = box("File is downloaded into Flash.", MessageIcon::None);
            m.done = true;
            break;
        case result::kNoFile:
            m.message = box("No file is open!", MessageIcon::Information);
            m.stopRun = true;
            break;
        case result::kBusError:
            m.message =
                box("You've first to initialize the Profibusadapter!", MessageIcon::Information);
            m.stopRun = true;
            break;
        case result::kTransferError:
            m.message = box("Error during programing!\n", MessageIcon::Error);
            m.stopRun = true;
            m.moveToEnd = true;
            break;
        case result::kCancelled:
            m.message = box("User has cancelled! \n", MessageIcon::Warning);
            m.stopRun = true;
            break;
        case result::kEraseFailed:
            m.message = box("Error during erasing Flash! \nPlease try again.", MessageIcon::Error);
            m.stopRun = true;
            m.moveToEnd = true;
            break;
        case result::kNotCommitted:
            m.message = box("File is downloaded, but the station still runs its bootloader.",
                            MessageIcon::Error);
            m.stopRun = true;
            break;
        case result::kNotBack:
            m.message = box("File is downloaded, but the station did not answer afterwards.",
                            MessageIcon::Error);
            m.stopRun = true;
            break;
        case result::kUnverified:
            m.message = box("File is downloaded, but the station reports another version.",
                            MessageIcon::Error);
            m.stopRun = true;
            break;
        default:
            m.message = box("Unknown error!", MessageIcon::Error, MessageButtons::OkCancel);
            m.cancelStops = true;
            break;
    }
    return m;
}

std::string oneLine(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c != '\n') {
            out += c;
        }
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '\t')) {
        out.pop_back();
    }
    return out;
}

}  // namespace romtide::pbui
