// What the views of both download windows do alike: a fixed-border dialog centred on
// the main window whose opening runs the logic's FormShow and FormActivate once, which
// Escape does not close (closing releases the bus adapter; during a transfer the logic
// asks whether to stop it), and whose title bar closes the way Quit does, after a
// running handler has returned.
#pragma once

#include <QDialog>
#include <QKeyEvent>
#include <QPointer>
#include <QShowEvent>
#include <memory>

#include "app/desktop/desktop.h"
#include "app/desktop/view_helpers.h"
#include "app/desktop/widget_form.h"

namespace romtide::desktop {

// `Logic` has FormShow, FormActivate, FormClose, closeRequested and escapePressed. The view makes
// it into `logic_` and resets it in its own destructor, before the adapters it refers to.
template <class Logic>
class DownloadWindowView : public QDialog, public DesktopWindow {
  public:
    explicit DownloadWindowView(QWidget* mainWindow)
        : QDialog(nullptr, Qt::Dialog | kFixedBorderFlags), mainWindow_(mainWindow), form_(this) {
        paintWhite(this);
    }
    Form& form() override { return form_; }
    Logic& logic() { return *logic_; }

    void reject() override {
        if (!logic_->closeRequested()) {
            return;
        }
        logic_->FormClose();
        QDialog::reject();
    }

  protected:
    void showEvent(QShowEvent* event) override {
        QDialog::showEvent(event);
        if (event->spontaneous()) {
            return;  // shown again after being minimised: not an opening
        }
        centreOnMain(form_, mainWindow_);
        logic_->FormShow();
        logic_->FormActivate();
    }
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            event->accept();
            logic_->escapePressed();
            return;
        }
        QDialog::keyPressEvent(event);
    }

    QPointer<QWidget> mainWindow_;
    WidgetForm form_;
    std::unique_ptr<Logic> logic_;
};

}  // namespace romtide::desktop
