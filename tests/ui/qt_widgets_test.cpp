#include <gtest/gtest.h>

#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "ui/qt/qt_widgets.h"
#include "ui/qt_test_support.h"

namespace romtide::ui {
namespace {

class QtWidgetsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::testApplication(); }
};

TEST_F(QtWidgetsTest, ProgressBarClampsToItsRangeAndStepsFromWhereItStands) {
    QProgressBar widget;
    QtProgressBar bar(&widget);
    bar.setRange(0, 100);
    bar.setPosition(0);
    bar.stepBy();
    bar.stepBy();
    EXPECT_EQ(bar.position(), 2);
    EXPECT_EQ(widget.value(), 2);

    // Past the end the bar stands full instead of ignoring the value.
    bar.setPosition(250);
    EXPECT_EQ(widget.value(), 100);
    EXPECT_EQ(bar.position(), 100);
    bar.setPosition(-5);
    EXPECT_EQ(widget.value(), 0);

    // A gauge of 0..127 steps node by node.
    bar.setRange(0, 127);
    bar.setPosition(127);
    EXPECT_EQ(widget.value(), 127);
    bar.setRange(0, 100);
    EXPECT_EQ(bar.position(), 100) << "a narrower range pulls the position in";
}

TEST_F(QtWidgetsTest, LabelShowsFilePathsAsPlainText) {
    QLabel widget;
    QtTextLabel label(&widget);
    label.setText("File: /tmp/<b>x</b> & ü.mhx");
    EXPECT_EQ(widget.textFormat(), Qt::PlainText);
    EXPECT_EQ(label.text(), "File: /tmp/<b>x</b> & ü.mhx");
}

TEST_F(QtWidgetsTest, ButtonEnabledState) {
    QPushButton widget("&Search");
    QtButton button(&widget);
    button.setEnabled(false);
    EXPECT_FALSE(widget.isEnabled());
    EXPECT_FALSE(button.isEnabled());
    button.setEnabled(true);
    EXPECT_TRUE(widget.isEnabled());
}

TEST_F(QtWidgetsTest, ComboBoxTakesNoFreeTextAndRefusesBadIndexes) {
    QComboBox widget;
    widget.setEditable(true);
    QtComboBox box(&widget);
    EXPECT_FALSE(widget.isEditable());
    box.setItems({"    10 kBit/s", "    20 kBit/s", "    50 kBit/s"});
    EXPECT_EQ(widget.count(), 3);
    box.setItemIndex(2);
    EXPECT_EQ(box.itemIndex(), 2);
    EXPECT_EQ(widget.currentText().toStdString(), "    50 kBit/s");
    box.setItemIndex(3);
    EXPECT_EQ(box.itemIndex(), -1);
    box.setItems({"a"});
    EXPECT_EQ(widget.count(), 1) << "new items replace the old ones";
    box.setEnabled(false);
    EXPECT_FALSE(widget.isEnabled());
}

TEST_F(QtWidgetsTest, ComboBoxWithFreeTextKeepsTypedTextThatMatchesNoItem) {
    QComboBox widget;
    QtComboBox box(&widget, true);
    box.setItems({"Quadra", "Inkra"});
    box.setText("quadra");
    EXPECT_EQ(box.text(), "quadra") << "the product dialog compares the text with case";
    box.setText("Inkra");
    EXPECT_EQ(box.text(), "Inkra");

    QComboBox list;
    QtComboBox rates(&list);
    rates.setItems({"  125 kBit/s", "1000 kBit/s"});
    rates.setText("1000 kBit/s");
    EXPECT_EQ(rates.itemIndex(), 1);
    rates.setText("typed");
    EXPECT_EQ(rates.itemIndex(), -1) << "a list without free text shows no item then";
}

TEST_F(QtWidgetsTest, MemoKeepsLinesInOrderAndIsReadOnly) {
    QPlainTextEdit widget;
    QtMemo memo(&widget);
    EXPECT_TRUE(widget.isReadOnly());
    EXPECT_TRUE(memo.lines().empty());
    memo.addLine("Romtide, start firmware update, 08.12.2026 10:00:00");
    memo.addLine("");
    memo.addLine("Slave 5 - okay");
    EXPECT_EQ(memo.lines(),
              (std::vector<std::string>{"Romtide, start firmware update, 08.12.2026 10:00:00", "",
                                        "Slave 5 - okay"}));
    memo.clear();
    EXPECT_TRUE(memo.lines().empty());
}

class QtStringGridTest : public QtWidgetsTest {
  protected:
    void SetUp() override {
        table.setColumnCount(8);
        table.verticalHeader()->setDefaultSectionSize(18);
        table.resize(400, 18 * 6 + 40);
        grid = std::make_unique<QtStringGrid>(&table);
        grid->setRowCount(2);
    }
    QTableWidget table;
    std::unique_ptr<QtStringGrid> grid;
};

TEST_F(QtStringGridTest, RowZeroIsTheHeaderAndDataRowsStartAtOne) {
    EXPECT_EQ(grid->rowCount(), 2);
    EXPECT_EQ(table.rowCount(), 1);
    grid->setCell(0, 0, " Node-ID [dec]");
    grid->setCell(0, 1, "5");
    grid->setCell(7, 1, "Update");
    EXPECT_EQ(table.horizontalHeaderItem(0)->text().toStdString(), " Node-ID [dec]");
    EXPECT_EQ(table.item(0, 0)->text().toStdString(), "5");
    EXPECT_EQ(grid->cell(0, 0), " Node-ID [dec]");
    EXPECT_EQ(grid->cell(7, 1), "Update");
    EXPECT_EQ(grid->cell(3, 1), "") << "a cell never written is empty";
    grid->setCell(7, 1, "");
    EXPECT_EQ(grid->cell(7, 1), "");
    EXPECT_FALSE(table.item(0, 0)->flags() & Qt::ItemIsEditable);
}

TEST_F(QtStringGridTest, CellsOutsideTheGridAreIgnored) {
    grid->setCell(8, 1, "x");
    grid->setCell(0, 2, "x");
    grid->setCell(-1, 1, "x");
    EXPECT_EQ(grid->cell(8, 1), "");
    EXPECT_EQ(grid->cell(0, 2), "");
    EXPECT_EQ(grid->rowCount(), 2) << "writing past the end does not grow the grid";
    grid->setRowCount(0);
    EXPECT_EQ(grid->rowCount(), 1) << "the header row always stays";
    grid->setRowCount(4);
    grid->setCell(2, 3, "x");
    grid->setRowCount(3);
    EXPECT_EQ(grid->cell(2, 3), "");
}

TEST_F(QtStringGridTest, ScrollsByRowsAndReportsVisibleRows) {
    grid->setRowCount(40);
    table.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&table));
    EXPECT_EQ(grid->topRow(), 1);
    const int visible = grid->visibleRowCount();
    EXPECT_GE(visible, 3);
    EXPECT_LE(visible, 8);
    grid->setTopRow(10);
    EXPECT_EQ(grid->topRow(), 10);
    grid->setTopRow(0);
    EXPECT_EQ(grid->topRow(), 10) << "the header row is no top row";
}

TEST_F(QtStringGridTest, ClickOnARowReportsGridColumnAndRow) {
    grid->setRowCount(4);
    std::vector<std::pair<int, int>> selected;
    grid->setSelectHandler([&](int column, int row) { selected.emplace_back(column, row); });
    table.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&table));
    const QRect cell(table.columnViewportPosition(2), table.rowViewportPosition(1),
                     table.columnWidth(2), table.rowHeight(1));
    QTest::mouseClick(table.viewport(), Qt::LeftButton, {}, cell.center());
    ASSERT_EQ(selected.size(), 1u);
    EXPECT_EQ(selected[0], std::make_pair(2, 2));
}

TEST_F(QtStringGridTest, ClicksAfterTheAdapterWentReachNobody) {
    int clicks = 0;
    grid->setSelectHandler([&](int, int) { ++clicks; });
    table.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&table));
    grid.reset();
    QTest::mouseClick(
        table.viewport(), Qt::LeftButton, {},
        QPoint(table.columnViewportPosition(1) + 2, table.rowViewportPosition(0) + 2));
    EXPECT_EQ(clicks, 0);
}

TEST_F(QtWidgetsTest, TimerRunsItsHandlerOnTheEventLoopUntilDisabled) {
    QtTimer timer;
    int fired = 0;
    timer.setHandler([&]() {
        if (++fired == 3) {
            timer.setEnabled(false);
        }
    });
    timer.setInterval(5);
    EXPECT_FALSE(timer.isEnabled());
    timer.setEnabled(true);
    EXPECT_TRUE(timer.isEnabled());
    EXPECT_TRUE(QTest::qWaitFor([&]() { return !timer.isEnabled(); }, 5000));
    EXPECT_EQ(fired, 3);
    QTest::qWait(30);
    EXPECT_EQ(fired, 3) << "a disabled timer stays quiet";
    EXPECT_EQ(timer.interval(), 5);
}

TEST_F(QtWidgetsTest, BusyCursorDoesNotStackAndIsRestored) {
    ASSERT_EQ(QApplication::overrideCursor(), nullptr);
    {
        QtBusyCursor busy;
        busy.setBusy(true);
        busy.setBusy(true);
        ASSERT_NE(QApplication::overrideCursor(), nullptr);
        EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        busy.setBusy(false);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        busy.setBusy(true);
    }
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "leaving a handler early still restores";
}

TEST_F(QtWidgetsTest, CheckListIsCheckedByTheProgramOnly) {
    QListWidget widget;
    QtCheckList list(&widget);
    list.setItems({"connected", "initialized"});
    ASSERT_EQ(list.count(), 2);
    list.setChecked(1, true);
    list.setChecked(5, true);  // no such item
    EXPECT_FALSE(list.isChecked(0));
    EXPECT_TRUE(list.isChecked(1));
    EXPECT_FALSE(list.isChecked(5));
    widget.resize(200, 60);
    widget.show();
    QRect r = widget.visualItemRect(widget.item(0));
    QTest::mouseClick(widget.viewport(), Qt::LeftButton, {}, QPoint(r.left() + 8, r.center().y()));
    QTest::mouseDClick(widget.viewport(), Qt::LeftButton, {}, r.center());
    EXPECT_FALSE(list.isChecked(0)) << "a click of the user changes nothing";
}

}  // namespace
}  // namespace romtide::ui
