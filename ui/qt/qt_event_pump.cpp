#include "ui/qt/qt_event_pump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QTimer>

namespace romtide::ui {

QtEventPump::QtEventPump() : receiver_(std::make_unique<QObject>()) {}

QtEventPump::~QtEventPump() = default;

void QtEventPump::processPending() {
    // Qt delivers only the events posted before this call started, so a handler that
    // posts again cannot keep a wait from returning.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtEventPump::post(std::function<void()> fn) {
    // Counted before it is queued and woken after: a sleeper that has seen no pending
    // work when it cleared the wake-up is woken by this post.
    posted_.fetch_add(1);
    // The function runs in the receiver's context, which goes with the pump: `this` is
    // alive whenever it runs.
    QMetaObject::invokeMethod(
        receiver_.get(),
        [this, fn = std::move(fn)]() {
            ran_.fetch_add(1);
            fn();
        },
        Qt::QueuedConnection);
    work_.raise();
}

void QtEventPump::sleepUntilWork(Clock& clock, int64_t deadlineUs) {
    const uint64_t ranBefore = ran_.load();
    // Whole milliseconds in Qt's own loop, with a timer of its own for every wait: a
    // handler that runs inside this wait may wait itself, and must not take this wait's
    // deadline away. Qt's timers count milliseconds and never fire early on purpose, so
    // the timer is set to the whole milliseconds left and the rest is slept below.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    for (;;) {
        const int64_t left = deadlineUs - clock.nowUs();
        if (ran_.load() != ranBefore || left <= 0) {
            return;
        }
        if (left < 1000) {
            break;
        }
        if (!deadline.isActive()) {
            deadline.start(static_cast<int>(left / 1000));
        }
        // Blocks until at least one event (a posted function, a click, the timer) is
        // there and runs what came.
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    // Less than a millisecond left (the pauses of the Profibus data phase are a few
    // microseconds at 12 Mbit/s): a plain sleep, which posted work still ends; window
    // events wait for the next processPending, at most this long.
    work_.clear();
    if (posted_.load() != ran_.load()) {
        return;
    }
    clock.sleepUntilUs(deadlineUs, work_);
}

}  // namespace romtide::ui
