#include "platform/socket_options.h"

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

} // namespace tarn
