#include "nuboxlink/interface/registry.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <utility>

namespace nuboxlink {

const char* const kDevicesKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zirudevizudorer\\Devices";

namespace {

char lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool equalNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    c = lower(c);
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// A quoted string at the start of `s`; `s` is left after the closing quote.
std::optional<std::string> quoted(std::string_view& s) {
    if (s.empty() || s.front() != '"') {
        return std::nullopt;
    }
    std::string out;
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\') {
            if (i + 1 >= s.size()) {
                return std::nullopt;
            }
            out.push_back(s[++i]);
        } else if (c == '"') {
            s.remove_prefix(i + 1);
            return out;
        } else {
            out.push_back(c);
        }
    }
    return std::nullopt;
}

std::optional<RegValue> parseData(std::string_view d) {
    if (!d.empty() && d.front() == '"') {
        auto text = quoted(d);
        if (!text || !trim(d).empty()) {
            return std::nullopt;
        }
        return RegValue::ofString(*text);
    }
    if (d.size() > 6 && equalNoCase(d.substr(0, 6), "dword:")) {
        std::string_view digits = d.substr(6);
        if (digits.empty() || digits.size() > 8) {
            return std::nullopt;
        }
        uint32_t v = 0;
        for (char c : digits) {
            int h = hexDigit(c);
            if (h < 0) {
                return std::nullopt;
            }
            v = v << 4 | static_cast<uint32_t>(h);
        }
        return RegValue::ofDword(v);
    }
    RegValue r;
    r.type = RegValue::Type::Binary;
    std::string_view rest;
    if (d.size() >= 4 && equalNoCase(d.substr(0, 4), "hex:")) {
        rest = d.substr(4);
    } else if (d.size() >= 7 && equalNoCase(d.substr(0, 4), "hex(")) {
        size_t close = d.find("):");
        if (close == std::string_view::npos || close == 4 || close > 6) {
            return std::nullopt;
        }
        unsigned kind = 0;
        for (char c : d.substr(4, close - 4)) {
            int h = hexDigit(c);
            if (h < 0) {
                return std::nullopt;
            }
            kind = kind * 16 + static_cast<unsigned>(h);
        }
        r.binaryKind = kind;
        rest = d.substr(close + 2);
    } else {
        return std::nullopt;
    }
    rest = trim(rest);
    while (!rest.empty()) {
        if (rest.size() < 2 || hexDigit(rest[0]) < 0 || hexDigit(rest[1]) < 0) {
            return std::nullopt;
        }
        r.bytes.push_back(static_cast<uint8_t>(hexDigit(rest[0]) * 16 + hexDigit(rest[1])));
        rest = trim(rest.substr(2));
        if (!rest.empty()) {
            if (rest.front() != ',') {
                return std::nullopt;
            }
            rest = trim(rest.substr(1));
            if (rest.empty()) {
                return std::nullopt;
            }
        }
    }
    if (r.binaryKind == 4 && r.bytes.size() == 4) {
        // hex(4) is a DWORD written out as bytes, little-endian.
        return RegValue::ofDword(static_cast<uint32_t>(r.bytes[0]) | r.bytes[1] << 8 |
                                 r.bytes[2] << 16 | static_cast<uint32_t>(r.bytes[3]) << 24);
    }
    return r;
}

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

bool isBelow(std::string_view key, std::string_view parent) {
    return key.size() > parent.size() && key[parent.size()] == '\\' &&
           equalNoCase(key.substr(0, parent.size()), parent);
}

}  // namespace

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return lower(x) < lower(y); });
}

RegValues* RegFile::find(std::string_view key) {
    return const_cast<RegValues*>(std::as_const(*this).find(key));
}

const RegValues* RegFile::find(std::string_view key) const {
    for (const auto& [name, values] : keys) {
        if (equalNoCase(name, key)) {
            return &values;
        }
    }
    return nullptr;
}

RegValues& RegFile::findOrAdd(std::string_view key) {
    if (RegValues* v = find(key)) {
        return *v;
    }
    keys.emplace_back(std::string(key), RegValues{});
    return keys.back().second;
}

bool RegFile::exists(std::string_view key) const {
    for (const auto& k : keys) {
        if (equalNoCase(k.first, key) || isBelow(k.first, key)) {
            return true;
        }
    }
    return false;
}

void RegFile::removeTree(std::string_view key) {
    std::erase_if(
        keys, [&](const auto& k) { return equalNoCase(k.first, key) || isBelow(k.first, key); });
}

std::optional<RegFile> parseRegFile(std::string_view text) {
    // Join continuation lines (a trailing backslash) first; hex data is often wrapped.
    std::vector<std::string> lines;
    std::string pending;
    size_t pos = 0;
    bool first = true;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (first) {
            // The header may carry a byte-order mark from editors that add one.
            if (line.substr(0, 3) == "\xEF\xBB\xBF") {
                line.remove_prefix(3);
            }
            if (line != "REGEDIT4") {
                return std::nullopt;
            }
            first = false;
            continue;
        }
        if (!line.empty() && line.back() == '\\') {
            // A value line whose data goes on in the next line.
            pending.append(line.substr(0, line.size() - 1));
            continue;
        }
        pending.append(line);
        lines.push_back(std::move(pending));
        pending.clear();
    }
    if (first || !pending.empty()) {
        return std::nullopt;
    }

    // Keys in file order, and an ordered index by lower-case name while the file is read:
    // a section costs a lookup, not a scan of every key read so far, and a removal line
    // finds the key and the keys below it (names that continue with a backslash, which
    // sort together) without looking at the others. Removed keys are only marked; the
    // file keeps the rest in their order.
    std::vector<std::pair<std::string, RegValues>> keys;
    std::vector<bool> removed;
    std::map<std::string, size_t> index;
    auto lowerCase = [](std::string_view k) {
        std::string out(k);
        for (char& c : out) {
            c = lower(c);
        }
        return out;
    };
    auto removeTree = [&](std::string_view key) {
        const std::string name = lowerCase(key);
        if (auto it = index.find(name); it != index.end()) {
            removed[it->second] = true;
            index.erase(it);
        }
        // Below "name": from "name\" up to, not including, "name]" (']' follows '\').
        auto it = index.lower_bound(name + '\\');
        const auto end = index.lower_bound(name + ']');
        while (it != end) {
            removed[it->second] = true;
            it = index.erase(it);
        }
    };
    RegValues* current = nullptr;
    for (const std::string& raw : lines) {
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3) {
                return std::nullopt;
            }
            std::string_view key = line.substr(1, line.size() - 2);
            if (key.front() == '-') {
                removeTree(key.substr(1));
                current = nullptr;
                continue;
            }
            if (key.find('[') != std::string_view::npos ||
                key.find(']') != std::string_view::npos || key.back() == '\\') {
                return std::nullopt;
            }
            auto [at, added] = index.emplace(lowerCase(key), keys.size());
            if (added) {
                keys.emplace_back(std::string(key), RegValues{});
                removed.push_back(false);
            }
            current = &keys[at->second].second;
            continue;
        }
        if (!current) {
            return std::nullopt;
        }
        std::string name;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else {
            auto q = quoted(line);
            if (!q) {
                return std::nullopt;
            }
            name = *q;
        }
        line = trim(line);
        if (line.empty() || line.front() != '=') {
            return std::nullopt;
        }
        line = trim(line.substr(1));
        if (line == "-") {
            current->erase(name);
            continue;
        }
        auto value = parseData(line);
        if (!value) {
            return std::nullopt;
        }
        (*current)[name] = std::move(*value);
    }
    RegFile file;
    for (size_t i = 0; i < keys.size(); ++i) {
        if (!removed[i]) {
            file.keys.push_back(std::move(keys[i]));
        }
    }
    return file;
}

std::string formatRegFile(const RegFile& file) {
    std::string out = "REGEDIT4\n";
    for (const auto& [key, values] : file.keys) {
        out += "\n[" + key + "]\n";
        for (const auto& [name, v] : values) {
            out += name.empty() ? std::string("@=") : "\"" + escape(name) + "\"=";
            char buf[16];
            switch (v.type) {
                case RegValue::Type::String:
                    out += "\"" + escape(v.text) + "\"";
                    break;
                case RegValue::Type::Dword:
                    std::snprintf(buf, sizeof buf, "dword:%08x", v.dword);
                    out += buf;
                    break;
                case RegValue::Type::Binary:
                    if (v.binaryKind == 3) {
                        out += "hex:";
                    } else {
                        std::snprintf(buf, sizeof buf, "hex(%x):", v.binaryKind);
                        out += buf;
                    }
                    for (size_t i = 0; i < v.bytes.size(); ++i) {
                        std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", v.bytes[i]);
                        out += buf;
                    }
                    break;
            }
            out += "\n";
        }
    }
    return out;
}

std::string deviceKeyName(unsigned device) {
    return std::string(kDevicesKey) + "\\" + std::to_string(device);
}

std::optional<uint32_t> numberValue(const RegValues& values, const std::string& name) {
    auto it = values.find(name);
    if (it == values.end()) {
        return std::nullopt;
    }
    const RegValue& v = it->second;
    if (v.type == RegValue::Type::Dword) {
        return v.dword;
    }
    if (v.type == RegValue::Type::Binary && v.bytes.size() == 4) {
        return static_cast<uint32_t>(v.bytes[0]) | v.bytes[1] << 8 | v.bytes[2] << 16 |
               static_cast<uint32_t>(v.bytes[3]) << 24;
    }
    return std::nullopt;
}

std::optional<uint32_t> dwordValue(const RegValues& values, const std::string& name) {
    auto it = values.find(name);
    if (it == values.end() || it->second.type != RegValue::Type::Dword) {
        return std::nullopt;
    }
    return it->second.dword;
}

std::optional<std::string> stringValue(const RegValues& values, const std::string& name) {
    auto it = values.find(name);
    if (it == values.end() || it->second.type != RegValue::Type::String) {
        return std::nullopt;
    }
    return it->second.text;
}

std::optional<DeviceValues> devicesOf(const RegFile& file) {
    if (!file.exists(kDevicesKey)) {
        return std::nullopt;
    }
    DeviceValues devices;
    for (unsigned n = 0; n < devices.size(); ++n) {
        const std::string key = deviceKeyName(n);
        if (const RegValues* v = file.find(key)) {
            devices[n] = *v;
        } else if (file.exists(key)) {
            devices[n] = RegValues{};  // only keys below it: a key without values
        }
    }
    return devices;
}

bool RegistryStore::readDevice(unsigned device, RegValues* values) {
    DeviceValues devices;
    if (device >= devices.size() || !readDevices(&devices) || !devices[device]) {
        return false;
    }
    *values = std::move(*devices[device]);
    return true;
}

bool MemoryRegistry::readDevices(DeviceValues* devices) {
    ++reads;
    auto found = devicesOf(file);
    if (!found) {
        return false;
    }
    *devices = std::move(*found);
    return true;
}

bool MemoryRegistry::replaceDevice(unsigned device, const RegValues& values) {
    if (failWrites) {
        return false;
    }
    file.findOrAdd(kDevicesKey);
    file.removeTree(deviceKeyName(device));
    file.findOrAdd(deviceKeyName(device)) = values;
    return true;
}

}  // namespace nuboxlink
