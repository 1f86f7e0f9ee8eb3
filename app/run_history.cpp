#include "app/run_history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

namespace romtide::history {

namespace {

constexpr const char* kSuffix = ".json";
// A run reserves at most this many names in one second; beyond, something is wrong.
constexpr int kMaxSameName = 1000;

// mkdir -p, with the reason of the first step that failed.
bool makeFolder(const std::string& folder, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        *error = folder + ": " + ec.message();
        return false;
    }
    return true;
}

// The order of records: by name without ".json", a "-N" of a taken name after the name
// itself ("x" before "x-2" before "x-10").
std::pair<std::string, long> orderKey(const std::string& path) {
    std::string stem = std::filesystem::path(path).filename().string();
    stem.resize(stem.size() - std::strlen(kSuffix));
    const size_t dash = stem.rfind('-');
    if (dash != std::string::npos && dash + 1 < stem.size() &&
        std::all_of(stem.begin() + static_cast<std::ptrdiff_t>(dash) + 1, stem.end(),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        return {stem.substr(0, dash), std::strtol(stem.c_str() + dash + 1, nullptr, 10)};
    }
    return {stem, 1};
}

}  // namespace

std::string runsFolder() {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::string base;
    if (data != nullptr && data[0] == '/') {
        base = data;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.local/share";
    }
    return base + "/romtide/runs";
}

std::string recordName(const std::string& bus, std::time_t started) {
    std::tm tm{};
    ::gmtime_r(&started, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
    return std::string(text) + "-" + bus + kSuffix;
}

std::optional<std::string> reserveRecord(const std::string& bus, std::time_t started,
                                         std::string* error) {
    const std::string folder = runsFolder();
    if (!makeFolder(folder, error)) {
        return std::nullopt;
    }
    std::string name = recordName(bus, started);
    const std::string stem = name.substr(0, name.size() - std::strlen(kSuffix));
    for (int n = 1; n <= kMaxSameName; ++n) {
        if (n > 1) {
            name = stem + "-" + std::to_string(n) + kSuffix;
        }
        const std::string path = folder + "/" + name;
        // O_EXCL: the name is this run's only if nobody had it.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        if (errno != EEXIST) {
            *error = path + ": " + std::strerror(errno);
            return std::nullopt;
        }
    }
    *error = folder + ": too many records named " + stem;
    return std::nullopt;
}

std::vector<std::string> recordFiles(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_regular_file(ec) && name.size() > std::strlen(kSuffix) &&
            name.compare(name.size() - std::strlen(kSuffix), std::string::npos, kSuffix) == 0) {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end(),
              [](const std::string& a, const std::string& b) { return orderKey(a) < orderKey(b); });
    return files;
}

}  // namespace romtide::history
