// Thin adapters from the controls that window logic moves to Qt widgets. Each keeps a
// pointer to a widget owned by its window; the window outlives its adapters.
#pragma once

#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>

#include "ui/widgets.h"

class QAbstractButton;
class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QTableWidget;

namespace romtide::ui {

// Out-of-range positions are clamped to the range: the logic steps past the end when a
// file has more units than it counted, and the bar must then stand full, not freeze.
class QtProgressBar : public ProgressBar {
  public:
    explicit QtProgressBar(QProgressBar* bar);
    void setPosition(int position) override;
    int position() const override { return position_; }
    void setRange(int minimum, int maximum) override;

  private:
    QPointer<QProgressBar> bar_;
    int position_ = 0;
};

class QtTextLabel : public TextLabel {
  public:
    // File paths are shown as they are, never as rich text.
    explicit QtTextLabel(QLabel* label);
    void setText(const std::string& text) override;
    std::string text() const override;

  private:
    QPointer<QLabel> label_;
};

class QtButton : public Button {
  public:
    explicit QtButton(QAbstractButton* button);
    void setEnabled(bool enabled) override;
    bool isEnabled() const override;

  private:
    QPointer<QAbstractButton> button_;
};

// A menu item: enabled and disabled like a button.
class QtActionButton : public Button {
  public:
    explicit QtActionButton(QAction* action);
    void setEnabled(bool enabled) override;
    bool isEnabled() const override;

  private:
    QPointer<QAction> action_;
};

class QtComboBox : public ComboBox {
  public:
    // A drop-down list takes no free text unless `freeText` is set.
    explicit QtComboBox(QComboBox* box, bool freeText = false);
    void setItems(const std::vector<std::string>& items) override;
    int itemIndex() const override;
    void setItemIndex(int index) override;
    std::string text() const override;
    void setText(const std::string& text) override;
    void setEnabled(bool enabled) override;

  private:
    QPointer<QComboBox> box_;
};

class QtLineEdit : public LineEdit {
  public:
    explicit QtLineEdit(QLineEdit* edit);
    std::string text() const override;
    void setText(const std::string& text) override;

  private:
    QPointer<QLineEdit> edit_;
};

class QtMemo : public Memo {
  public:
    explicit QtMemo(QPlainTextEdit* edit);
    void addLine(const std::string& line) override;
    void clear() override;
    std::vector<std::string> lines() const override;

  private:
    QPointer<QPlainTextEdit> edit_;
};

// Row 0 is the header row (the table's horizontal header); grid row r (r >= 1) is
// table row r - 1. Cells are read-only for the user.
class QtStringGrid : public StringGrid {
  public:
    explicit QtStringGrid(QTableWidget* table);
    ~QtStringGrid() override;
    QtStringGrid(const QtStringGrid&) = delete;
    QtStringGrid& operator=(const QtStringGrid&) = delete;
    int rowCount() const override;
    void setRowCount(int rows) override;
    int columnCount() const override;
    std::string cell(int column, int row) const override;
    void setCell(int column, int row, const std::string& text) override;
    int topRow() const override;
    void setTopRow(int row) override;
    int visibleRowCount() const override;
    // `handler` (column, grid row) runs when the user selects a cell of a data row.
    void setSelectHandler(std::function<void(int, int)> handler);

  private:
    QPointer<QTableWidget> table_;
    std::function<void(int, int)> onSelect_;
    QMetaObject::Connection clicks_;
};

// A radio button or check box.
class QtCheckControl : public CheckControl {
  public:
    explicit QtCheckControl(QAbstractButton* button);
    void setChecked(bool checked) override;
    bool isChecked() const override;

  private:
    QPointer<QAbstractButton> button_;
};

// A list whose items carry check marks that only the program sets: a click of the user
// changes nothing.
class QtCheckList : public CheckList {
  public:
    explicit QtCheckList(QListWidget* list);
    void setItems(const std::vector<std::string>& items) override;
    int count() const override;
    void setChecked(int item, bool checked) override;
    bool isChecked(int item) const override;

  private:
    QPointer<QListWidget> list_;
};

class QtTimer : public Timer {
  public:
    QtTimer();
    void setInterval(int ms) override;
    int interval() const override;
    void setEnabled(bool enabled) override;
    bool isEnabled() const override;
    void setHandler(std::function<void()> handler) override;

  private:
    QTimer timer_;
    std::function<void()> handler_;
};

// The application-wide wait cursor; setting the same state twice stacks nothing.
class QtBusyCursor : public BusyCursor {
  public:
    ~QtBusyCursor() override;
    void setBusy(bool busy) override;
    bool isBusy() const { return busy_; }

  private:
    bool busy_ = false;
};

}  // namespace romtide::ui
