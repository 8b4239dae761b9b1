#pragma once

#include "exporters/web/tls_context.h"
#include "platform/event_queue.h"

#include <cstddef>
#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

namespace tarn {

// The server side of one TLS session over a connected non-blocking socket, with the calls a
// plain socket offers the event loop: read some, write some, and which readiness a call that
// could not go on waits for (a read may have to send first, and a handshake wait for either).
// The handshake runs inside the first read, or on its own.
//
// What OpenSSL writes is gathered and sent in as few send calls as possible: a handshake flight
// at once, an answer in large pieces with its close_notify behind its last byte. Records sent one
// by one would leave small segments behind one another, which Nagle's algorithm holds until the
// peer's delayed acknowledgement (tens of milliseconds each).
//
// The socket stays the caller's to close.
class TlsConnection {
  public:
    enum class Io { moved, blocked, ended, failed };

    // Holds context while the session lasts: a reload does not end the sessions it began.
    TlsConnection(std::shared_ptr<const TlsContext> context, int fd);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    // False when no session could be set up (out of memory): treat the connection as failed.
    bool usable() const { return ssl_ != nullptr; }

    bool handshake_done() const { return handshake_done_; }

    // Goes on with the handshake: moved once it is done and its last flight sent, blocked while
    // it waits for the peer or for room to send, failed when the peer is no TLS client, is
    // refused, or went away.
    Io handshake();

    // Decrypted request bytes (the handshake first): moved with count set, blocked, ended when
    // the peer closed (with or without close_notify), failed on a broken session.
    Io read_some(char* buffer, std::size_t size, std::size_t& count);

    // Encrypts a part of data (count bytes of it) for sending; what is gathered goes out once it
    // is large. Blocked while earlier bytes wait for room in the socket.
    Io write_some(const char* data, std::size_t size, std::size_t& count);

    // After the last write: adds close_notify (the peer learns the answer is whole) and sends
    // everything gathered; moved once all of it is with the kernel, blocked while it waits for
    // room, failed when the peer is gone.
    Io finish();

    // True once finish has sent everything.
    bool finished() const { return finishing_ && gathered_sent_ == gathered_.size(); }

    // What the last blocked call waits for.
    Interest wants() const { return wants_; }

  private:
    Io outcome(int result, std::size_t& count);
    void gather();
    Io send_gathered();

    std::shared_ptr<const TlsContext> context_;
    ssl_st* ssl_ = nullptr;
    bio_st* output_ = nullptr; // OpenSSL writes here; send_gathered takes it to the socket
    int fd_ = -1;
    std::string gathered_;
    std::size_t gathered_sent_ = 0;
    bool handshake_done_ = false;
    bool finishing_ = false;
    Interest wants_ = Interest::read;
};

} // namespace tarn
