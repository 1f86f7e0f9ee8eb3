// Controls that session and window logic move themselves: progress bars and labels.
#pragma once

#include <string>

namespace romtide::ui {

class ProgressBar {
public:
    virtual ~ProgressBar() = default;
    virtual void setPosition(int position) = 0;
    virtual int position() const = 0;
    virtual void setRange(int minimum, int maximum) = 0;
    void stepBy(int delta = 1) { setPosition(position() + delta); }
};

class TextLabel {
public:
    virtual ~TextLabel() = default;
    virtual void setText(const std::string& text) = 0;
    virtual std::string text() const = 0;
};

// Keeps its state only; for headless runs where nobody looks and as a test double.
class PlainProgressBar : public ProgressBar {
public:
    void setPosition(int position) override { position_ = position; }
    int position() const override { return position_; }
    void setRange(int minimum, int maximum) override {
        minimum_ = minimum;
        maximum_ = maximum;
    }
    int minimum() const { return minimum_; }
    int maximum() const { return maximum_; }

private:
    int position_ = 0;
    int minimum_ = 0;
    int maximum_ = 100;
};

class PlainTextLabel : public TextLabel {
public:
    void setText(const std::string& text) override { text_ = text; }
    std::string text() const override { return text_; }

private:
    std::string text_;
};

}  // namespace romtide::ui
