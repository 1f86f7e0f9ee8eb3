#include "sim/can/sim_device_option.h"

#include <cstdlib>
#include <sstream>
#include <vector>

#include "base/text_parse.h"

namespace romtide::sim {

bool isCanKbit(int kbit) {
    for (int k : {10, 20, 50, 100, 125, 250, 500, 800, 1000}) {
        if (k == kbit) {
            return true;
        }
    }
    return false;
}

std::optional<SimDeviceOption> parseSimDeviceOption(const std::string& text, bool allowIface,
                                                    std::string* error) {
    SimDeviceOption option;
    SimDeviceConfig& c = option.config;
    bool haveNode = false;
    std::stringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        auto eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        int n = 0;
        if (key == "node" && parseInt(value, 1, 127, &n)) {
            c.node = n;
            haveNode = true;
        } else if (key == "kbit" && parseInt(value, 10, 1000, &n) && isCanKbit(n)) {
            c.kbit = n;
            option.kbitGiven = true;
        } else if (key == "boot" && (value == "1.0" || value == "V1.0")) {
            c.bootVersion = 0;
        } else if (key == "boot" && parseInt(value, 0, 255, &n)) {
            c.bootVersion = n;
        } else if (key == "product" && value.size() == 1) {
            c.product = value[0];
        } else if (key == "name") {
            c.name = value;
        } else if (key == "version") {
            c.softwareVersion = value;
        } else if (key == "mode" && (value == "app" || value == "boot")) {
            c.startsInBootloader = value == "boot";
        } else if (key == "delay" && parseInt(value, 0, 10000000, &n)) {
            c.answerDelayUs = n;
        } else if (key == "fail" && value == "erase") {
            c.eraseFails = true;
        } else if (key == "fail" && value == "erase-silent") {
            c.eraseNeverAnswered = true;
        } else if (key == "fail" && value == "stale") {
            c.staleVersion = true;
        } else if (key == "fail" && value == "silent-after") {
            c.silentAfterDownload = true;
        } else if (key == "fail" && value.rfind("noack@", 0) == 0 &&
                   parseInt(value.substr(6), 0, 100000000, &n)) {
            c.noAckAfterUnits = n;
        } else if (key == "fail" && value.rfind("gone@", 0) == 0 &&
                   parseInt(value.substr(5), 0, 100000000, &n)) {
            c.goneAfterUnits = n;
        } else if (allowIface && key == "iface" && !value.empty()) {
            option.iface = value;
        } else {
            *error = "bad simulated device item '" + item + "' in '" + text + "'";
            return std::nullopt;
        }
    }
    if (!haveNode) {
        *error = "a simulated device needs node=N: '" + text + "'";
        return std::nullopt;
    }
    return option;
}

}  // namespace romtide::sim
