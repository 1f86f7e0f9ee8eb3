#include "machine/worker_protocol.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace romtide::machine::protocol {

namespace {

bool plain(unsigned char c) {
    return c > 0x20 && c < 0x7F && c != '%' && c != '=';
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;  // upper case only: one text has one escaped form
}

bool isWord(const std::string& w) {
    if (w.empty() || w.size() > 32) {
        return false;
    }
    for (char c : w) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) {
            return false;
        }
    }
    return true;
}

// Optional values travel as the field's absence.
void setText(Message& m, const char* key, const std::optional<std::string>& text) {
    if (text) {
        m.set(key, *text);
    }
}

std::optional<std::string> textOf(const Message& m, const char* key) {
    const std::string* v = m.get(key);
    return v ? std::optional<std::string>(*v) : std::nullopt;
}

}  // namespace

const std::string* Message::get(const std::string& key) const {
    for (const auto& [k, v] : fields) {
        if (k == key) {
            return &v;
        }
    }
    return nullptr;
}

void Message::set(const std::string& key, const std::string& value) {
    fields.emplace_back(key, value);
}

void Message::setInt(const std::string& key, int64_t value) {
    set(key, std::to_string(value));
}

std::optional<int64_t> Message::getInt(const std::string& key) const {
    const std::string* v = get(key);
    if (v == nullptr || v->empty() || v->size() > 20) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const long long n = std::strtoll(v->c_str(), &end, 10);
    if (errno != 0 || *end != '\0') {
        return std::nullopt;
    }
    return n;
}

std::string escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (plain(c)) {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

std::optional<std::string> unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%') {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            // One text has one form: a byte that needs no escape has none.
            if (hi < 0 || lo < 0 || plain(static_cast<unsigned char>(hi * 16 + lo))) {
                return std::nullopt;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (plain(c)) {
            out += static_cast<char>(c);
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::string format(const Message& message) {
    std::string line = message.word;
    for (const auto& [k, v] : message.fields) {
        line += " " + k + "=" + escape(v);
    }
    return line + "\n";
}

std::optional<Message> parse(const std::string& line, std::string* error) {
    if (line.size() >= kMaxLine) {
        *error = "line too long";
        return std::nullopt;
    }
    Message m;
    size_t start = 0;
    bool first = true;
    while (start <= line.size()) {
        size_t blank = line.find(' ', start);
        if (blank == std::string::npos) {
            blank = line.size();
        }
        const std::string item = line.substr(start, blank - start);
        if (first) {
            if (!isWord(item)) {
                *error = "not a message word";
                return std::nullopt;
            }
            m.word = item;
            first = false;
        } else {
            const size_t eq = item.find('=');
            if (eq == std::string::npos || !isWord(item.substr(0, eq))) {
                *error = "not a key=value field";
                return std::nullopt;
            }
            auto value = unescape(item.substr(eq + 1));
            if (!value) {
                *error = "a value escaped wrongly";
                return std::nullopt;
            }
            m.fields.emplace_back(item.substr(0, eq), *value);
        }
        start = blank + 1;
    }
    return m;
}

bool LineSplitter::feed(const char* data, size_t size, std::vector<std::string>& lines) {
    for (size_t i = 0; i < size && !broken_; ++i) {
        if (data[i] == '\n') {
            lines.push_back(std::move(partial_));
            partial_.clear();
        } else if (partial_.size() + 1 >= kMaxLine) {
            broken_ = true;
            partial_.clear();
        } else {
            partial_ += data[i];
        }
    }
    return !broken_;
}

Message foundMessage(const FoundUnit& d) {
    Message m{kFound, {}};
    m.setInt("address", d.address);
    m.setInt("boot", d.bootloaderMode ? 1 : 0);
    setText(m, "version", d.version);
    if (d.deviceType) {
        m.setInt("type", *d.deviceType);
    }
    if (d.ident) {
        m.setInt("ident", *d.ident);
    }
    return m;
}

std::optional<FoundUnit> foundOf(const Message& m) {
    FoundUnit d;
    auto address = m.getInt("address");
    auto boot = m.getInt("boot");
    if (m.word != kFound || !address || *address < 0 || *address > 127 || !boot) {
        return std::nullopt;
    }
    d.address = static_cast<int>(*address);
    d.bootloaderMode = *boot != 0;
    d.version = textOf(m, "version");
    if (m.get("type") != nullptr) {
        auto type = m.getInt("type");
        if (!type || *type < 0 || *type > 0xFFFFFFFFLL) {
            return std::nullopt;
        }
        d.deviceType = static_cast<uint32_t>(*type);
    }
    if (m.get("ident") != nullptr) {
        auto ident = m.getInt("ident");
        if (!ident || *ident < 0 || *ident > 0xFFFF) {
            return std::nullopt;
        }
        d.ident = static_cast<uint16_t>(*ident);
    }
    return d;
}

Message outcomeMessage(const DeviceOutcome& o) {
    Message m{kOutcome, {}};
    m.setInt("address", o.address);
    m.set("outcome", o.outcome);
    m.setInt("result", o.result);
    if (o.connect) {
        m.setInt("connect", *o.connect);
    }
    m.setInt("ms", std::llround(o.seconds * 1000));
    if (o.textUnitsSent) {
        m.setInt("units", *o.textUnitsSent);
    }
    setText(m, "before", o.versionBefore);
    setText(m, "after", o.versionAfter);
    if (o.verified) {
        m.setInt("verified", *o.verified ? 1 : 0);
    }
    m.setInt("rule", o.rule);
    return m;
}

std::optional<DeviceOutcome> outcomeOf(const Message& m) {
    DeviceOutcome o;
    auto address = m.getInt("address");
    auto result = m.getInt("result");
    auto ms = m.getInt("ms");
    auto rule = m.getInt("rule");
    const std::string* outcome = m.get("outcome");
    if (m.word != kOutcome || !address || *address < 0 || *address > 127 || !result ||
        *result < INT32_MIN || *result > INT32_MAX || !ms || *ms < 0 || !rule || *rule < -1 ||
        *rule > 100000 || outcome == nullptr || !isWord(*outcome)) {
        return std::nullopt;
    }
    o.address = static_cast<int>(*address);
    o.outcome = *outcome;
    o.result = static_cast<int32_t>(*result);
    o.seconds = static_cast<double>(*ms) / 1000;
    o.rule = static_cast<int>(*rule);
    if (m.get("connect") != nullptr) {
        auto c = m.getInt("connect");
        if (!c || *c < INT32_MIN || *c > INT32_MAX) {
            return std::nullopt;
        }
        o.connect = static_cast<int32_t>(*c);
    }
    if (m.get("units") != nullptr) {
        auto u = m.getInt("units");
        if (!u || *u < 0) {
            return std::nullopt;
        }
        o.textUnitsSent = *u;
    }
    o.versionBefore = textOf(m, "before");
    o.versionAfter = textOf(m, "after");
    if (m.get("verified") != nullptr) {
        auto v = m.getInt("verified");
        if (!v || (*v != 0 && *v != 1)) {
            return std::nullopt;
        }
        o.verified = *v == 1;
    }
    return o;
}

}  // namespace romtide::machine::protocol
