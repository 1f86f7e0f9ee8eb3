// A scratch folder for one test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace romtide::test {

class TempDir {
  public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "romtide-XXXXXX").string();
        if (::mkdtemp(templ.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    // Writes `bytes` as they are (no line-end translation) and returns the path.
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(file(name), std::ios::binary);
        out << bytes;
        return file(name);
    }

  private:
    std::filesystem::path path_;
};

struct ProgramRun {
    int status = -1;  // exit status; -1 when the program did not exit normally
    std::string out;  // standard output and standard error, joined
};
// Runs a shell command with its standard error joined to its output.
ProgramRun runProgram(const std::string& command);

// Output of a shell command; throws when it fails.
std::string runCommand(const std::string& command);
// Runs srec_cat with `arguments` (its output goes to `outPath` via -o) and returns the path.
std::string srecCat(const std::string& arguments, const std::string& outPath);

}  // namespace romtide::test
