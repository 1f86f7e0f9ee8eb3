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
#include "app/run_history.h"
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
    command.add_flag("--no-history", options.noHistory,
                     "Do not record the run in the run history ($XDG_DATA_HOME/romtide/runs)");
    command.add_option("IMAGE", options.image, "The image file (.mhx, S-records)");
}

bool recordInHistory(RunReport& report, const std::string& bus, bool noHistory) {
    if (noHistory) {
        return false;
    }
    std::string error;
    auto path = history::reserveRecord(bus, std::time(nullptr), &error);
    if (!path) {
        std::fprintf(stderr, "bootloader: warning: the run is not recorded in the history: %s\n",
                     error.c_str());
        return false;
    }
    report.alsoRecordTo(*path);
    return true;
}

void checkHistoryRecord(const RunReport& report, bool begun) {
    if (begun && !report.recorded()) {
        std::fprintf(stderr,
                     "bootloader: warning: the run's record in the history could not be written "
                     "to its end\n");
    }
}

}  // namespace romtide::headless
