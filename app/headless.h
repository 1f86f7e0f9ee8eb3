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

#include "app/run_report.h"
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

// The report of a run (RunReport, jsonText, utcNow) is in app/run_report.h.

// The options every update command has, besides the bus's own.
struct RunOptions {
    std::string report;
    ReportFormat reportFormat = ReportFormat::Text;
    ui::ProgressStyle progress = ui::ProgressStyle::Bar;
    bool allowEmpty = false;
    bool noHistory = false;
    std::string image;
};
// --report, --report-format, --progress, --allow-empty, --no-history and the IMAGE
// argument.
void addRunOptions(CLI::App& command, RunOptions& options);

// Unless `noHistory`, the run is recorded in the run history as well (set before the
// report is opened); a history that cannot be written is said in one line on stderr and
// the run goes on. True when a record was begun.
bool recordInHistory(RunReport& report, const std::string& bus, bool noHistory);
// After the report's finish: the one line on stderr when a record begun could not be
// written to its end.
void checkHistoryRecord(const RunReport& report, bool begun);
// --progress alone (the search commands show progress too).
void addProgressOption(CLI::App& command, ui::ProgressStyle& style);

}  // namespace romtide::headless
