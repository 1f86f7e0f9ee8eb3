// What every program of the tool shares on its command line, so that scripts meet the
// same behaviour whichever program they call: --help and --version, error messages of
// one form ("PROGRAM SUB-COMMAND: what is wrong" and where to look), and exit status 2
// for bad arguments.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace romtide::cli {

// Exit status of a command line that cannot be understood; the same for every program.
constexpr int kBadArguments = 2;

// "PROGRAM (Romtide) VERSION", what --version prints.
std::string versionLine(const std::string& program);
// The tool's version, as the build states it.
std::string version();

// Gives `app` the common flags: --help (-h), --help-all when it has sub-commands, and
// --version; sets the program's name and description.
void prepare(CLI::App& app, const std::string& program, const std::string& description);

// Parses argv. Nothing when the program goes on; otherwise the exit status to end with:
// 0 after --help or --version (printed on stdout), kBadArguments after an error (told
// on stderr with the sub-command's name and a pointer to its --help).
std::optional<int> parse(CLI::App& app, int argc, char** argv);

// A refusal from an option's own check or from a check across options, worded as the
// program words it; `parse` prints it as the reason.
[[noreturn]] void refuse(const std::string& text);

// "5,6,7" as numbers in [low, high]; nothing when an entry is not such a number.
std::optional<std::vector<int>> numberList(const std::string& text, int low, int high);

// An option given as often as wanted, one value each time; `each` sees the values in
// command-line order and may refuse one.
CLI::Option* addRepeatable(CLI::App& app, const std::string& name,
                           std::function<void(const std::string&)> each,
                           const std::string& description);
// NAME N[,N...], given once or more: numbers in [low, high] appended to `out`, each once
// in the order first named; another is refused as "NAME: WHAT are LOW..HIGH: VALUE".
CLI::Option* addNumberList(CLI::App& app, const std::string& name, int low, int high,
                           const std::string& what, std::vector<int>& out,
                           const std::string& description);

}  // namespace romtide::cli
