// Message boxes and the open-file dialog as Qt windows.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <string>

#include "ui/dialogs.h"

namespace romtide::ui {

// Modal over the active window (or over the application when none is active), with
// exactly the title, icon and buttons that the logic asked for.
class QtMessageBoxes : public MessageBoxes {
  public:
    MessageAnswer show(const Message& message) override;
};

class QtOpenFileDialog : public OpenFileDialog {
  public:
    // Qt's own dialog rather than the desktop's, so it looks the same on every desktop
    // and can be driven in tests.
    std::optional<std::string> choose(const OpenFileOptions& options) override;
};

// "Description|pattern|Description|pattern" (patterns separated by ';') as Qt name
// filters "Description (pattern pattern)". A description that already ends with its
// patterns in parentheses is kept as it is.
QStringList qtNameFilters(const std::string& filter);

}  // namespace romtide::ui
