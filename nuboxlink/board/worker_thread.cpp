#include "nuboxlink/board/worker_thread.h"

namespace nuboxlink {

bool WorkerThread::start(Platform& platform, std::function<void(Event& stop)> body) {
    if (running()) {
        return false;
    }
    std::shared_ptr<Event> stop = platform.createEvent();
    std::shared_ptr<Event> done = platform.createEvent();
    if (!stop || !done) {
        return false;
    }
    try {
        thread_ = std::thread([stop, done, body = std::move(body)] {
            body(*stop);
            done->set();
        });
    } catch (...) {
        return false;
    }
    stop_ = std::move(stop);
    done_ = std::move(done);
    return true;
}

void WorkerThread::stop(int timeoutMs) {
    if (!thread_.joinable()) {
        return;
    }
    stop_->set();
    if (onThisThread()) {
        // Stopped from inside its own callback: it ends when the callback returns.
        thread_.detach();
    } else if (done_->wait(timeoutMs)) {
        thread_.join();
    } else {
        thread_.detach();
    }
    stop_.reset();
    done_.reset();
}

}  // namespace nuboxlink
