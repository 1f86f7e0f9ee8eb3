#include "app/desktop/shell_open.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <thread>
#include <vector>

extern char** environ;

namespace romtide::desktop {

std::string shellErrorMessage(int error, const std::string& file) {
    switch (error) {
        case shell::kFileNotFound:
            return "Die angegebene Datei '" + file + "' wurde nicht gefunden!";
        case shell::kPathNotFound:
            return "Der Pfad zur Datei '" + file + "' wurde nicht gefunden!";
        case shell::kOutOfMemory:
            return "Zum Ausführen der Anwendung ist nicht genügend Arbeitsspeicher frei!";
        case shell::kBadFormat:
            return "Die aufgerufene Anwendung ist ungültig oder beschädigt!";
        case shell::kSharingViolation:
            return "Der Zugriff auf die Datei '" + file + "' wurde vom Betriebssystem verweigert!";
        case shell::kNoAssociation:
            return "Der angegebene Dateityp ist auf Ihrem Computer keiner Anwendung "
                   "zugeordnet!";
        default:
            return "Datei '" + file + "' konnte nicht geöffnet werden!";
    }
}

int ShellOpen(ShellOpener& opener, ui::MessageBoxes& messages, const std::string& file,
              const std::string& parameters) {
    const int result = opener.open(file, parameters);
    if (result <= 32) {
        messages.show({shellErrorMessage(result, file), "Fehler", ui::MessageIcon::Error,
                       ui::MessageButtons::Ok});
    }
    return result;
}

bool isAddress(const std::string& target) {
    // scheme ":" with a scheme of at least two characters, so "C:" style names and
    // relative paths with a colon later on stay paths.
    size_t i = 0;
    if (target.empty() || !std::isalpha(static_cast<unsigned char>(target[0]))) {
        return false;
    }
    while (i < target.size() && (std::isalnum(static_cast<unsigned char>(target[i])) ||
                                 target[i] == '+' || target[i] == '-' || target[i] == '.')) {
        ++i;
    }
    return i >= 2 && i < target.size() && target[i] == ':';
}

namespace {

// Error number for a local path that cannot be opened, or kOk when it can be read.
int checkLocalPath(const std::string& path) {
    if (path.empty()) {
        return shell::kFileNotFound;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            const size_t slash = path.find_last_of('/');
            const std::string folder =
                slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
            struct stat dir {};
            const bool folderThere = ::stat(folder.c_str(), &dir) == 0 && S_ISDIR(dir.st_mode);
            return folderThere ? shell::kFileNotFound : shell::kPathNotFound;
        }
        if (errno == ENOTDIR || errno == ENAMETOOLONG || errno == ELOOP) {
            return shell::kPathNotFound;
        }
        if (errno == EACCES) {
            return shell::kSharingViolation;
        }
        return shell::kOther;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        return shell::kSharingViolation;
    }
    return shell::kOk;
}

int fromExitStatus(int status) {
    if (!WIFEXITED(status)) {
        return shell::kOther;
    }
    switch (WEXITSTATUS(status)) {
        case 0:
            return shell::kOk;
        case 2:
            return shell::kFileNotFound;
        case 3:  // a tool it needs is missing
        case 4:  // no application took the action
        case 127:
            return shell::kNoAssociation;
        default:
            return shell::kOther;
    }
}

}  // namespace

XdgShellOpener::XdgShellOpener(const Services& services, std::string program, int waitLimitMs)
    : services_(services), program_(std::move(program)), waitLimitMs_(waitLimitMs) {}

int XdgShellOpener::open(const std::string& file, const std::string& /*parameters*/) {
    // The opener takes one document and no parameters; parameters only ever mattered
    // for programs started directly, which nothing here does.
    if (!isAddress(file)) {
        const int local = checkLocalPath(file);
        if (local != shell::kOk) {
            return local;
        }
    }
    std::vector<char*> argv{program_.data(), const_cast<char*>(file.c_str()), nullptr};
    pid_t pid = 0;
    const int spawned =
        ::posix_spawnp(&pid, program_.c_str(), nullptr, nullptr, argv.data(), environ);
    if (spawned != 0) {
        if (spawned == ENOMEM || spawned == EAGAIN) {
            return shell::kOutOfMemory;
        }
        if (spawned == ENOEXEC) {
            return shell::kBadFormat;
        }
        return shell::kNoAssociation;  // no opener on this desktop
    }
    const int64_t start = services_.clock.nowMs();
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return fromExitStatus(status);
        }
        if (done < 0) {
            return shell::kOther;
        }
        if (services_.clock.nowMs() - start >= waitLimitMs_) {
            break;
        }
        services_.clock.sleepMs(20);
        services_.pump.processPending();
    }
    // Still running: it has started something. Reap it when it ends, without waiting.
    std::thread([pid]() {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }).detach();
    return shell::kOk;
}

}  // namespace romtide::desktop
