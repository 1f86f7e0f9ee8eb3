#include "app/run_report.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

#include "base/device_text.h"
#include "cli/command_line.h"
#include "session/run_record.h"

namespace romtide::headless {

struct RunReport::Document {
    nlohmann::ordered_json document;
};

RunReport::RunReport(std::string addressKey) : addressKey_(std::move(addressKey)) {}

RunReport::~RunReport() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

std::string jsonText(const nlohmann::ordered_json& document) {
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string utcNow() {
    return utcTimeText();
}

namespace {

// A version in a report: escaped, or JSON's null when there is none.
nlohmann::ordered_json versionJson(const std::optional<std::string>& version) {
    return version ? nlohmann::ordered_json(printableText(*version)) : nullptr;
}

// The same in a text line: in double quotes (a version may hold blanks), or null.
std::string versionField(const std::optional<std::string>& version) {
    if (!version) {
        return "null";
    }
    std::string text = "\"";
    for (char c : printableText(*version)) {
        text += c == '"' ? std::string("\\\"") : std::string(1, c);
    }
    return text + "\"";
}

// A path the report may be renamed over: a regular file, or none yet. Anything else
// (/dev/stdout, a FIFO) gets the document once, at the end.
bool replaceable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) != 0 ? errno == ENOENT : S_ISREG(st.st_mode);
}

}  // namespace

bool RunReport::recorded() const {
    return record_ != nullptr && !recordFailed_;
}

bool RunReport::open(const std::string& path, ReportFormat format, const ReportHeader& header) {
    if (!openOwn(path, format, header)) {
        if (!recordPath_.empty()) {
            std::remove(recordPath_.c_str());  // reserved for a run that does not start
        }
        return false;
    }
    if (!recordPath_.empty()) {
        record_ = std::make_unique<RunReport>(addressKey_);
        recordFailed_ = !record_->openOwn(recordPath_, ReportFormat::Json, header);
    }
    return true;
}

bool RunReport::openOwn(const std::string& path, ReportFormat format, const ReportHeader& header) {
    if (path.empty()) {
        return true;
    }
    path_ = path;
    format_ = format;
    if (format == ReportFormat::Text) {
        file_ = std::fopen(path.c_str(), "w");
        return file_ != nullptr;
    }
    json_ = std::make_unique<Document>();
    auto& d = json_->document;
    d["report"] = "romtide-update";
    d["report_version"] = 2;
    d["tool"] = {{"name", "bootloader"}, {"version", cli::version()}};
    d["command"] = header.command;
    d["bus"] = header.bus;
    d[header.bus == "can" ? "interface" : "board"] = header.interface;
    d["image"] = {{"path", header.imagePath},
                  {"bytes", header.imageBytes},
                  {"text_units", header.imageTextUnits}};
    d["started"] = utcNow();
    d["devices"] = nlohmann::ordered_json::array();
    d["summary"] = nullptr;
    d["end"] = "running";
    if (!replaceable(path)) {
        // Written at the end only; opened now so that a path that cannot be written
        // stops the run before any device is touched.
        file_ = std::fopen(path.c_str(), "w");
        return file_ != nullptr;
    }
    return writeJson();
}

void RunReport::device(const DeviceEntry& e) {
    if (record_ && !recordFailed_) {
        record_->device(e);
        recordFailed_ = record_->failed_;
    }
    if (json_) {
        nlohmann::ordered_json entry{{"address", e.address},
                                     {"outcome", e.outcome},
                                     {"result", e.result},
                                     {"connect", nullptr},
                                     {"seconds", std::round(e.seconds * 1000) / 1000},
                                     {"text_units_sent", nullptr}};
        if (e.connect) {
            entry["connect"] = *e.connect;
        }
        if (e.textUnitsSent) {
            entry["text_units_sent"] = *e.textUnitsSent;
        }
        entry["version_before"] = versionJson(e.versionBefore);
        entry["version_after"] = versionJson(e.versionAfter);
        entry["verified"] = e.verified ? nlohmann::ordered_json(*e.verified) : nullptr;
        entry["left_in"] = e.leftIn ? nlohmann::ordered_json(*e.leftIn) : nullptr;
        json_->document["devices"].push_back(std::move(entry));
        if (file_ == nullptr && !writeJson()) {
            failed_ = true;
        }
        return;
    }
    if (file_ == nullptr) {
        return;
    }
    char line[200];
    if (e.connect) {
        std::snprintf(line, sizeof line, "%s=%d outcome=%s result=%d connect=%d seconds=%.3f",
                      addressKey_.c_str(), e.address, e.outcome.c_str(), e.result, *e.connect,
                      e.seconds);
    } else {
        std::snprintf(line, sizeof line, "%s=%d outcome=%s result=%d seconds=%.3f",
                      addressKey_.c_str(), e.address, e.outcome.c_str(), e.result, e.seconds);
    }
    const std::string verdict = !e.verified ? "null" : *e.verified ? "true" : "false";
    const std::string versions = " version_before=" + versionField(e.versionBefore) +
                                 " version_after=" + versionField(e.versionAfter) +
                                 " verified=" + verdict;
    // Flushed line by line: what a killed run did must be in the file.
    if (std::fprintf(file_, "%s%s\n", line, versions.c_str()) < 0 || std::fflush(file_) != 0) {
        failed_ = true;
    }
}

bool RunReport::finish(const std::vector<std::pair<std::string, int>>& counts, bool interrupted) {
    if (record_ && !recordFailed_) {
        recordFailed_ = !record_->finish(counts, interrupted);
    }
    const char* end = interrupted ? "interrupted" : "complete";
    if (json_) {
        nlohmann::ordered_json summary = nlohmann::ordered_json::object();
        for (const auto& [name, value] : counts) {
            std::string key = name;
            std::replace(key.begin(), key.end(), '-', '_');
            summary[key] = value;
        }
        json_->document["summary"] = summary;
        json_->document["end"] = end;
        if (file_ != nullptr) {
            std::string text = jsonText(json_->document) + "\n";
            if (std::fputs(text.c_str(), file_) < 0) {
                failed_ = true;
            }
        } else if (!writeJson()) {
            failed_ = true;
        }
    } else if (file_ != nullptr) {
        std::string line = "summary";
        for (const auto& [name, value] : counts) {
            line += " " + name + "=" + std::to_string(value);
        }
        line += std::string(" end=") + end;
        if (std::fprintf(file_, "%s\n", line.c_str()) < 0) {
            failed_ = true;
        }
    } else {
        return true;
    }
    if (file_ != nullptr && std::fclose(file_) != 0) {
        failed_ = true;
    }
    file_ = nullptr;
    return !failed_;
}

bool RunReport::writeJson() {
    // Beside the report and renamed over it, so the file always holds a whole document.
    // The text is whole before the file is made: nothing half-written is left behind.
    const std::string text = jsonText(json_->document) + "\n";
    const std::string temporary = path_ + ".part";
    std::FILE* out = std::fopen(temporary.c_str(), "w");
    if (out == nullptr) {
        return false;
    }
    bool written = std::fputs(text.c_str(), out) >= 0;
    written = std::fflush(out) == 0 && written;
    written = ::fsync(::fileno(out)) == 0 && written;
    written = std::fclose(out) == 0 && written;
    if (!written || std::rename(temporary.c_str(), path_.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace romtide::headless
