// Opening documents and web addresses with the desktop's opener, with its failures
// reported in the shell's error numbers and messages.
#pragma once

#include <string>

#include "ui/dialogs.h"
#include "ui/services.h"

namespace romtide::desktop {

// Shell results: above 32 is success; at most 32 is one of these error numbers.
namespace shell {
constexpr int kOk = 42;
constexpr int kOther = 0;
constexpr int kFileNotFound = 2;
constexpr int kPathNotFound = 3;
constexpr int kOutOfMemory = 8;
constexpr int kBadFormat = 11;
constexpr int kSharingViolation = 26;
constexpr int kNoAssociation = 31;
}  // namespace shell

class ShellOpener {
  public:
    virtual ~ShellOpener() = default;
    // Asks the desktop to open `file` (a path or an address); returns a shell result.
    virtual int open(const std::string& file, const std::string& parameters) = 0;
};

// The message shown for a failed open of `file` with shell error `error`.
std::string shellErrorMessage(int error, const std::string& file);

// Opens `file`; a failure is shown with the title "Fehler" and the error icon and
// changes nothing else. Returns the shell result.
int ShellOpen(ShellOpener& opener, ui::MessageBoxes& messages, const std::string& file,
              const std::string& parameters);

// The desktop's opener program (xdg-open). Local paths are checked first, so a missing
// file, a missing folder or a refused read get their own error numbers whatever the
// opener reports. The opener's exit status tells the rest: it cannot say what it could
// not handle, so "no tool" and "action failed" both count as no association.
//
// Some openers stay until the application they started ends; one still running after
// `waitLimitMs` has started something and counts as success. The wait goes through the
// clock and lets pending events run, so the window stays alive.
class XdgShellOpener : public ShellOpener {
  public:
    explicit XdgShellOpener(const Services& services, std::string program = "xdg-open",
                            int waitLimitMs = 3000);
    int open(const std::string& file, const std::string& parameters) override;

  private:
    Services services_;
    std::string program_;
    int waitLimitMs_;
};

// Whether `target` is an address with a scheme ("https://…", "mailto:…") rather than a
// path.
bool isAddress(const std::string& target);

}  // namespace romtide::desktop
