#pragma once

namespace tarn {

// A stream socket of the given family and protocol, close-on-exec so host commands started by
// the collectors never inherit it; -1 with errno set on failure.
int open_stream_socket(int family, int type, int protocol);

// Accepts one connection without asking for the peer address; the new socket is non-blocking and
// close-on-exec. -1 with errno set on failure (EAGAIN when none is pending on a non-blocking
// listening socket).
int accept_connection(int listen_fd);

// Makes a vanished peer unable to raise SIGPIPE where the platform offers a socket option for it
// (SO_NOSIGPIPE); false when setting it failed.
bool prepare_accepted_socket(int fd);

// The flags for every send on an accepted socket (MSG_NOSIGNAL where there is no socket option).
int send_flags();

// True once the peer has acknowledged every byte written to the connected socket fd, or the
// connection is gone (a pending error, such as a reset, is taken and counts as gone). Also true
// when the platform cannot tell, so that the caller falls back to a plain close.
bool send_queue_drained(int fd);

} // namespace tarn
