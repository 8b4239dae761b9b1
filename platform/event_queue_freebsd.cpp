#include "platform/event_queue.h"

#include <sys/event.h>
#include <sys/time.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <fcntl.h>

namespace tarn {
namespace {

short filter_of(Interest interest) {
    return interest == Interest::read ? EVFILT_READ : EVFILT_WRITE;
}

} // namespace

int event_queue_create() {
    // A kqueue is never inherited across fork; close-on-exec covers the exec of a vfork child.
    const int queue_fd = ::kqueue();
    if (queue_fd >= 0)
        ::fcntl(queue_fd, F_SETFD, FD_CLOEXEC);
    return queue_fd;
}

bool event_queue_watch(int queue_fd, int fd, Interest was, Interest now) {
    if (was == now)
        return true;
    // Read and write are separate filters: drop the old one and add the new one in one call.
    struct kevent changes[2];
    int count = 0;
    if (was != Interest::none)
        EV_SET(&changes[count++], static_cast<uintptr_t>(fd), filter_of(was), EV_DELETE, 0, 0,
               nullptr);
    if (now != Interest::none)
        EV_SET(&changes[count++], static_cast<uintptr_t>(fd), filter_of(now), EV_ADD, 0, 0,
               nullptr);
    return ::kevent(queue_fd, changes, count, nullptr, 0, nullptr) == 0;
}

EventWaitResult event_queue_wait(int queue_fd, std::span<int> ready, int timeout_ms) {
    constexpr std::size_t kMaxEvents = 128;
    struct kevent events[kMaxEvents];
    const int capacity = static_cast<int>(ready.size() < kMaxEvents ? ready.size() : kMaxEvents);
    const struct timespec timeout {
        timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000
    };
    const int count = ::kevent(queue_fd, nullptr, 0, events, capacity, &timeout);
    if (count < 0)
        return {errno == EINTR ? EventWait::interrupted : EventWait::failed, 0};
    int stored = 0;
    for (int i = 0; i < count; ++i) {
        if ((events[i].flags & EV_ERROR) != 0)
            continue; // not a ready descriptor; no change is passed with a wait
        ready[static_cast<std::size_t>(stored++)] = static_cast<int>(events[i].ident);
    }
    if (stored == 0)
        return {EventWait::timed_out, 0};
    return {EventWait::ready, stored};
}

} // namespace tarn
