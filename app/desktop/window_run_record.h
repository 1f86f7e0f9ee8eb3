// The run history of a download window: each run's record, written as the headless
// commands write theirs, with the outcome words of the headless report.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/run_report.h"
#include "session/run_record.h"
#include "session/text_file.h"

namespace romtide::desktop {

class WindowRunRecord {
  public:
    // `bus` "can" or "profibus"; the record's command is "<bus> window".
    explicit WindowRunRecord(std::string bus);
    ~WindowRunRecord();

    // Before the first device: reserves the record and writes its header. A history
    // that cannot be written is remembered for end().
    void begin(const std::string& interface, TextFile& image);
    void device(const headless::DeviceEntry& entry);
    // The closing summary, the nodes the run did not reach as "not-run"; where the
    // record went.
    RecordOutcome end(const RunCounts& counts, const std::vector<int>& notRun, bool stopped);

  private:
    std::string bus_;
    std::unique_ptr<headless::RunReport> report_;
    std::string path_;
    std::string error_;
};

}  // namespace romtide::desktop
