#include "app/headless.h"

#include <signal.h>

#include <atomic>

#include "app/cli_check.h"
#include "app/exit_codes.h"
#include "session/image_records.h"

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
    if (status != exitcode::kOk || allowEmpty) {
        return status;
    }
    if (countDataRecords(*session.imageFile) == 0) {
        std::fprintf(stderr,
                     "%s: the file holds no data records (S1, S2, S3): it would only erase "
                     "the devices; give --allow-empty to do that\n",
                     path.c_str());
        session.imageFile.reset();
        return exitcode::kFileRejected;
    }
    return exitcode::kOk;
}

RunReport::~RunReport() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool RunReport::open(const std::string& path) {
    if (path.empty()) {
        return true;
    }
    file_ = std::fopen(path.c_str(), "w");
    return file_ != nullptr;
}

void RunReport::line(const std::string& fields) {
    if (file_ == nullptr) {
        return;
    }
    // Flushed line by line: what a killed run did must be in the file.
    if (std::fprintf(file_, "%s\n", fields.c_str()) < 0 || std::fflush(file_) != 0) {
        failed_ = true;
    }
}

bool RunReport::finish(const std::string& fields) {
    if (file_ == nullptr) {
        return true;
    }
    line(fields);
    if (std::fclose(file_) != 0) {
        failed_ = true;
    }
    file_ = nullptr;
    return !failed_;
}

}  // namespace romtide::headless
