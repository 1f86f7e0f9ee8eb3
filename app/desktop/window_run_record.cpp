#include "app/desktop/window_run_record.h"

#include <ctime>

#include "app/run_history.h"
#include "session/image_acceptance.h"

namespace romtide::desktop {

WindowRunRecord::WindowRunRecord(std::string bus) : bus_(std::move(bus)) {}

WindowRunRecord::~WindowRunRecord() = default;

void WindowRunRecord::begin(const std::string& interface, TextFile& image) {
    report_.reset();
    path_.clear();
    error_.clear();
    auto path = history::reserveRecord(bus_, std::time(nullptr), &error_);
    if (!path) {
        return;
    }
    headless::ReportHeader header{bus_ + " window", bus_, interface, image.path(), 0, 0};
    header.imageBytes = static_cast<int64_t>(image.bytes().size());
    header.imageTextUnits = countTextUnits(image);
    report_ = std::make_unique<headless::RunReport>(bus_ == "can" ? "node" : "station");
    report_->alsoRecordTo(*path);
    report_->open("", headless::ReportFormat::Json, header);
    if (!report_->recorded()) {
        error_ = *path + ": cannot be written";
        report_.reset();
        return;
    }
    path_ = *path;
}

void WindowRunRecord::device(const headless::DeviceEntry& entry) {
    if (report_) {
        report_->device(entry);
    }
}

RecordOutcome WindowRunRecord::end(const RunCounts& counts, const std::vector<int>& notRun,
                                   bool stopped) {
    RecordOutcome outcome;
    if (!report_) {
        outcome.error = error_;
        return outcome;
    }
    for (int address : notRun) {
        headless::DeviceEntry e;
        e.address = address;
        e.outcome = "not-run";
        e.textUnitsSent = 0;
        if (bus_ == "can") {
            e.connect = 0;
        }
        report_->device(e);
    }
    const bool can = bus_ == "can";
    std::vector<std::pair<std::string, int>> summary{{can ? "devices" : "stations", counts.devices},
                                                     {"okay", counts.okay},
                                                     {"current", 0},
                                                     {"failed", counts.failed}};
    if (!can) {
        summary.emplace_back("not-found", 0);
    }
    summary.emplace_back("not-run", counts.notRun);
    report_->finish(summary, stopped);
    if (report_->recorded()) {
        outcome.path = path_;
    } else {
        outcome.error = path_ + ": could not be written to its end";
    }
    report_.reset();
    return outcome;
}

}  // namespace romtide::desktop
