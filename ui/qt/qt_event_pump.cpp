#include "ui/qt/qt_event_pump.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

namespace romtide::ui {

QtEventPump::QtEventPump() : receiver_(std::make_unique<QObject>()) {}

QtEventPump::~QtEventPump() = default;

void QtEventPump::processPending() {
    // Qt delivers only the events posted before this call started, so a handler that
    // posts again cannot keep a wait from returning.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtEventPump::post(std::function<void()> fn) {
    QMetaObject::invokeMethod(
        receiver_.get(), [fn = std::move(fn)]() { fn(); }, Qt::QueuedConnection);
}

}  // namespace romtide::ui
