// What every headless bus command shares, so scripts see the same behaviour whichever bus
// they update: Ctrl-C handling, the image checks of an unattended run, the options of an
// update run, and the report that survives a run that is killed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "session/tbootloader.h"
#include "ui/dialogs.h"
#include "ui/terminal.h"

namespace CLI {
class App;
}

namespace romtide::headless {

// The first SIGINT only sets a flag that the running waits look at (they turn it into
// the window's Cancel); a second one ends the program at once.
void installInterruptHandler();
// True once since the last call for every interrupt that came: the pump's cue to cancel.
bool takeInterrupt();
// True when an interrupt came since the handler was installed.
bool interrupted();
// For tests in this process: as if Ctrl-C had been pressed.
void raiseInterrupt();

// Opens and checks the image as the download windows do (judgeImage), and refuses,
// unless `allowEmpty`, an erase-only file: it would erase every device and program
// nothing, and an unattended run should not do that unasked. Exit status kOk with the
// file open in the session, or the status to end with (the reason is printed).
int openImageForRun(Tbootloader& session, ui::MessageBoxes& messages, const std::string& path,
                    bool allowEmpty);

// False when anything written to `trace` was lost (flushes it first).
bool traceWritten(std::FILE* trace);

// A search's table on stdout: the columns as wide as their widest cell, two spaces
// apart, no trailing blanks; `empty` in brackets below the header when there are no rows.
void printTable(const std::vector<std::vector<std::string>>& rows, const char* empty);

// Every JSON document the commands write, as text: indented by two, and bytes that are no
// UTF-8 replaced (U+FFFD) rather than thrown over, so a document always parses whatever
// came from a device or a command line. Texts from devices go in through printableText
// before, so nothing of theirs is lost to the replacement.
std::string jsonText(const nlohmann::ordered_json& document);

// Now, in UTC, ISO 8601 to the second ("2026-12-08T15:55:04Z").
std::string utcNow();

enum class ReportFormat { Text, Json };

// The options every update command has, besides the bus's own.
struct RunOptions {
    std::string report;
    ReportFormat reportFormat = ReportFormat::Text;
    ui::ProgressStyle progress = ui::ProgressStyle::Bar;
    bool allowEmpty = false;
    std::string image;
};
// --report, --report-format, --progress, --allow-empty and the IMAGE argument.
void addRunOptions(CLI::App& command, RunOptions& options);
// --progress alone (the search commands show progress too).
void addProgressOption(CLI::App& command, ui::ProgressStyle& style);

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

    // An empty path writes no report. False when the file cannot be created.
    bool open(const std::string& path, ReportFormat format, const ReportHeader& header);
    void device(const DeviceEntry& entry);
    // The closing summary: counts in the order given ("devices", "okay", ...); the file
    // is closed after it. False when any part of the report could not be written.
    bool finish(const std::vector<std::pair<std::string, int>>& counts, bool interrupted);

  private:
    struct Document;
    bool writeJson();

    std::string addressKey_;
    std::string path_;
    ReportFormat format_ = ReportFormat::Text;
    std::FILE* file_ = nullptr;  // text
    std::unique_ptr<Document> json_;
    bool failed_ = false;
};

}  // namespace romtide::headless
