#include "app/cli_check.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "app/exit_codes.h"
#include "app/headless.h"
#include "session/file_messages.h"
#include "session/tbootloader.h"
#include "session/text_units.h"
#include "ui/terminal.h"

namespace romtide {

int openCheckedImage(Tbootloader& session, ui::MessageBoxes& messages, const std::string& path) {
    ui::PresetFileDialog dialog(path);
    int32_t opened = session.OpenFile(dialog);
    if (auto m = openFileResultMessage(opened)) {
        messages.show(*m);
        return exitcode::kFileUnreadable;
    }
    int32_t checked = session.CheckFile();
    if (auto m = checkFileResultMessage(checked)) {
        messages.show(*m);
        return exitcode::kFileUnreadable;
    }
    // The check has shown its own message for a refused file.
    return checked == 0 ? exitcode::kOk : exitcode::kFileRejected;
}

namespace {

int runCheck(const std::string& path, bool allowEmpty) {
    SteadyClock clock;
    ui::QueuedEventPump pump;
    ui::TerminalMessageBoxes messages;
    Services services{clock, pump, messages};
    Tbootloader session(services);
    // The same refusals as an update run, so a script that checks first learns what
    // the update would say.
    int status = headless::openImageForRun(session, messages, path, allowEmpty);
    if (status == exitcode::kFileRejected) {
        std::printf("%s: refused\n", path.c_str());
    }
    if (status != exitcode::kOk) {
        return status;
    }

    ui::TerminalProgressBar bar("Reading " + path);
    TextUnitReader reader(*session.imageFile, &bar);
    long units = 0;
    while (reader.next()) {
        ++units;
    }
    bar.finish();
    if (reader.readFailed()) {
        std::fprintf(stderr, "%s: read error while reading for transfer\n", path.c_str());
        return exitcode::kFileUnreadable;
    }
    std::printf("%s: accepted, %lld bytes, %ld text units to transfer\n", path.c_str(),
                static_cast<long long>(reader.fileSize()), units);
    return exitcode::kOk;
}

struct CheckOptions {
    bool allowEmpty = false;
    std::string image;
};

}  // namespace

void addCheckCommand(CLI::App& app, std::function<int()>& run) {
    auto options = std::make_shared<CheckOptions>();
    CLI::App* check = app.add_subcommand(
        "check", "Check an image file as an update run would, and count its text units");
    check->add_flag("--allow-empty", options->allowEmpty,
                    "Accept an image without data records (it only erases the devices)");
    check->add_option("IMAGE", options->image, "The image file (.mhx, S-records)")->required();
    check->callback([options, &run] {
        run = [options] { return runCheck(options->image, options->allowEmpty); };
    });
}

}  // namespace romtide
