// Scripted doubles of the user-interface services.
#pragma once

#include <algorithm>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "ui/dialogs.h"
#include "ui/event_pump.h"
#include "ui/services.h"
#include "ui/widgets.h"

namespace romtide::test {

// Records every message and answers from a script (Yes/No questions default to `fallback`).
class RecordingMessageBoxes : public ui::MessageBoxes {
  public:
    ui::MessageAnswer show(const ui::Message& message) override {
        shown.push_back(message);
        if (onShow) {
            onShow(message);
        }
        if (message.buttons == ui::MessageButtons::Ok) {
            return ui::MessageAnswer::Ok;
        }
        if (!answers.empty()) {
            auto a = answers.front();
            answers.pop_front();
            return a;
        }
        return fallback;
    }
    std::vector<ui::Message> shown;
    std::deque<ui::MessageAnswer> answers;
    ui::MessageAnswer fallback = ui::MessageAnswer::No;
    std::function<void(const ui::Message&)> onShow;
};

class ScriptedFileDialog : public ui::OpenFileDialog {
  public:
    std::optional<std::string> choose(const ui::OpenFileOptions& options) override {
        lastOptions = options;
        ++runs;
        return answer;
    }
    std::optional<std::string> answer;
    ui::OpenFileOptions lastOptions;
    int runs = 0;
};

// An event pump that also runs scripted actions once the clock reaches their time,
// the way a user's click lands in a running operation's wait: the click is an event, so
// it also ends a wait that sleeps until work arrives.
class ScriptedPump : public ui::QueuedEventPump {
  public:
    explicit ScriptedPump(VirtualClock& clock) : clock_(clock) {}
    ~ScriptedPump() override {
        for (auto id : wakes_) {
            clock_.cancel(id);
        }
    }
    void at(int64_t ms, std::function<void()> action) {
        actions_.emplace_back(ms, std::move(action));
        wakes_.push_back(clock_.scheduleAtUs(ms * 1000, [this] { post([] {}); }));
    }
    void processPending() override {
        ++calls;
        // One due action at a time, taken off the list before it runs: an action may
        // schedule the next one, or run a whole operation that processes events itself.
        for (;;) {
            auto it = std::find_if(actions_.begin(), actions_.end(),
                                   [&](const auto& a) { return clock_.nowMs() >= a.first; });
            if (it == actions_.end()) {
                break;
            }
            auto action = std::move(it->second);
            actions_.erase(it);
            action();
        }
        QueuedEventPump::processPending();
    }
    int calls = 0;

  private:
    VirtualClock& clock_;
    std::vector<std::pair<int64_t, std::function<void()>>> actions_;
    std::vector<VirtualClock::EventId> wakes_;
};

// Clock, pump and message boxes for one test.
struct TestServices {
    VirtualClock clock;
    ScriptedPump pump{clock};
    RecordingMessageBoxes messages;
    Services services{clock, pump, messages};
};

}  // namespace romtide::test
