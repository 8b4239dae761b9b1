// epoll standing in for kqueue: one level-triggered read registration per descriptor, and a wait
// for a single event, which is all the scrape server uses.
#include "platform/event_queue.h"

#include <sys/epoll.h>

#include <cerrno>

namespace tarn {

int event_queue_create() {
    return ::epoll_create1(EPOLL_CLOEXEC);
}

bool event_queue_add_read(int queue_fd, int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return ::epoll_ctl(queue_fd, EPOLL_CTL_ADD, fd, &event) == 0;
}

EventWaitResult event_queue_wait_one(int queue_fd, int timeout_seconds) {
    epoll_event event{};
    const int count = ::epoll_wait(queue_fd, &event, 1, timeout_seconds * 1000);
    if (count < 0)
        return {errno == EINTR ? EventWait::interrupted : EventWait::failed, -1};
    if (count == 0)
        return {EventWait::timed_out, -1};
    return {EventWait::ready, event.data.fd};
}

} // namespace tarn
