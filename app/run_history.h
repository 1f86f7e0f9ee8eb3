// The run history: every update run, of the headless commands and of the download
// windows, also written as the JSON report to a folder of the user's data, one file per
// run, named by its start (UTC) and bus, never replaced. What a technician hands on in a
// service report, and what `bootloader history` lists.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace romtide::history {

// $XDG_DATA_HOME/romtide/runs when XDG_DATA_HOME is an absolute path, otherwise
// $HOME/.local/share/romtide/runs.
std::string runsFolder();

// "20261209T101504Z-can.json": the record's name for a run of `bus` begun at `started`.
std::string recordName(const std::string& bus, std::time_t started);

// Makes the folder (and its parents) and a new, empty record in it: the name of
// recordName, or with "-2", "-3", ... before ".json" when that name is taken, so no run
// replaces another's record. Nothing, with the reason in `error`, when the folder cannot
// be made or written.
std::optional<std::string> reserveRecord(const std::string& bus, std::time_t started,
                                         std::string* error);

// The records in `folder`, oldest first (their names begin with their start).
std::vector<std::string> recordFiles(const std::string& folder);

}  // namespace romtide::history
