#include "platform/event_queue.h"

#include <sys/event.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>

namespace tarn {

int event_queue_create() {
    // A kqueue is never inherited across fork; close-on-exec covers the exec of a vfork child.
    const int queue_fd = ::kqueue();
    if (queue_fd >= 0)
        ::fcntl(queue_fd, F_SETFD, FD_CLOEXEC);
    return queue_fd;
}

bool event_queue_add_read(int queue_fd, int fd) {
    struct kevent change;
    EV_SET(&change, static_cast<uintptr_t>(fd), EVFILT_READ, EV_ADD, 0, 0, nullptr);
    return ::kevent(queue_fd, &change, 1, nullptr, 0, nullptr) == 0;
}

EventWaitResult event_queue_wait_one(int queue_fd, int timeout_seconds) {
    struct kevent event;
    const struct timespec timeout { timeout_seconds, 0 };
    const int count = ::kevent(queue_fd, nullptr, 0, &event, 1, &timeout);
    if (count < 0)
        return {errno == EINTR ? EventWait::interrupted : EventWait::failed, -1};
    if (count == 0)
        return {EventWait::timed_out, -1};
    if ((event.flags & EV_ERROR) != 0)
        return {EventWait::timed_out, -1}; // not a readable descriptor; the caller just waits again
    return {EventWait::ready, static_cast<int>(event.ident)};
}

} // namespace tarn
