#include "ui/terminal.h"

#include <unistd.h>

#include <iostream>

namespace romtide::ui {

std::string flattenMessage(const std::string& text) {
    std::string out;
    bool space = true;  // drop leading blanks
    for (char c : text) {
        if (c == '\n' || c == '\t' || c == '\r' || c == ' ') {
            if (!space) {
                out.push_back(' ');
                space = true;
            }
        } else {
            out.push_back(c);
            space = false;
        }
    }
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

MessageAnswer TerminalMessageBoxes::show(const Message& message) {
    std::fprintf(out_, "%s: %s\n", message.title.c_str(), flattenMessage(message.text).c_str());
    std::fflush(out_);
    if (message.buttons == MessageButtons::Ok) {
        return MessageAnswer::Ok;
    }
    if (message.buttons == MessageButtons::OkCancel) {
        // Asked after something went wrong that nobody foresaw: unattended, stop there.
        std::fprintf(out_, "  -> Cancel\n");
        return MessageAnswer::Cancel;
    }
    if (yesNoAnswer_) {
        std::fprintf(out_, "  -> %s\n", *yesNoAnswer_ == MessageAnswer::Yes ? "Yes" : "No");
        return *yesNoAnswer_;
    }
    if (::isatty(STDIN_FILENO) == 0) {
        std::fprintf(out_, "  -> No (not asked: no terminal; use --yes to agree)\n");
        return MessageAnswer::No;
    }
    for (;;) {
        std::fprintf(out_, "  [y/n]? ");
        std::fflush(out_);
        std::string line;
        if (!std::getline(std::cin, line)) {
            return MessageAnswer::No;
        }
        if (line == "y" || line == "Y" || line == "yes") {
            return MessageAnswer::Yes;
        }
        if (line == "n" || line == "N" || line == "no") {
            return MessageAnswer::No;
        }
    }
}

TerminalProgressBar::TerminalProgressBar(std::string caption, std::FILE* out, ProgressStyle style)
    : caption_(std::move(caption)),
      out_(out),
      style_(style),
      enabled_(style == ProgressStyle::Plain ||
               (style == ProgressStyle::Bar && ::isatty(::fileno(out)) != 0)) {}

void TerminalProgressBar::setCaption(std::string caption) {
    finish();
    caption_ = std::move(caption);
    lastDrawn_ = -1;
}

TerminalProgressBar::~TerminalProgressBar() {
    finish();
}

void TerminalProgressBar::setRange(int minimum, int maximum) {
    minimum_ = minimum;
    maximum_ = maximum > minimum ? maximum : minimum + 1;
}

void TerminalProgressBar::setPosition(int position) {
    position_ = position;
    draw();
}

void TerminalProgressBar::draw() {
    if (!enabled_) {
        return;
    }
    int span = maximum_ - minimum_;
    int clamped = position_ < minimum_ ? minimum_ : (position_ > maximum_ ? maximum_ : position_);
    int percent = (clamped - minimum_) * 100 / span;
    if (style_ == ProgressStyle::Plain) {
        drawPlain(percent);
        return;
    }
    if (percent == lastDrawn_) {
        return;
    }
    lastDrawn_ = percent;
    constexpr int kWidth = 40;
    int filled = percent * kWidth / 100;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '.');
    std::fprintf(out_, "\r%-28s [%s] %3d%%", caption_.c_str(), bar.c_str(), percent);
    std::fflush(out_);
    drawn_ = true;
}

void TerminalProgressBar::drawPlain(int percent) {
    // One line per tenth reached; a bar set back (the next transfer of the same device)
    // is followed silently until it passes the last tenth shown.
    constexpr int kStep = 10;
    int tenth = percent / kStep * kStep;
    if (lastDrawn_ >= 0 && tenth <= lastDrawn_) {
        if (tenth < lastDrawn_) {
            lastDrawn_ = tenth;
        }
        return;
    }
    lastDrawn_ = tenth;
    std::fprintf(out_, "%s: %d %%\n", caption_.c_str(), tenth);
    std::fflush(out_);
}

void TerminalProgressBar::finish() {
    if (drawn_) {
        std::fputc('\n', out_);
        std::fflush(out_);
        drawn_ = false;
        lastDrawn_ = -1;
    }
}

}  // namespace romtide::ui
