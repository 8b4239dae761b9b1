#include "platform/socket_options.h"

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

} // namespace tarn
