#include "app/desktop/widget_form.h"

#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QGuiApplication>
#include <QScreen>

namespace romtide::desktop {

namespace {

// Ends a local modal loop when the watched window hides (closed by its own buttons,
// by the title bar or by the logic).
class HideWatcher : public QObject {
  public:
    HideWatcher(QWidget* widget, QEventLoop& loop) : loop_(loop) {
        widget->installEventFilter(this);
    }
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Hide) {
            loop_.quit();
        }
        return false;
    }

  private:
    QEventLoop& loop_;
};

}  // namespace

Rect toRect(const QRect& r) {
    return {r.left(), r.top(), r.width(), r.height()};
}

bool WidgetForm::isVisible() const {
    return widget_ && widget_->isVisible();
}

void WidgetForm::show() {
    if (widget_) {
        widget_->show();
    }
}

void WidgetForm::hide() {
    if (widget_) {
        widget_->hide();
    }
}

void WidgetForm::showModal() {
    if (!widget_) {
        return;
    }
    if (auto* dialog = qobject_cast<QDialog*>(widget_.data())) {
        dialog->exec();
        return;
    }
    QEventLoop loop;
    HideWatcher watcher(widget_, loop);
    widget_->setWindowModality(Qt::ApplicationModal);
    widget_->show();
    loop.exec();
    if (widget_) {
        widget_->setWindowModality(Qt::NonModal);
        widget_->removeEventFilter(&watcher);
    }
}

void WidgetForm::close() {
    if (widget_) {
        widget_->close();
    }
}

Rect WidgetForm::frame() const {
    return widget_ ? toRect(widget_->frameGeometry()) : Rect{};
}

Rect WidgetForm::screenArea() const {
    QScreen* screen = widget_ ? widget_->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    return screen ? toRect(screen->availableGeometry()) : Rect{};
}

void WidgetForm::moveTo(int left, int top) {
    if (widget_) {
        widget_->move(left, top);
    }
}

}  // namespace romtide::desktop
