#pragma once

#include <span>

namespace tarn {

// A kernel event queue that reports when descriptors become readable or writable: kqueue on
// FreeBSD, an equivalent elsewhere. The queue is a plain descriptor so its owner closes it with
// close(). Registrations are level-triggered: a descriptor is reported as long as it is ready.

// A new queue (close-on-exec), or -1 with errno set.
int event_queue_create();

enum class Interest { none, read, write };

// Changes what fd is watched for, from `was` (what the last change for fd asked, none for a new
// descriptor) to `now`; none removes it. A descriptor is forgotten before it is closed, since a
// child between fork and exec may still hold the open socket. False with errno set on failure.
bool event_queue_watch(int queue_fd, int fd, Interest was, Interest now);

enum class EventWait { ready, timed_out, interrupted, failed };

struct EventWaitResult {
    EventWait outcome = EventWait::failed;
    int count = 0; // descriptors stored in the caller's span when outcome is ready
};

// Waits at most timeout_ms for events and stores up to ready.size() ready descriptors. A signal
// gives interrupted (EINTR).
EventWaitResult event_queue_wait(int queue_fd, std::span<int> ready, int timeout_ms);

} // namespace tarn
