#include "ui/qt/qt_dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace romtide::ui {

namespace {

QMessageBox::Icon qtIcon(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::None:
            return QMessageBox::NoIcon;
        case MessageIcon::Information:
            return QMessageBox::Information;
        case MessageIcon::Warning:
            return QMessageBox::Warning;
        case MessageIcon::Error:
            return QMessageBox::Critical;
        case MessageIcon::Question:
            return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

MessageAnswer QtMessageBoxes::show(const Message& message) {
    const bool yesNo =
        message.buttons == MessageButtons::YesNo || message.buttons == MessageButtons::NoYes;
    const bool okCancel = message.buttons == MessageButtons::OkCancel;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    if (yesNo) {
        buttons = QMessageBox::Yes | QMessageBox::No;
    } else if (okCancel) {
        buttons = QMessageBox::Ok | QMessageBox::Cancel;
    }
    QMessageBox box(qtIcon(message.icon), QString::fromStdString(message.title),
                    QString::fromStdString(message.text), buttons, QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.setObjectName(QStringLiteral("message_box"));
    if (yesNo) {
        // Closing the box with Escape or the title bar is a No, never a silent Yes.
        box.setEscapeButton(QMessageBox::No);
        box.setDefaultButton(message.buttons == MessageButtons::NoYes ? QMessageBox::No
                                                                      : QMessageBox::Yes);
    }
    if (okCancel) {
        box.setEscapeButton(QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
    }
    const int pressed = box.exec();
    if (okCancel) {
        return pressed == QMessageBox::Cancel ? MessageAnswer::Cancel : MessageAnswer::Ok;
    }
    if (!yesNo) {
        return MessageAnswer::Ok;
    }
    return pressed == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
}

QStringList qtNameFilters(const std::string& filter) {
    const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
    QStringList result;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        const QString description = parts[i].trimmed();
        QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
        for (auto& p : patterns) {
            p = p.trimmed();
        }
        const QString group = QLatin1Char('(') + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
        if (description.endsWith(group)) {
            result << description;
        } else if (description.isEmpty()) {
            result << group;
        } else {
            result << description + QLatin1Char(' ') + group;
        }
    }
    if (result.isEmpty()) {
        result << QStringLiteral("(*)");
    }
    return result;
}

std::optional<std::string> QtOpenFileDialog::choose(const OpenFileOptions& options) {
    QFileDialog dialog(QApplication::activeWindow(), QString::fromStdString(options.title));
    dialog.setObjectName(QStringLiteral("open_file_dialog"));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(options.mustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
    dialog.setNameFilters(qtNameFilters(options.filter));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().front().toStdString();
}

}  // namespace romtide::ui
