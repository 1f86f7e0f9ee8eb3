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
    // The function runs in the receiver's context, which goes with the pump: `this` is
    // alive whenever it runs.
    QMetaObject::invokeMethod(
        receiver_.get(),
        [this, fn = std::move(fn)]() {
            ++ran_;
            fn();
        },
        Qt::QueuedConnection);
}

void QtEventPump::sleepUntilWork(Clock& clock, int64_t deadlineUs) {
    const int64_t remainingUs = deadlineUs - clock.nowUs();
    if (remainingUs <= 0) {
        return;
    }
    const uint64_t ranBefore = ran_;
    // A timer of its own for every wait: a handler that runs inside this wait may wait
    // itself, and must not take this wait's deadline away.
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    for (int64_t left = remainingUs; ran_ == ranBefore && left > 0;
         left = deadlineUs - clock.nowUs()) {
        // A timer that came a little early is set again for the rest.
        if (!deadline.isActive()) {
            deadline.start(static_cast<int>((left + 999) / 1000));
        }
        // Blocks until at least one event (a posted function, a click, the timer) is
        // there and runs what came.
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
}

}  // namespace romtide::ui
