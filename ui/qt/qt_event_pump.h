// The event pump over the Qt event loop. Long operations call processPending from
// inside a handler so clicks, repaints and posted work keep running; other threads
// (the CAN receive path) hand work over with post.
#pragma once

#include <QObject>
#include <atomic>
#include <cstdint>
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
    // Blocks in Qt's own event loop, which runs window events and posted work as they
    // come, until a posted function has run or the deadline passes. The deadline is
    // kept by a Qt timer in real time for the whole milliseconds and by `clock` for the
    // rest: this pump goes with the steady clock of the desktop program.
    void sleepUntilWork(Clock& clock, int64_t deadlineUs) override;

  private:
    std::unique_ptr<QObject> receiver_;
    std::atomic<uint64_t> posted_{0};  // functions posted so far, from any thread
    std::atomic<uint64_t> ran_{0};     // of them, run on the user-interface thread
    Wakeup work_;                      // raised by every post
};

}  // namespace romtide::ui
