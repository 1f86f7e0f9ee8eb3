// Form over a Qt widget. A QDialog runs its own modal loop; any other window is made
// application-modal and waited for in a local event loop until it hides.
#pragma once

#include <QPointer>
#include <QWidget>

#include "app/desktop/form.h"

namespace romtide::desktop {

class WidgetForm : public Form {
  public:
    explicit WidgetForm(QWidget* widget) : widget_(widget) {}
    bool isVisible() const override;
    void show() override;
    void hide() override;
    void showModal() override;
    void close() override;
    Rect frame() const override;
    Rect screenArea() const override;
    void moveTo(int left, int top) override;

  private:
    QPointer<QWidget> widget_;
};

Rect toRect(const QRect& r);

}  // namespace romtide::desktop
