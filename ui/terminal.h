// The user-interface services for the headless front end: messages as lines on stderr,
// questions answered by a preset answer or at the terminal, progress bars drawn on
// stderr when it is a terminal.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "ui/dialogs.h"
#include "ui/widgets.h"

namespace romtide::ui {

class TerminalMessageBoxes : public MessageBoxes {
  public:
    // `yesNoAnswer`: the answer to Yes/No questions; nothing = ask when stdin is a
    // terminal, No otherwise (a script that did not say yes never gets a renewal).
    explicit TerminalMessageBoxes(std::FILE* out = stderr,
                                  std::optional<MessageAnswer> yesNoAnswer = std::nullopt)
        : out_(out), yesNoAnswer_(yesNoAnswer) {}
    MessageAnswer show(const Message& message) override;

  private:
    std::FILE* out_;
    std::optional<MessageAnswer> yesNoAnswer_;
};

// Answers every dialog with the path given on the command line.
class PresetFileDialog : public OpenFileDialog {
  public:
    explicit PresetFileDialog(std::optional<std::string> path) : path_(std::move(path)) {}
    std::optional<std::string> choose(const OpenFileOptions&) override { return path_; }

  private:
    std::optional<std::string> path_;
};

// How long work shows its progress: a bar redrawn in place when `out` is a terminal
// (nothing otherwise), a line per tenth for logs ("Slave 5: 30 %"), or not at all.
enum class ProgressStyle { Bar, Plain, None };

class TerminalProgressBar : public ProgressBar {
  public:
    TerminalProgressBar(std::string caption, std::FILE* out = stderr,
                        ProgressStyle style = ProgressStyle::Bar);
    ~TerminalProgressBar() override;
    void setPosition(int position) override;
    int position() const override { return position_; }
    void setRange(int minimum, int maximum) override;
    // A new caption starts a new piece of work: the plain style reports it from 0 %.
    void setCaption(std::string caption);
    // Ends the bar's line so the next output starts on a fresh one.
    void finish();

  private:
    void draw();

    void drawPlain(int percent);

    std::string caption_;
    std::FILE* out_;
    ProgressStyle style_;
    bool enabled_;
    bool drawn_ = false;
    int position_ = 0;
    int minimum_ = 0;
    int maximum_ = 100;
    int lastDrawn_ = -1;
};

// One line of message text with its line breaks and tabs shown as spaces.
std::string flattenMessage(const std::string& text);

}  // namespace romtide::ui
