#include "sim/profibus/station_option.h"

#include <set>
#include <sstream>

#include "base/text_parse.h"

namespace romtide::sim {

namespace {

constexpr int kMaxDelayUs = 10000000;
constexpr int kMaxTelegram = 100000000;
constexpr int kMaxVersionPart = 15;
constexpr int kMaxVersionPatch = 255;

// Exactly three numbers joined by dots.
bool parseVersion(const std::string& text, DpVersion* out) {
    const auto first = text.find('.');
    const auto second = first == std::string::npos ? first : text.find('.', first + 1);
    if (second == std::string::npos || text.find('.', second + 1) != std::string::npos) {
        return false;
    }
    const std::string a = text.substr(0, first);
    const std::string b = text.substr(first + 1, second - first - 1);
    const std::string c = text.substr(second + 1);
    DpVersion v;
    if (!parseInt(a, 0, kMaxVersionPart, &v.major) || !parseInt(b, 0, kMaxVersionPart, &v.minor) ||
        !parseInt(c, 0, kMaxVersionPatch, &v.patch)) {
        return false;
    }
    *out = v;
    return true;
}

bool parseIdent(const std::string& text, uint16_t* out) {
    if (text.size() < 3 || text.size() > 6 || text.compare(0, 2, "0x") != 0) {
        return false;
    }
    unsigned v = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0) {
            return false;
        }
        v = v * 16 + static_cast<unsigned>(digit);
    }
    *out = static_cast<uint16_t>(v);
    return true;
}

// "N" after a prefix such as "noack@".
bool parseAfter(const std::string& value, const std::string& prefix, long low, int* out) {
    return value.rfind(prefix, 0) == 0 &&
           parseInt(value.substr(prefix.size()), low, kMaxTelegram, out);
}

bool parseFail(const std::string& value, SimEncoderConfig* c) {
    int n = 0;
    if (value == "erase") {
        c->eraseNeverAnswered = true;
        return true;
    }
    if (value == "stale") {
        c->staleVersion = true;
        return true;
    }
    if (value == "silent-after") {
        c->silentAfterFinish = true;
        return true;
    }
    if (parseAfter(value, "noack@", 1, &n)) {
        c->noAnswerAt = n;
        return true;
    }
    if (parseAfter(value, "gone@", 0, &n)) {
        c->goneAfter = n;
        return true;
    }
    const auto colon = value.find(':');
    int code = 0;
    if (colon != std::string::npos && value.substr(0, colon) == "finish" &&
        parseInt(value.substr(colon + 1), 0, 255, &code)) {
        c->finishRefusedWith = code;
        return true;
    }
    if (colon != std::string::npos && parseAfter(value.substr(0, colon), "error@", 1, &n) &&
        parseInt(value.substr(colon + 1), 0, 255, &code)) {
        c->errorAt = n;
        c->errorCode = static_cast<uint8_t>(code);
        return true;
    }
    return false;
}

}  // namespace

std::optional<SimEncoderConfig> parseDpStationOption(const std::string& text, std::string* error) {
    SimEncoderConfig c;
    bool haveAddress = false;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        const auto eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        int n = 0;
        bool ok = true;
        if (key == "addr" && parseInt(value, 0, kDpHighestAddress, &n)) {
            c.address = n;
            haveAddress = true;
        } else if (key == "ppo" && parseInt(value, 1, 2, &n)) {
            c.ppo = n;
        } else if (key == "ident") {
            ok = parseIdent(value, &c.ident);
        } else if (key == "version") {
            ok = parseVersion(value, &c.version);
        } else if (key == "boot") {
            ok = parseVersion(value, &c.bootVersion);
        } else if (key == "mode" && (value == "app" || value == "boot")) {
            c.startsInBootloader = value == "boot";
        } else if (key == "delay" && parseInt(value, 0, kMaxDelayUs, &n)) {
            c.processingUs = n;
        } else if (key == "fail") {
            ok = parseFail(value, &c);
        } else {
            ok = false;
        }
        if (!ok) {
            *error = "bad simulated station item '" + item + "' in '" + text + "'";
            return std::nullopt;
        }
    }
    if (!haveAddress) {
        *error = "a simulated station needs addr=N: '" + text + "'";
        return std::nullopt;
    }
    return c;
}

std::optional<DpVersion> parseDpVersion(const std::string& text) {
    DpVersion v;
    if (!parseVersion(text, &v)) {
        return std::nullopt;
    }
    return v;
}

DpSegmentConfig defaultDpSegment() {
    DpSegmentConfig segment;
    SimEncoderConfig ppo1;
    ppo1.address = 3;
    SimEncoderConfig ppo2;
    ppo2.address = 4;
    ppo2.ppo = 2;
    ppo2.version = {2, 7, 1};
    SimEncoderConfig boot;
    boot.address = 5;
    boot.startsInBootloader = true;
    segment.encoders = {ppo1, ppo2, boot};
    segment.masters = {2};
    return segment;
}

std::string checkDpSegment(const DpSegmentConfig& segment) {
    std::set<int> taken{kDpBoardMasterAddress};
    auto claim = [&](int address, const char* what) -> std::string {
        if (address == kDpBoardMasterAddress) {
            return std::string("a simulated ") + what + " at address " + std::to_string(address) +
                   " would take the address of the board's own master";
        }
        if (address < 0 || address > kDpHighestAddress) {
            return std::string("a simulated ") + what + " at address " + std::to_string(address) +
                   " is outside 0-126";
        }
        if (!taken.insert(address).second) {
            return "two simulated stations at address " + std::to_string(address);
        }
        return {};
    };
    for (const SimEncoderConfig& e : segment.encoders) {
        if (std::string why = claim(e.address, "station"); !why.empty()) {
            return why;
        }
    }
    for (int m : segment.masters) {
        if (std::string why = claim(m, "master"); !why.empty()) {
            return why;
        }
    }
    return {};
}

}  // namespace romtide::sim
