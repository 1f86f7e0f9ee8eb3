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

std::string versionText(const ParameterWords& answer) {
    const uint16_t v = answer[3];
    std::string text = std::to_string(v >> 12) + "." + std::to_string((v >> 8) & 0xF) + "." +
                       std::to_string(v & 0xFF);
    return answer[2] == kBootloaderAnswers ? "Bootloader " + text : text;
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
