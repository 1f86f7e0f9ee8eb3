// Window timers on the virtual clock, so they are tested in no real time and always the
// same: VirtualTimer fires when a test advances the clock past its interval,
// PumpedTimer at the event pump's next turn after that.
#pragma once

#include <memory>

#include "base/clock.h"
#include "support/fakes.h"
#include "ui/widgets.h"

namespace romtide::test {

// Fires from inside the clock's advance (a sleep of whoever advances it).
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

// A timer whose ticks come from the event pump, as a toolkit's timers come from its
// event loop: due once the clock has passed its interval, fired by the next
// processPending. For windows whose board library waits on the same virtual clock: a
// tick run from inside one of the library's waits would call the library from within
// itself, which never happens in the program.
class PumpedTimer : public ui::Timer {
  public:
    PumpedTimer(const Clock& clock, ScriptedPump& pump) : clock_(clock), pump_(pump) {}
    ~PumpedTimer() override { *alive_ = false; }
    void setInterval(int ms) override {
        interval_ = ms;
        if (enabled_) {
            arm();
        }
    }
    int interval() const override { return interval_; }
    void setEnabled(bool enabled) override {
        if (enabled && !enabled_) {
            enabled_ = true;
            arm();
        } else if (!enabled) {
            enabled_ = false;
            ++generation_;
        }
    }
    bool isEnabled() const override { return enabled_; }
    void setHandler(std::function<void()> handler) override { handler_ = std::move(handler); }

  private:
    // A new period; ticks armed before are dropped when they come due.
    void arm() {
        const uint64_t generation = ++generation_;
        if (interval_ <= 0) {
            return;
        }
        pump_.at(clock_.nowMs() + interval_, [this, generation, alive = alive_] {
            if (!*alive || generation != generation_) {
                return;
            }
            arm();
            if (handler_) {
                handler_();
            }
        });
    }

    const Clock& clock_;
    ScriptedPump& pump_;
    int interval_ = 1000;
    bool enabled_ = false;
    uint64_t generation_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::function<void()> handler_;
};

}  // namespace romtide::test
