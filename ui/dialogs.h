// Modal message boxes and the open-file dialog, as the window logic asks for them.
#pragma once

#include <optional>
#include <string>

namespace romtide::ui {

enum class MessageIcon { None, Information, Warning, Error, Question };
// NoYes: the same two buttons, for a question whose safe answer is No (the default, so
// Enter does not say Yes).
enum class MessageButtons { Ok, YesNo, OkCancel, NoYes };
enum class MessageAnswer { Ok, Yes, No, Cancel };

struct Message {
    std::string text;
    std::string title;
    MessageIcon icon = MessageIcon::None;
    MessageButtons buttons = MessageButtons::Ok;
};

class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    // Shows the message modally and returns the button the user pressed.
    virtual MessageAnswer show(const Message& message) = 0;
};

struct OpenFileOptions {
    std::string filter;  // "(*.mhx)|*.mhx": description and pattern, '|'-separated
    std::string title;
    bool mustExist = true;
};

class OpenFileDialog {
  public:
    virtual ~OpenFileDialog() = default;
    // The chosen path, or nothing when the user cancelled.
    virtual std::optional<std::string> choose(const OpenFileOptions& options) = 0;
};

const char* iconName(MessageIcon icon);

}  // namespace romtide::ui
