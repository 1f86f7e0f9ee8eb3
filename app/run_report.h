// The report of an update run, for the headless commands, the run history and the
// download windows alike: the header, one entry per device, and the summary, as text lines
// or as one JSON document that is whole at every moment.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace romtide::headless {

// Every JSON document the commands write, as text: indented by two, and bytes that are no
// UTF-8 replaced (U+FFFD) rather than thrown over, so a document always parses whatever
// came from a device or a command line. Texts from devices go in through printableText
// before, so nothing of theirs is lost to the replacement.
std::string jsonText(const nlohmann::ordered_json& document);

// Now, in UTC, ISO 8601 to the second ("2026-12-08T15:55:04Z").
std::string utcNow();

enum class ReportFormat { Text, Json };

// What a report says about the run before the first device.
struct ReportHeader {
    std::string command;    // "can update"
    std::string bus;        // "can" or "profibus"
    std::string interface;  // the CAN interface's URI, or the Profibus board
    std::string imagePath;
    int64_t imageBytes = 0;
    int64_t imageTextUnits = 0;
};

// One device's outcome.
struct DeviceEntry {
    int address = 0;
    std::string outcome;  // "okay", "failed", "not-run", ...
    int32_t result = 0;
    std::optional<int32_t> connect;  // CAN only: the last connect result
    double seconds = 0;
    std::optional<int64_t> textUnitsSent;  // nothing when no transfer started
    // The application's version as the search found it and as the device reported it
    // when identified again after its download (raw bytes; escaped when written); nothing
    // when there was none (not found, in its bootloader, no download, no answer).
    std::optional<std::string> versionBefore;
    std::optional<std::string> versionAfter;
    // With an expected version: whether the device reports it. Nothing without one.
    std::optional<bool> verified;
    // "bootloader" or "updater" when the run left it there, without an application.
    std::optional<std::string> leftIn;
};

// --report FILE. Text: a line for each device, written and flushed as soon as its
// outcome is known, and the run's summary last; a report without its summary line is
// of a run that did not end (killed, or the machine went down). JSON: the whole document
// is replaced after each device (written beside the file and renamed over it), with
// "end": "running" until the summary; a killed run leaves a complete document of the
// devices it finished.
class RunReport {
  public:
    // `addressKey` names the address in text lines ("node", "station").
    explicit RunReport(std::string addressKey);
    ~RunReport();
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // Also writes the run, as the JSON document, to `path` (its record in the run
    // history), whatever the report's own path and format; set before open. A record
    // that cannot be written never fails the report: recorded() says so.
    void alsoRecordTo(std::string path) { recordPath_ = std::move(path); }
    // An empty path writes no report. False when the file cannot be created.
    bool open(const std::string& path, ReportFormat format, const ReportHeader& header);
    void device(const DeviceEntry& entry);
    // The closing summary: counts in the order given ("devices", "okay", ...); the file
    // is closed after it. False when any part of the report could not be written.
    bool finish(const std::vector<std::pair<std::string, int>>& counts, bool interrupted);
    // Whether the record of alsoRecordTo is whole so far (false without one).
    bool recorded() const;

  private:
    struct Document;
    bool openOwn(const std::string& path, ReportFormat format, const ReportHeader& header);
    bool writeJson();

    std::string addressKey_;
    std::string path_;
    ReportFormat format_ = ReportFormat::Text;
    std::FILE* file_ = nullptr;  // text
    std::unique_ptr<Document> json_;
    bool failed_ = false;
    std::string recordPath_;
    std::unique_ptr<RunReport> record_;
    bool recordFailed_ = false;
};

}  // namespace romtide::headless
