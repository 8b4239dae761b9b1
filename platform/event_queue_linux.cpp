// epoll standing in for kqueue: one level-triggered registration per descriptor, for reading or
// for writing, which is all the scrape server uses.
#include "platform/event_queue.h"

#include <sys/epoll.h>

#include <cerrno>
#include <cstddef>

namespace tarn {

int event_queue_create() {
    return ::epoll_create1(EPOLL_CLOEXEC);
}

bool event_queue_watch(int queue_fd, int fd, Interest was, Interest now) {
    if (was == now)
        return true;
    epoll_event event{};
    event.events = now == Interest::read ? EPOLLIN : EPOLLOUT;
    event.data.fd = fd;
    const int operation = now == Interest::none   ? EPOLL_CTL_DEL
                          : was == Interest::none ? EPOLL_CTL_ADD
                                                  : EPOLL_CTL_MOD;
    return ::epoll_ctl(queue_fd, operation, fd, &event) == 0;
}

EventWaitResult event_queue_wait(int queue_fd, std::span<int> ready, int timeout_ms) {
    constexpr std::size_t kMaxEvents = 128;
    epoll_event events[kMaxEvents];
    const int capacity = static_cast<int>(ready.size() < kMaxEvents ? ready.size() : kMaxEvents);
    const int count = ::epoll_wait(queue_fd, events, capacity, timeout_ms);
    if (count < 0)
        return {errno == EINTR ? EventWait::interrupted : EventWait::failed, 0};
    if (count == 0)
        return {EventWait::timed_out, 0};
    for (int i = 0; i < count; ++i)
        ready[static_cast<std::size_t>(i)] = events[i].data.fd;
    return {EventWait::ready, count};
}

} // namespace tarn
