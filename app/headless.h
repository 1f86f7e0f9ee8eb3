// What every headless bus command shares, so scripts see the same behaviour whichever bus
// they update: Ctrl-C handling, the image checks of an unattended run, and the report
// that survives a run that is killed.
#pragma once

#include <cstdio>
#include <string>

#include "session/tbootloader.h"
#include "ui/dialogs.h"

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

// Opens and checks the image as the download windows do, and refuses, unless
// `allowEmpty`, a file without data records: it would erase every device and program
// nothing, and an unattended run should not do that unasked. Exit status kOk with the
// file open in the session, or the status to end with (the reason is printed).
int openImageForRun(Tbootloader& session, ui::MessageBoxes& messages, const std::string& path,
                    bool allowEmpty);

// --report FILE: a line for each device, written and flushed as soon as its outcome is
// known, and the run's summary last; a report without its summary line is of a run that
// did not end (killed, or the machine went down).
class RunReport {
  public:
    RunReport() = default;
    ~RunReport();
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    // An empty path writes no report. False when the file cannot be created.
    bool open(const std::string& path);
    // "node=5 outcome=okay ..." as one line.
    void line(const std::string& fields);
    // The closing line, "summary ..."; the file is closed after it. False when any line
    // of the report could not be written.
    bool finish(const std::string& fields);

  private:
    std::FILE* file_ = nullptr;
    bool failed_ = false;
};

}  // namespace romtide::headless
