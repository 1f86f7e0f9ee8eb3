#include "can_ui/can_texts.h"

#include <ctime>

namespace romtide::canui {

const std::array<std::string, 9>& baudListItems() {
    static const std::array<std::string, 9> items{"    10 kBit/s", "    20 kBit/s", "    50 kBit/s",
                                                  "  100 kBit/s",  "  125 kBit/s",  "  250 kBit/s",
                                                  "  500 kBit/s",  "  800 kBit/s",  "1000 kBit/s"};
    return items;
}

const std::array<std::string, 9>& baudDisplayTexts() {
    static const std::array<std::string, 9> texts{"10 kBit/s",  "20 kBit/s",  "50 kBit/s",
                                                  "100 kBit/s", "125 kBit/s", "250 kBit/s",
                                                  "500 kBit/s", "800 kBit/s", "1000 kBit/s"};
    return texts;
}

std::pair<std::string, std::string> deviceTypeTexts(uint8_t d4, uint8_t d5, uint8_t d6,
                                                    uint8_t d7) {
    unsigned profile = d4 + 256u * d5;
    std::string column1 = "0";
    std::string column2 = "0";
    const char* name = nullptr;
    switch (profile) {
        case 401:
            name = " I/O Modul [";
            break;
        case 402:
            name = " Drive or Motion Control [";
            break;
        case 403:
            name = " Human Machine Interface [";
            break;
        case 404:
            name = " Measuring Device [";
            break;
        case 405:
            name = " Pogrammable Device [";
            break;
        case 406:
            name = " Encoder [";
            break;
        case 407:
            name = " Public Transport [";
            break;
        default:
            break;
    }
    if (name != nullptr) {
        column1 = std::string(name) + std::to_string(profile) + "]";
    }
    if (profile == 402) {
        unsigned v = 256u * d6 + d7;  // d6 is the high byte here
        const char* text = "not in list [";
        switch (v) {
            case 1:
                text = "Frequency Converter [";
                break;
            case 4:
                text = "Stepper Motor [";
                break;
            case 512:
                text = "Servo Drive DC motor [";
                break;
            case 513:
                text = "Servo Drive brushless DC motor [";
                break;
            default:
                break;
        }
        column2 = std::string(text) + std::to_string(v) + "]";
    } else if (profile == 406) {
        unsigned v = d6 + 256u * d7;  // and the low byte here
        static const char* const kEncoders[] = {
            "SingleTurn absolute rotary encoder [",
            "MultiTurn absolute rotary encoder [",
            "SingleTurn absolute rotary encoder with electronic turncount [",
            "Incremental rotary encoder [",
            "Incremental rotary encoder with electronic turncount [",
            "Incremental linear encoder [",
            "Incremental linear encoder with electronic turncount [",
            "Absolute linear encoder [",
            "Absolute linear encoder with cyclic coding [",
            "Multi-Sensor encoder interface ["};
        const char* text = v >= 1 && v <= 10 ? kEncoders[v - 1] : "not in list [";
        column2 = std::string(text) + std::to_string(v) + "]";
    }
    return {column1, column2};
}

std::optional<std::string> bootloaderVersionText(uint8_t d5, uint8_t d6, uint8_t d7) {
    auto product = [](uint8_t letter) -> const char* {
        switch (letter) {
            case 'D':
                return ".497 Encoder";
            case 'E':
                return ".498 Inkra";
            case 'F':
                return ".387 Quadra";
            case 'G':
                return ".387 Presto";
            default:
                return nullptr;
        }
    };
    std::string version = std::to_string(d5);
    if (d6 == 'U') {
        // The update loader names only the three selectable products.
        const char* p = d7 == 'G' ? nullptr : product(d7);
        if (p == nullptr) {
            return std::nullopt;
        }
        return "UpdateLoader V." + version + p;
    }
    const char* p = product(d6);
    if (p == nullptr) {
        return std::nullopt;
    }
    return "Bootloader V." + version + p;
}

std::string revisionText(uint8_t d4, uint8_t d5, uint8_t d6, uint8_t d7) {
    return std::to_string(d7) + std::to_string(d6) + "." + std::to_string(d5) + std::to_string(d4);
}

ConnectOutcome connectOutcome(int32_t result) {
    switch (result) {
        case 0:
            return {" - bootloader connect ok", ConnectNext::Download, false};
        case 1:
            return {" - bootloader update ok", ConnectNext::ConnectAgain, false};
        case -4:
            return {" - bootloader connect error", ConnectNext::Skip, false};
        case -6:
            return {" - bootloader not updatet", ConnectNext::Download, false};
        case -7:
            return {" - bootloader update error", ConnectNext::Skip, false};
        case -8:
            return {" - bootloader V1.0", ConnectNext::ConnectAgain, true};
        default:
            return {nullptr, ConnectNext::Skip, false};
    }
}

DownloadOutcome downloadOutcome(int32_t result) {
    switch (result) {
        case 0:
            return {" - okay", false, true};
        case -1:
            return {" - bad file", true, false};
        case -4:
            return {" - no connection to the bootloader", false, false};
        case -5:
            return {" - CAN bus error", false, false};
        case -7:
            return {" - error", false, false};
        case -8:
            return {" - User has cancelled", true, false};
        case -9:
            return {" - error", false, false};
        case -10:
            return {" - not committed", false, false};
        case -11:
            return {" - no answer after the download", false, false};
        case -12:
            return {" - unverified", false, false};
        default:
            return {nullptr, false, false};
    }
}

std::string memoLine(int node, const char* suffix) {
    return "Slave " + std::to_string(node) + (suffix != nullptr ? suffix : "");
}

std::string localDateTimeText() {
    std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, "%x %X", &local);
    return text;
}

}  // namespace romtide::canui
