#include "platform/socket_options.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace tarn {

int open_stream_socket(int family, int type, int protocol) {
    return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

int accept_connection(int listen_fd) {
    return ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

// Linux has no per-socket switch; every send carries MSG_NOSIGNAL instead.
bool prepare_accepted_socket(int) {
    return true;
}

int send_flags() {
    return MSG_NOSIGNAL;
}

// SIOCOUTQ counts what was written and not yet acknowledged, the FIN included.
bool send_queue_drained(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        return true;
    int queued = 0;
    return ::ioctl(fd, SIOCOUTQ, &queued) != 0 || queued == 0;
}

} // namespace tarn
