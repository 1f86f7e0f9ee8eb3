// The event pump over the Qt event loop. Long operations call processPending from
// inside a handler so clicks, repaints and posted work keep running; other threads
// (the CAN library's receive thread) hand work over with post.
#pragma once

#include <QObject>
#include <memory>

#include "ui/event_pump.h"

namespace romtide::ui {

class QtEventPump : public EventPump {
  public:
    // Create on the user-interface thread: posted work runs on the thread that created
    // the pump.
    QtEventPump();
    ~QtEventPump() override;
    void processPending() override;
    // Thread-safe. Work still queued when the pump is destroyed is dropped, so nothing
    // runs against windows that are already gone.
    void post(std::function<void()> fn) override;

  private:
    std::unique_ptr<QObject> receiver_;
};

}  // namespace romtide::ui
