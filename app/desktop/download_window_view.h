// What the views of both download windows do alike: a fixed-border dialog centred on
// the main window whose opening runs the logic's FormShow and FormActivate once, which
// Escape does not close (closing releases the bus adapter; during a transfer the logic
// asks whether to stop it), and whose title bar closes the way Quit does, after a
// running handler has returned.
#pragma once

#include <QDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QStyle>
#include <algorithm>
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
        fitToScreen();
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

  private:
    // A window larger than the screen it opens on is made as large as the screen's free
    // area allows, its controls in a scroll area inside it at their places; on a screen
    // it fits, its size stays. Either way its frame is kept within the free area. The controls keep
    // their names and sizes, so the logic and everything that finds them see no difference.
    void fitToScreen() {
        if (!design_.isValid()) {
            design_ = size();  // the fixed size the view made the window
        }
        QScreen* screen = QGuiApplication::screenAt(frameGeometry().center());
        if (screen == nullptr) {
            screen = this->screen();
        }
        if (screen == nullptr) {
            return;
        }
        const QRect area = screen->availableGeometry();
        QSize frame = frameGeometry().size() - size();
        if (frame.isEmpty()) {
            // The window manager has not framed the window yet: room for a usual frame.
            frame = QSize(kUnknownFrameWidth, kUnknownFrameHeight);
        }
        const QSize room = area.size() - frame;
        QSize fitted = design_.boundedTo(room);
        if (fitted != design_) {
            // A scroll bar in one direction takes room in the other: given where there
            // is, the other needs none.
            const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
            if (fitted.width() < design_.width()) {
                fitted.setHeight(std::min(design_.height() + bar, room.height()));
            }
            if (fitted.height() < design_.height()) {
                fitted.setWidth(std::min(design_.width() + bar, room.width()));
            }
        }
        if (fitted != design_ && scroll_ == nullptr) {
            auto* content = new QWidget;
            content->setObjectName(QStringLiteral("window_content"));
            paintWhite(content);
            for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
                if (child->isWindow()) {
                    continue;
                }
                const bool hidden = child->isHidden();
                const QPoint at = child->pos();
                child->setParent(content);
                child->move(at);
                child->setHidden(hidden);
            }
            content->setFixedSize(design_);
            scroll_ = new QScrollArea(this);
            scroll_->setObjectName(QStringLiteral("window_scroll"));
            scroll_->setFrameShape(QFrame::NoFrame);
            scroll_->setWidget(content);
            scroll_->show();
        }
        if (scroll_ != nullptr) {
            setFixedSize(fitted);
            scroll_->setGeometry(rect());
            centreOnMain(form_, mainWindow_);
        }
        // The whole frame within the area, title bar first.
        const QRect f = frameGeometry();
        const int left = std::max(area.left(), std::min(f.left(), area.right() + 1 - f.width()));
        const int top = std::max(area.top(), std::min(f.top(), area.bottom() + 1 - f.height()));
        move(pos() + QPoint(left - f.left(), top - f.top()));
    }

    static constexpr int kUnknownFrameWidth = 8;
    static constexpr int kUnknownFrameHeight = 32;
    QSize design_;
    QScrollArea* scroll_ = nullptr;
};

}  // namespace romtide::desktop
