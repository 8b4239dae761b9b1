#include "platform/socket_options.h"

#include <sys/filio.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/types.h>

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

// A TCP socket's send buffer keeps every byte until the peer acknowledges it; FIONWRITE counts
// them.
bool send_queue_drained(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        return true;
    int queued = 0;
    return ::ioctl(fd, FIONWRITE, &queued) != 0 || queued == 0;
}

} // namespace tarn
