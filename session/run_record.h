// What a download window says about its runs' records in the run history: the values
// the desktop program's recorder hands back, and the texts the windows show for them.
#pragma once

#include <string>

#include "ui/dialogs.h"

namespace romtide {

// The counts of a run's record.
struct RunCounts {
    int devices = 0;
    int okay = 0;
    int failed = 0;
    int notRun = 0;  // marked, but the run was stopped before them
};

// Where a run's record went: its path, or why the history could not be written.
struct RecordOutcome {
    std::string path;
    std::string error;
    bool recorded() const { return !path.empty(); }
};

// Now in UTC, ISO 8601 to the second ("2026-12-08T15:55:04Z").
std::string utcTimeText();

// The file name of a record's path.
std::string recordName(const RecordOutcome& outcome);

// The message a window shows once when its runs cannot be recorded.
ui::Message historyUnwritableMessage(const std::string& error, const std::string& title);

}  // namespace romtide
