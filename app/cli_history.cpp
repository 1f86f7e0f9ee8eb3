#include "app/cli_history.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/exit_codes.h"
#include "app/headless.h"
#include "app/run_history.h"

namespace romtide {

namespace {

constexpr int kDefaultLast = 10;

struct HistoryOptions {
    int last = kDefaultLast;
    bool json = false;
};

// The record as it is on disk; a record a run is still writing, or one that was cut
// short, is null.
nlohmann::ordered_json readRecord(const std::string& path) {
    std::ifstream in(path);
    nlohmann::ordered_json document =
        nlohmann::ordered_json::parse(in, nullptr, /*allow_exceptions=*/false);
    return document.is_discarded() || !document.is_object() ? nlohmann::ordered_json() : document;
}

// A field of a record as a table cell; "?" when the record does not hold it.
std::string cell(const nlohmann::ordered_json& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_number_integer()) {
        return std::to_string(value.get<long long>());
    }
    return "?";
}

int runHistory(const HistoryOptions& o) {
    const std::string folder = history::runsFolder();
    std::vector<std::string> files = history::recordFiles(folder);
    if (static_cast<int>(files.size()) > o.last) {
        files.erase(files.begin(), files.end() - o.last);
    }
    if (o.json) {
        nlohmann::ordered_json runs = nlohmann::ordered_json::array();
        for (auto it = files.rbegin(); it != files.rend(); ++it) {
            runs.push_back({{"record", *it}, {"run", readRecord(*it)}});
        }
        nlohmann::ordered_json document{
            {"report", "romtide-history"}, {"folder", folder}, {"runs", runs}};
        std::printf("%s\n", headless::jsonText(document).c_str());
        return exitcode::kOk;
    }
    std::vector<std::vector<std::string>> rows{
        {"STARTED", "BUS", "COMMAND", "IMAGE", "DEVICES", "OKAY", "END", "RECORD"}};
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        const nlohmann::ordered_json d = readRecord(*it);
        const std::string name = it->substr(it->rfind('/') + 1);
        if (d.is_null()) {
            rows.push_back({"?", "?", "?", "?", "?", "?", "unreadable", name});
            continue;
        }
        const nlohmann::ordered_json summary = d.value("summary", nlohmann::ordered_json());
        std::string devices = "?";
        std::string okay = "?";
        if (summary.is_object()) {
            devices =
                cell(summary.value("devices", summary.value("stations", nlohmann::ordered_json())));
            okay = cell(summary.value("okay", nlohmann::ordered_json()));
        }
        const nlohmann::ordered_json image = d.value("image", nlohmann::ordered_json());
        rows.push_back(
            {cell(d.value("started", nlohmann::ordered_json())),
             cell(d.value("bus", nlohmann::ordered_json())),
             cell(d.value("command", nlohmann::ordered_json())),
             image.is_object() ? cell(image.value("path", nlohmann::ordered_json())) : "?", devices,
             okay, cell(d.value("end", nlohmann::ordered_json())), name});
    }
    std::printf("Runs recorded in %s:\n", folder.c_str());
    headless::printTable(rows, "no runs recorded");
    return exitcode::kOk;
}

}  // namespace

void addHistoryCommand(CLI::App& app, std::function<int()>& run) {
    auto options = std::make_shared<HistoryOptions>();
    CLI::App* command =
        app.add_subcommand("history", "List the last update runs of the run history, newest first");
    command->add_option("--last", options->last, "How many runs (default 10)")
        ->option_text("N")
        ->check(CLI::Range(1, 1000000));
    command->add_flag("--json", options->json,
                      "Print the runs' records as one JSON document instead of a table");
    command->footer(
        "Every update run, of the desktop program's download windows and of 'can update' and\n"
        "'profibus update' (unless --no-history), is recorded as its JSON report in\n"
        "$XDG_DATA_HOME/romtide/runs (~/.local/share/romtide/runs when XDG_DATA_HOME is not\n"
        "set), one file per run named by its start (UTC) and bus.");
    command->callback([options, &run] { run = [options] { return runHistory(*options); }; });
}

}  // namespace romtide
