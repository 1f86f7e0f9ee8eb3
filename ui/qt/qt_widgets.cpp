#include "ui/qt/qt_widgets.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScrollBar>
#include <QTableWidget>
#include <algorithm>

namespace romtide::ui {

namespace {

QString toQ(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

QtProgressBar::QtProgressBar(QProgressBar* bar) : bar_(bar) {
    position_ = bar_->minimum();
    bar_->setValue(position_);
}

void QtProgressBar::setPosition(int position) {
    position_ = std::clamp(position, bar_->minimum(), std::max(bar_->minimum(), bar_->maximum()));
    bar_->setValue(position_);
}

void QtProgressBar::setRange(int minimum, int maximum) {
    bar_->setRange(minimum, maximum);
    setPosition(position_);
}

QtTextLabel::QtTextLabel(QLabel* label) : label_(label) {
    label_->setTextFormat(Qt::PlainText);
}

void QtTextLabel::setText(const std::string& text) {
    label_->setText(toQ(text));
}

std::string QtTextLabel::text() const {
    return label_->text().toStdString();
}

QtButton::QtButton(QAbstractButton* button) : button_(button) {}

void QtButton::setEnabled(bool enabled) {
    button_->setEnabled(enabled);
}

bool QtButton::isEnabled() const {
    return button_->isEnabled();
}

QtActionButton::QtActionButton(QAction* action) : action_(action) {}

void QtActionButton::setEnabled(bool enabled) {
    action_->setEnabled(enabled);
}

bool QtActionButton::isEnabled() const {
    return action_->isEnabled();
}

QtComboBox::QtComboBox(QComboBox* box, bool freeText) : box_(box) {
    box_->setEditable(freeText);
}

void QtComboBox::setItems(const std::vector<std::string>& items) {
    box_->clear();
    for (const auto& item : items) {
        box_->addItem(toQ(item));
    }
}

int QtComboBox::itemIndex() const {
    return box_->currentIndex();
}

void QtComboBox::setItemIndex(int index) {
    box_->setCurrentIndex(index >= 0 && index < box_->count() ? index : -1);
}

std::string QtComboBox::text() const {
    return box_->currentText().toStdString();
}

void QtComboBox::setText(const std::string& text) {
    if (box_->isEditable()) {
        box_->setEditText(toQ(text));
        return;
    }
    box_->setCurrentIndex(box_->findText(toQ(text), Qt::MatchExactly | Qt::MatchCaseSensitive));
}

QtLineEdit::QtLineEdit(QLineEdit* edit) : edit_(edit) {}

std::string QtLineEdit::text() const {
    return edit_->text().toStdString();
}

void QtLineEdit::setText(const std::string& text) {
    edit_->setText(toQ(text));
}

void QtComboBox::setEnabled(bool enabled) {
    box_->setEnabled(enabled);
}

QtMemo::QtMemo(QPlainTextEdit* edit) : edit_(edit) {
    edit_->setReadOnly(true);
}

void QtMemo::addLine(const std::string& line) {
    edit_->appendPlainText(toQ(line));
}

void QtMemo::clear() {
    edit_->clear();
}

std::vector<std::string> QtMemo::lines() const {
    std::vector<std::string> result;
    if (edit_->document()->isEmpty()) {
        return result;
    }
    for (const auto& line : edit_->toPlainText().split(QLatin1Char('\n'))) {
        result.push_back(line.toStdString());
    }
    return result;
}

QtStringGrid::QtStringGrid(QTableWidget* table) : table_(table) {
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    clicks_ = QObject::connect(table_, &QTableWidget::cellClicked, [this](int row, int column) {
        if (onSelect_) {
            onSelect_(column, row + 1);
        }
    });
}

// The table may outlive its adapter; its clicks must not reach a gone one.
QtStringGrid::~QtStringGrid() {
    QObject::disconnect(clicks_);
}

int QtStringGrid::rowCount() const {
    return table_->rowCount() + 1;
}

void QtStringGrid::setRowCount(int rows) {
    table_->setRowCount(std::max(rows - 1, 0));
}

int QtStringGrid::columnCount() const {
    return table_->columnCount();
}

std::string QtStringGrid::cell(int column, int row) const {
    if (column < 0 || column >= table_->columnCount() || row < 0 || row >= rowCount()) {
        return {};
    }
    const QTableWidgetItem* item =
        row == 0 ? table_->horizontalHeaderItem(column) : table_->item(row - 1, column);
    return item ? item->text().toStdString() : std::string();
}

void QtStringGrid::setCell(int column, int row, const std::string& text) {
    if (column < 0 || column >= table_->columnCount() || row < 0 || row >= rowCount()) {
        return;
    }
    if (row == 0) {
        if (auto* item = table_->horizontalHeaderItem(column)) {
            item->setText(toQ(text));
        } else {
            table_->setHorizontalHeaderItem(column, new QTableWidgetItem(toQ(text)));
        }
        return;
    }
    if (auto* item = table_->item(row - 1, column)) {
        item->setText(toQ(text));
        return;
    }
    auto* item = new QTableWidgetItem(toQ(text));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    table_->setItem(row - 1, column, item);
}

int QtStringGrid::topRow() const {
    int first = table_->rowAt(0);
    return first < 0 ? 1 : first + 1;
}

void QtStringGrid::setTopRow(int row) {
    if (row >= 1 && row < rowCount()) {
        table_->verticalScrollBar()->setValue(row - 1);
    }
}

int QtStringGrid::visibleRowCount() const {
    int height = table_->verticalHeader()->defaultSectionSize();
    return height > 0 ? table_->viewport()->height() / height : 0;
}

void QtStringGrid::setSelectHandler(std::function<void(int, int)> handler) {
    onSelect_ = std::move(handler);
}

QtCheckControl::QtCheckControl(QAbstractButton* button) : button_(button) {
    button_->setCheckable(true);
}

void QtCheckControl::setChecked(bool checked) {
    button_->setChecked(checked);
}

bool QtCheckControl::isChecked() const {
    return button_->isChecked();
}

QtCheckList::QtCheckList(QListWidget* list) : list_(list) {
    list_->setSelectionMode(QAbstractItemView::NoSelection);
}

void QtCheckList::setItems(const std::vector<std::string>& items) {
    list_->clear();
    for (const auto& text : items) {
        auto* item = new QListWidgetItem(toQ(text), list_);
        // Shown with its check box, which the user cannot change.
        item->setFlags(Qt::ItemIsEnabled);
        item->setCheckState(Qt::Unchecked);
    }
}

int QtCheckList::count() const {
    return list_->count();
}

void QtCheckList::setChecked(int item, bool checked) {
    if (QListWidgetItem* i = list_->item(item)) {
        i->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    }
}

bool QtCheckList::isChecked(int item) const {
    const QListWidgetItem* i = list_->item(item);
    return i != nullptr && i->checkState() == Qt::Checked;
}

QtTimer::QtTimer() {
    QObject::connect(&timer_, &QTimer::timeout, [this]() {
        if (handler_) {
            handler_();
        }
    });
}

void QtTimer::setInterval(int ms) {
    timer_.setInterval(ms);
}

int QtTimer::interval() const {
    return timer_.interval();
}

void QtTimer::setEnabled(bool enabled) {
    if (enabled && !timer_.isActive()) {
        timer_.start();
    } else if (!enabled) {
        timer_.stop();
    }
}

bool QtTimer::isEnabled() const {
    return timer_.isActive();
}

void QtTimer::setHandler(std::function<void()> handler) {
    handler_ = std::move(handler);
}

QtBusyCursor::~QtBusyCursor() {
    setBusy(false);
}

void QtBusyCursor::setBusy(bool busy) {
    if (busy == busy_) {
        return;
    }
    busy_ = busy;
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

}  // namespace romtide::ui
