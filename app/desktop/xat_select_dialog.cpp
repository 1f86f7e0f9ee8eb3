#include "app/desktop/xat_select_dialog.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "vci/xat.h"

namespace romtide::desktop {

std::optional<vci::HardwareChoice> selectHardwareDialog(
    const std::vector<std::string>& interfaces) {
    // A widget needs a QApplication; a plain core application (or none) has no display.
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        return std::nullopt;
    }
    QDialog dialog(QApplication::activeWindow());
    dialog.setObjectName(QStringLiteral("frm_xat_select"));
    dialog.setWindowTitle(QStringLiteral("Hardware selection"));
    auto* caption = new QLabel(QStringLiteral("CAN interfaces found:"), &dialog);
    auto* list = new QListWidget(&dialog);
    list->setObjectName(QStringLiteral("interfaces"));
    for (const auto& uri : interfaces) {
        list->addItem(QString::fromStdString(uri));
    }
    if (list->count() > 0) {
        list->setCurrentRow(0);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setEnabled(list->count() > 0);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(list, &QListWidget::itemDoubleClicked, &dialog, &QDialog::accept);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(caption);
    layout->addWidget(list);
    layout->addWidget(buttons);
    dialog.resize(360, 240);

    if (dialog.exec() != QDialog::Accepted || list->currentItem() == nullptr) {
        // The current board stays as it is, as when the user leaves any selection.
        return vci::HardwareChoice{vci::kXatAbandoned, {}};
    }
    return vci::HardwareChoice{vci::kXatSelected, list->currentItem()->text().toStdString()};
}

}  // namespace romtide::desktop
