// Controls that session and window logic move themselves: progress bars and labels.
#pragma once

#include <functional>
#include <string>
#include <vector>

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

// A button: window logic enables and disables it; the view forwards clicks to the
// handler the logic named.
class Button {
  public:
    virtual ~Button() = default;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;
};

// A drop-down list; with free text, the text may be one no item has.
class ComboBox {
  public:
    virtual ~ComboBox() = default;
    virtual void setItems(const std::vector<std::string>& items) = 0;
    virtual int itemIndex() const = 0;  // -1: nothing chosen
    virtual void setItemIndex(int index) = 0;
    virtual std::string text() const = 0;
    virtual void setText(const std::string& text) = 0;
    virtual void setEnabled(bool enabled) = 0;
};

// A one-line edit.
class LineEdit {
  public:
    virtual ~LineEdit() = default;
    virtual std::string text() const = 0;
    virtual void setText(const std::string& text) = 0;
};

// A multi-line text that only grows by lines (the results memo).
class Memo {
  public:
    virtual ~Memo() = default;
    virtual void addLine(const std::string& line) = 0;
    virtual void clear() = 0;
    virtual std::vector<std::string> lines() const = 0;
};

// A string grid with a fixed header row 0.
class StringGrid {
  public:
    virtual ~StringGrid() = default;
    virtual int rowCount() const = 0;
    virtual void setRowCount(int rows) = 0;
    virtual int columnCount() const = 0;
    virtual std::string cell(int column, int row) const = 0;
    virtual void setCell(int column, int row, const std::string& text) = 0;
    virtual int topRow() const = 0;
    virtual void setTopRow(int row) = 0;
    virtual int visibleRowCount() const = 0;
};

// A periodic timer; the handler runs on the user-interface thread.
class Timer {
  public:
    virtual ~Timer() = default;
    virtual void setInterval(int ms) = 0;
    virtual int interval() const = 0;
    virtual void setEnabled(bool enabled) = 0;
    virtual bool isEnabled() const = 0;
    virtual void setHandler(std::function<void()> handler) = 0;
};

// A control that is checked or not: a radio button, a check box.
class CheckControl {
  public:
    virtual ~CheckControl() = default;
    virtual void setChecked(bool checked) = 0;
    virtual bool isChecked() const = 0;
};

// A list of items each checked or not; the program checks them, the user does not.
class CheckList {
  public:
    virtual ~CheckList() = default;
    virtual void setItems(const std::vector<std::string>& items) = 0;
    virtual int count() const = 0;
    virtual void setChecked(int item, bool checked) = 0;
    virtual bool isChecked(int item) const = 0;
};

// The hourglass while a long operation runs.
class BusyCursor {
  public:
    virtual ~BusyCursor() = default;
    virtual void setBusy(bool busy) = 0;
};

class PlainButton : public Button {
  public:
    explicit PlainButton(bool enabled = true) : enabled_(enabled) {}
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_; }

  private:
    bool enabled_;
};

class PlainComboBox : public ComboBox {
  public:
    void setItems(const std::vector<std::string>& items) override { items_ = items; }
    int itemIndex() const override { return index_; }
    void setItemIndex(int index) override {
        index_ = (index >= 0 && index < static_cast<int>(items_.size())) ? index : -1;
        text_ = index_ >= 0 ? items_[static_cast<size_t>(index_)] : std::string();
    }
    std::string text() const override { return text_; }
    // Typed text selects the item it equals, as a toolkit's combo box does.
    void setText(const std::string& text) override {
        text_ = text;
        index_ = -1;
        for (size_t i = 0; i < items_.size(); ++i) {
            if (items_[i] == text) {
                index_ = static_cast<int>(i);
                break;
            }
        }
    }
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const { return enabled_; }
    const std::vector<std::string>& items() const { return items_; }

  private:
    std::vector<std::string> items_;
    int index_ = -1;
    std::string text_;
    bool enabled_ = true;
};

class PlainLineEdit : public LineEdit {
  public:
    std::string text() const override { return text_; }
    void setText(const std::string& text) override { text_ = text; }

  private:
    std::string text_;
};

class PlainMemo : public Memo {
  public:
    void addLine(const std::string& line) override { lines_.push_back(line); }
    void clear() override { lines_.clear(); }
    std::vector<std::string> lines() const override { return lines_; }

  private:
    std::vector<std::string> lines_;
};

class PlainStringGrid : public StringGrid {
  public:
    PlainStringGrid(int columns, int rows, int visibleRows = 20)
        : columns_(columns), visible_(visibleRows) {
        setRowCount(rows);
    }
    int rowCount() const override { return static_cast<int>(cells_.size()); }
    void setRowCount(int rows) override {
        cells_.resize(static_cast<size_t>(rows < 1 ? 1 : rows),
                      std::vector<std::string>(static_cast<size_t>(columns_)));
    }
    int columnCount() const override { return columns_; }
    std::string cell(int column, int row) const override {
        if (!valid(column, row)) {
            return {};
        }
        return cells_[static_cast<size_t>(row)][static_cast<size_t>(column)];
    }
    void setCell(int column, int row, const std::string& text) override {
        if (valid(column, row)) {
            cells_[static_cast<size_t>(row)][static_cast<size_t>(column)] = text;
        }
    }
    int topRow() const override { return top_; }
    void setTopRow(int row) override { top_ = row; }
    int visibleRowCount() const override { return visible_; }

  private:
    bool valid(int column, int row) const {
        return column >= 0 && column < columns_ && row >= 0 && row < rowCount();
    }
    int columns_;
    int visible_;
    int top_ = 1;
    std::vector<std::vector<std::string>> cells_;
};

class PlainTimer : public Timer {
  public:
    void setInterval(int ms) override { interval_ = ms; }
    int interval() const override { return interval_; }
    void setEnabled(bool enabled) override { enabled_ = enabled; }
    bool isEnabled() const override { return enabled_; }
    void setHandler(std::function<void()> handler) override { handler_ = std::move(handler); }
    // Fires the handler as the toolkit would when the interval has passed.
    void fire() {
        if (enabled_ && handler_) {
            handler_();
        }
    }

  private:
    int interval_ = 1000;
    bool enabled_ = false;
    std::function<void()> handler_;
};

class PlainCheckControl : public CheckControl {
  public:
    void setChecked(bool checked) override { checked_ = checked; }
    bool isChecked() const override { return checked_; }

  private:
    bool checked_ = false;
};

class PlainCheckList : public CheckList {
  public:
    void setItems(const std::vector<std::string>& items) override {
        items_ = items;
        checked_.assign(items.size(), false);
    }
    int count() const override { return static_cast<int>(items_.size()); }
    void setChecked(int item, bool checked) override {
        if (item >= 0 && item < count()) {
            checked_[static_cast<size_t>(item)] = checked;
        }
    }
    bool isChecked(int item) const override {
        return item >= 0 && item < count() && checked_[static_cast<size_t>(item)];
    }
    const std::vector<std::string>& items() const { return items_; }

  private:
    std::vector<std::string> items_;
    std::vector<bool> checked_;
};

class PlainBusyCursor : public BusyCursor {
  public:
    void setBusy(bool busy) override { busy_ = busy; }
    bool isBusy() const { return busy_; }

  private:
    bool busy_ = false;
};

}  // namespace romtide::ui
