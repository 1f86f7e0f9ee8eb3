// What window logic needs from a window: showing, hiding, modal display, closing and
// placement. The Qt views implement it; tests use the plain version.
#pragma once

#include <functional>
#include <memory>

#include "ui/widgets.h"

namespace romtide::desktop {

struct Rect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

class Form {
  public:
    virtual ~Form() = default;
    virtual bool isVisible() const = 0;
    virtual void show() = 0;
    virtual void hide() = 0;
    // Shows the window modally and returns when it has closed.
    virtual void showModal() = 0;
    virtual void close() = 0;
    // Outer frame of the window, and the screen area it is shown on.
    virtual Rect frame() const = 0;
    virtual Rect screenArea() const = 0;
    virtual void moveTo(int left, int top) = 0;
};

// Where a window of `width` x `height` stands when centred on `area`.
inline Rect centredOn(const Rect& area, int width, int height) {
    return {area.left + (area.width - width) / 2, area.top + (area.height - height) / 2, width,
            height};
}

inline void centreOn(Form& form, const Rect& area) {
    const Rect f = form.frame();
    const Rect at = centredOn(area, f.width, f.height);
    form.moveTo(at.left, at.top);
}

// Windows make their timers through this, so tests can hand them timers that run on
// the virtual clock.
using TimerFactory = std::function<std::unique_ptr<ui::Timer>()>;

}  // namespace romtide::desktop

namespace romtide::desktop {

// Stands for a window that is created later than the one that refers to it (the main
// window is made before its About box); does nothing until the window is set.
class FormSlot : public Form {
  public:
    void set(Form* form) { form_ = form; }
    bool isVisible() const override { return form_ && form_->isVisible(); }
    void show() override {
        if (form_) {
            form_->show();
        }
    }
    void hide() override {
        if (form_) {
            form_->hide();
        }
    }
    void showModal() override {
        if (form_) {
            form_->showModal();
        }
    }
    void close() override {
        if (form_) {
            form_->close();
        }
    }
    Rect frame() const override { return form_ ? form_->frame() : Rect{}; }
    Rect screenArea() const override { return form_ ? form_->screenArea() : Rect{}; }
    void moveTo(int left, int top) override {
        if (form_) {
            form_->moveTo(left, top);
        }
    }

  private:
    Form* form_ = nullptr;
};

}  // namespace romtide::desktop
