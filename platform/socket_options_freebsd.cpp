#include "platform/socket_options.h"

#include <sys/types.h>

#include <sys/event.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace tarn {

int open_stream_socket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

int accept_connection(int listen_fd) {
    return ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

bool prepare_accepted_socket(int fd) {
    const int on = 1;
    return ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) == 0;
}

int send_flags() {
    return 0;
}

// A TCP socket's send buffer keeps every byte until the peer acknowledges it. A write filter
// reports the room left in it, which is its whole size (SO_SNDBUF) once it is empty.
bool send_queue_drained(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        return true;
    int size = 0;
    length = sizeof size;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length) != 0)
        return true;
    const int queue_fd = ::kqueue();
    if (queue_fd < 0)
        return true;
    struct kevent change;
    struct kevent event;
    EV_SET(&change, static_cast<uintptr_t>(fd), EVFILT_WRITE, EV_ADD | EV_ONESHOT, 0, 0, nullptr);
    const struct timespec at_once { 0, 0 };
    const int count = ::kevent(queue_fd, &change, 1, &event, 1, &at_once);
    ::close(queue_fd);
    if (count < 0 || (count == 1 && (event.flags & EV_ERROR) != 0))
        return true;
    return count == 1 && event.data >= size; // no event: not even the low-water mark is free
}

} // namespace tarn
