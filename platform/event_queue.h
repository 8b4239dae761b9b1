#pragma once

namespace tarn {

// A kernel event queue that reports when a descriptor becomes readable: kqueue on FreeBSD, an
// equivalent elsewhere. The queue is a plain descriptor so its owner closes it with close().

// A new queue (close-on-exec), or -1 with errno set.
int event_queue_create();

// Watches fd for readability; false with errno set on failure.
bool event_queue_add_read(int queue_fd, int fd);

enum class EventWait { ready, timed_out, interrupted, failed };

struct EventWaitResult {
    EventWait outcome = EventWait::failed;
    int fd = -1; // the readable descriptor when outcome is ready
};

// Waits for one event for at most timeout_seconds. A signal gives interrupted (EINTR).
EventWaitResult event_queue_wait_one(int queue_fd, int timeout_seconds);

} // namespace tarn
