#include "app/headless.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>

#include "app/cli_check.h"
#include "app/exit_codes.h"
#include "base/device_text.h"
#include "cli/command_line.h"
#include "session/image_acceptance.h"

namespace romtide::headless {

namespace {

std::atomic<bool> pending{false};
std::atomic<bool> seen{false};

void onInterrupt(int) {
    pending = true;
    seen = true;
}

}  // namespace

void installInterruptHandler() {
    pending = false;
    seen = false;
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the program at once
    ::sigaction(SIGINT, &action, nullptr);
}

bool takeInterrupt() {
    return pending.exchange(false);
}

bool interrupted() {
    return seen;
}

void raiseInterrupt() {
    onInterrupt(SIGINT);
}

int openImageForRun(Tbootloader& session, ui::MessageBoxes& messages, const std::string& path,
                    bool allowEmpty) {
    int status = openCheckedImage(session, messages, path);
    if (status != exitcode::kOk) {
        return status;
    }
    // The same judgement as the windows' at Open; where they ask about an erase-only
    // file, an unattended run needs --allow-empty.
    const ImageJudgement judgement = judgeImage(*session.imageFile);
    if (judgement.verdict == ImageVerdict::Refused) {
        std::fprintf(stderr, "%s: %s\n%s: refused before any device is touched\n", path.c_str(),
                     judgement.reason.c_str(), path.c_str());
        session.imageFile.reset();
        return exitcode::kFileRejected;
    }
    if (judgement.verdict == ImageVerdict::EraseOnly && !allowEmpty) {
        std::fprintf(stderr,
                     "%s: the file holds no data records (S1, S2, S3): it would only erase "
                     "the devices; give --allow-empty to do that\n",
                     path.c_str());
        session.imageFile.reset();
        return exitcode::kFileRejected;
    }
    return exitcode::kOk;
}

bool traceWritten(std::FILE* trace) {
    return std::fflush(trace) == 0 && std::ferror(trace) == 0;
}

void printTable(const std::vector<std::vector<std::string>>& rows, const char* empty) {
    std::vector<size_t> width;
    for (const auto& row : rows) {
        width.resize(std::max(width.size(), row.size()), 0);
        for (size_t c = 0; c < row.size(); ++c) {
            width[c] = std::max(width[c], row[c].size());
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            std::string t = row[c];
            t.resize(width[c], ' ');
            line += (c == 0 ? "" : "  ") + t;
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        std::printf("%s\n", line.c_str());
    }
    if (rows.size() <= 1) {
        std::printf("(%s)\n", empty);
    }
    std::fflush(stdout);
}

namespace {

// OPTION WORD: one of the words named, nothing else (no number standing for one).
template <class Value>
CLI::Option* addChoice(CLI::App& command, const std::string& name,
                       std::vector<std::pair<std::string, Value>> choices, Value& out,
                       const std::string& description) {
    std::string words;   // "bar|plain|none"
    std::string listed;  // "bar, plain, none"
    for (const auto& choice : choices) {
        words += (words.empty() ? "" : "|") + choice.first;
        listed += (listed.empty() ? "" : ", ") + choice.first;
    }
    return command
        .add_option_function<std::string>(
            name,
            [name, choices, listed, &out](const std::string& v) {
                for (const auto& [word, value] : choices) {
                    if (v == word) {
                        out = value;
                        return;
                    }
                }
                cli::refuse(name + ": one of " + listed + ": " + v);
            },
            description)
        ->option_text(words);
}

}  // namespace

void addProgressOption(CLI::App& command, ui::ProgressStyle& style) {
    addChoice<ui::ProgressStyle>(command, "--progress",
                                 {{"bar", ui::ProgressStyle::Bar},
                                  {"plain", ui::ProgressStyle::Plain},
                                  {"none", ui::ProgressStyle::None}},
                                 style,
                                 "bar: a bar on stderr when it is a terminal (default); plain: a "
                                 "line per device and per 10 %, for logs; none");
}

void addRunOptions(CLI::App& command, RunOptions& options) {
    command
        .add_option("--report", options.report,
                    "Write the outcome of every device to FILE as soon as it is known, and "
                    "a summary last")
        ->option_text("FILE");
    addChoice<ReportFormat>(command, "--report-format",
                            {{"text", ReportFormat::Text}, {"json", ReportFormat::Json}},
                            options.reportFormat,
                            "text: a line per device (default); json: one document (see the "
                            "README)");
    addProgressOption(command, options.progress);
    command.add_flag("--allow-empty", options.allowEmpty,
                     "Accept an image without data records (it only erases the devices)");
    command.add_option("IMAGE", options.image, "The image file (.mhx, S-records)");
}

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
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
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

bool RunReport::open(const std::string& path, ReportFormat format, const ReportHeader& header) {
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
