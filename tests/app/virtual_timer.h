// A timer that runs on the virtual clock: it fires when a test advances the clock
// past its interval, so window timers are tested in no real time and always the same.
#pragma once

#include <memory>

#include "base/clock.h"
#include "ui/widgets.h"

namespace romtide::test {

class VirtualTimer : public ui::Timer {
  public:
    explicit VirtualTimer(VirtualClock& clock) : clock_(clock) {}
    ~VirtualTimer() override { stop(); }
    void setInterval(int ms) override {
        interval_ = ms;
        if (enabled_) {
            stop();
            start();
        }
    }
    int interval() const override { return interval_; }
    void setEnabled(bool enabled) override {
        if (enabled && !enabled_) {
            start();
        } else if (!enabled && enabled_) {
            stop();
        }
    }
    bool isEnabled() const override { return enabled_; }
    void setHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

  private:
    void start() {
        enabled_ = true;
        if (interval_ <= 0) {
            return;
        }
        pending_ = clock_.scheduleAfterUs(int64_t{interval_} * 1000, [this]() {
            pending_ = 0;
            // Next period first: the handler may switch the timer off or change it.
            start();
            if (handler_) {
                handler_();
            }
        });
    }
    void stop() {
        enabled_ = false;
        if (pending_ != 0) {
            clock_.cancel(pending_);
            pending_ = 0;
        }
    }

    VirtualClock& clock_;
    int interval_ = 1000;
    bool enabled_ = false;
    VirtualClock::EventId pending_ = 0;
    std::function<void()> handler_;
};

}  // namespace romtide::test
