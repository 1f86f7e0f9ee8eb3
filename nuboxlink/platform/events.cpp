// eventfd events and timerfd tickers: the kernel objects behind the library's threads.
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "nuboxlink/platform/platform.h"

namespace nuboxlink {

namespace {

class FdEvent final : public Event {
  public:
    explicit FdEvent(int fd) : fd_(fd) {}
    ~FdEvent() override { close(fd_); }
    void set() override {
        uint64_t one = 1;
        // A full counter already reads as signalled; nothing is lost.
        [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
    }
    void reset() override {
        uint64_t value;
        while (::read(fd_, &value, sizeof value) > 0) {
        }
    }
    bool wait(int timeoutMs) override {
        // Manual reset: poll without consuming the counter.
        pollfd p{fd_, POLLIN, 0};
        for (;;) {
            int r = poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
            if (r < 0 && errno == EINTR) {
                continue;
            }
            return r > 0 && (p.revents & POLLIN);
        }
    }
    int fd() const override { return fd_; }

  private:
    int fd_;
};

class FdTicker final : public Ticker {
  public:
    explicit FdTicker(int fd) : fd_(fd) {}
    ~FdTicker() override { close(fd_); }
    bool waitTick(Event& stop) override {
        const int stopFd = stop.fd();
        pollfd p[2] = {{fd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
        for (;;) {
            int r = poll(p, stopFd >= 0 ? 2 : 1, -1);
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0 || (p[1].revents & POLLIN) || !(p[0].revents & POLLIN)) {
                return false;
            }
            uint64_t expirations;
            [[maybe_unused]] ssize_t n = ::read(fd_, &expirations, sizeof expirations);
            return !stop.wait(0);
        }
    }

  private:
    int fd_;
};

}  // namespace

std::unique_ptr<Event> Platform::createEvent() {
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    return std::make_unique<FdEvent>(fd);
}

std::unique_ptr<Ticker> Platform::createTicker(unsigned periodMs) {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    itimerspec timer{};
    timer.it_interval.tv_sec = periodMs / 1000;
    timer.it_interval.tv_nsec = static_cast<long>(periodMs % 1000) * 1000000L;
    timer.it_value = timer.it_interval;
    if (periodMs == 0 || timerfd_settime(fd, 0, &timer, nullptr) != 0) {
        close(fd);
        return nullptr;
    }
    return std::make_unique<FdTicker>(fd);
}

int Platform::waitEither(Event& a, Event& b, int timeoutMs) {
    if (a.fd() < 0 || b.fd() < 0) {
        return -1;
    }
    pollfd p[2] = {{a.fd(), POLLIN, 0}, {b.fd(), POLLIN, 0}};
    for (;;) {
        int r = poll(p, 2, timeoutMs < 0 ? -1 : timeoutMs);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return -1;
        }
        return (p[0].revents & POLLIN) ? 0 : 1;
    }
}

void Platform::raiseThreadPriority() {
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    // Allowed to root only; everyone else keeps the ordinary priority.
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

}  // namespace nuboxlink
