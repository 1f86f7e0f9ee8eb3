#include "support/temp_dir.h"

#include <sys/wait.h>

#include <array>
#include <cstdio>

namespace romtide::test {

std::string runCommand(const std::string& command) {
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("cannot run: " + command);
    }
    std::string out;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) {
        out.append(buf.data(), n);
    }
    int status = ::pclose(pipe);
    if (status != 0) {
        throw std::runtime_error("command failed (" + std::to_string(status) + "): " + command);
    }
    return out;
}

ProgramRun runProgram(const std::string& command) {
    ProgramRun run;
    std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) {
        run.out.append(buf.data(), n);
    }
    int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string srecCat(const std::string& arguments, const std::string& outPath) {
#ifdef ROMTIDE_SREC_CAT
    runCommand(std::string(ROMTIDE_SREC_CAT) + " " + arguments + " -o '" + outPath + "' 2>&1");
#else
    runCommand("srec_cat " + arguments + " -o '" + outPath + "' 2>&1");
#endif
    return outPath;
}

}  // namespace romtide::test
