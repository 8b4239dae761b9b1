#pragma once

#include "platform/event_queue.h"

#include <cstddef>

struct ssl_st;
struct ssl_ctx_st;

namespace tarn {

// The server side of one TLS session over a connected non-blocking socket, with the calls a
// plain socket offers the event loop: read some, write some, and which readiness a call that
// could not go on waits for (a TLS read may need to write, and a write to read). The handshake
// runs inside the first read, or on its own. The socket stays the caller's to close.
class TlsConnection {
  public:
    enum class Io { moved, blocked, ended, failed };

    TlsConnection(ssl_ctx_st* context, int fd);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // False when no session could be set up (out of memory): treat the connection as failed.
    bool usable() const { return ssl_ != nullptr; }

    bool handshake_done() const { return handshake_done_; }

    // Goes on with the handshake: moved once it is done, blocked while it waits for the peer,
    // failed when the peer is no TLS client, is refused, or went away.
    Io handshake();

    // Decrypted request bytes (the handshake first): moved with count set, blocked, ended when
    // the peer closed (with or without close_notify), failed on a broken session.
    Io read_some(char* buffer, std::size_t size, std::size_t& count);

    // Encrypts and sends a part of data (at least one record when it moves); a blocked write must
    // be tried again with the same bytes.
    Io write_some(const char* data, std::size_t size, std::size_t& count);

    // Sends close_notify once the answer is out; the peer learns the answer is whole. Best effort:
    // the socket's sending side is shut down after it either way.
    void close_notify();

    // What the last blocked call waits for.
    Interest wants() const { return wants_; }

  private:
    Io outcome(int result, std::size_t& count);

    ssl_st* ssl_ = nullptr;
    bool handshake_done_ = false;
    Interest wants_ = Interest::read;
};

} // namespace tarn
