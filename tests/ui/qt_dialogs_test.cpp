#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>

#include "ui/qt/qt_dialogs.h"
#include "ui/qt_test_support.h"

namespace romtide::ui {
namespace {

class QtDialogsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::testApplication(); }
};

struct Seen {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QMessageBox::StandardButton> buttons;
};

// Shows `message`, looks at the box that comes up and answers it with `press`
// (or with Escape when `press` is NoButton).
MessageAnswer showAndAnswer(const Message& message, QMessageBox::StandardButton press, Seen& seen) {
    test::whenModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        for (auto* b : box->buttons()) {
            seen.buttons << box->standardButton(b);
        }
        if (press == QMessageBox::NoButton) {
            QTest::keyClick(box, Qt::Key_Escape);
        } else {
            box->button(press)->click();
        }
    });
    QtMessageBoxes boxes;
    return boxes.show(message);
}

TEST_F(QtDialogsTest, MessageBoxShowsTitleTextIconAndOneOkButton) {
    Seen seen;
    const auto answer = showAndAnswer(
        {"Die angegebene Datei 'x' wurde nicht gefunden!", "Fehler", MessageIcon::Error},
        QMessageBox::Ok, seen);
    EXPECT_EQ(answer, MessageAnswer::Ok);
    EXPECT_EQ(seen.title.toStdString(), "Fehler");
    EXPECT_EQ(seen.text.toStdString(), "Die angegebene Datei 'x' wurde nicht gefunden!");
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(seen.buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
}

TEST_F(QtDialogsTest, MessageBoxIcons) {
    const std::pair<MessageIcon, QMessageBox::Icon> cases[] = {
        {MessageIcon::None, QMessageBox::NoIcon},
        {MessageIcon::Information, QMessageBox::Information},
        {MessageIcon::Warning, QMessageBox::Warning},
        {MessageIcon::Error, QMessageBox::Critical},
        {MessageIcon::Question, QMessageBox::Question},
    };
    for (const auto& [icon, expected] : cases) {
        Seen seen;
        showAndAnswer({"text", "Romtide", icon}, QMessageBox::Ok, seen);
        EXPECT_EQ(seen.icon, expected) << iconName(icon);
    }
}

TEST_F(QtDialogsTest, QuestionAnswersYesNoAndEscapeIsNo) {
    const Message question{"Update bootloader?", "Romtide", MessageIcon::Question,
                           MessageButtons::YesNo};
    Seen seen;
    EXPECT_EQ(showAndAnswer(question, QMessageBox::Yes, seen), MessageAnswer::Yes);
    EXPECT_EQ(seen.buttons.size(), 2);
    EXPECT_TRUE(seen.buttons.contains(QMessageBox::Yes));
    EXPECT_TRUE(seen.buttons.contains(QMessageBox::No));
    EXPECT_EQ(showAndAnswer(question, QMessageBox::No, seen), MessageAnswer::No);
    EXPECT_EQ(showAndAnswer(question, QMessageBox::NoButton, seen), MessageAnswer::No);
}

TEST_F(QtDialogsTest, MessageTextIsNeverRichText) {
    Seen seen;
    showAndAnswer({"File: <i>a</i>.mhx", "Bootloader"}, QMessageBox::Ok, seen);
    EXPECT_EQ(seen.text.toStdString(), "File: <i>a</i>.mhx");
}

TEST_F(QtDialogsTest, FilterStringsBecomeQtNameFilters) {
    const std::pair<std::string, QStringList> cases[] = {
        {"(*.mhx)|*.mhx", {"(*.mhx)"}},
        {"Image files|*.mhx", {"Image files (*.mhx)"}},
        {"Images|*.mhx;*.s19|All files|*", {"Images (*.mhx *.s19)", "All files (*)"}},
        {"|*.mhx", {"(*.mhx)"}},
        {"", {"(*)"}},
        {"no pattern", {"(*)"}},
    };
    for (const auto& [filter, expected] : cases) {
        EXPECT_EQ(qtNameFilters(filter), expected) << filter;
    }
}

class QtFileDialogTest : public QtDialogsTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        for (const char* name : {"a.mhx", "b.txt"}) {
            QFile f(dir.filePath(QString::fromLatin1(name)));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("S00600004844521B\n");
        }
    }
    QTemporaryDir dir;
    OpenFileOptions options{"(*.mhx)|*.mhx", "Romtide - Open file", true};
};

TEST_F(QtFileDialogTest, ShowsTitleAndFilterAndReturnsTheChosenFile) {
    QString title;
    QStringList filters;
    const QString wanted = dir.filePath(QStringLiteral("a.mhx"));
    test::whenModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(dialog, nullptr);
        title = dialog->windowTitle();
        filters = dialog->nameFilters();
        EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
        dialog->selectFile(wanted);
        static_cast<QDialog*>(dialog)->accept();
    });
    QtOpenFileDialog files;
    const auto chosen = files.choose(options);
    EXPECT_EQ(title.toStdString(), "Romtide - Open file");
    EXPECT_EQ(filters, QStringList{"(*.mhx)"});
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, wanted.toStdString());
}

TEST_F(QtFileDialogTest, CancelGivesNothing) {
    test::whenModal([](QWidget* modal) { qobject_cast<QDialog*>(modal)->reject(); });
    QtOpenFileDialog files;
    EXPECT_FALSE(files.choose(options).has_value());
}

TEST_F(QtFileDialogTest, AFileThatDoesNotExistIsNotAccepted) {
    bool stillOpen = false;
    test::whenModal([&](QWidget* modal) {
        auto* dialog = qobject_cast<QFileDialog*>(modal);
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        ASSERT_NE(name, nullptr);
        name->setText(dir.filePath(QStringLiteral("missing.mhx")));
        // The dialog may say why it refuses; that note is closed too.
        test::whenModal([](QWidget* note) { note->close(); }, dialog);
        QTest::keyClick(name, Qt::Key_Return);
        stillOpen = dialog->isVisible();
        dialog->reject();
    });
    QtOpenFileDialog files;
    EXPECT_FALSE(files.choose(options).has_value());
    EXPECT_TRUE(stillOpen);
}

}  // namespace
}  // namespace romtide::ui
