#pragma once

#include "exporters/web/http_server.h"
#include "exporters/web/rate_limit.h"
#include "exporters/web/tls_connection.h"
#include "platform/event_queue.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tarn {

class CredentialCheck;

using SteadyClock = std::chrono::steady_clock;

// What every connection of one server shares: the event queue, how to answer, and what the web
// config file adds (TLS, the credential check); all of it outlives the connections.
struct Endpoint {
    int queue_fd = -1;
    const RenderCallback* render = nullptr;
    const RenderCallback* render_gzip = nullptr; // points to an empty callback: never gzip
    std::shared_ptr<const TlsContext> tls;       // null: plain HTTP; new connections take it
    CredentialCheck* credentials = nullptr;      // null or inactive: no authentication
    std::string headers;                         // "Name: value\r\n" lines for every answer
    RateLimit* rate_limit = nullptr;             // null: no limit
};

// One accepted scrape connection, from accept to close, registered on the server's event queue
// for what its state waits for:
//   reading   the request is buffered until it is complete or the peer closes its side (over
//             TLS the handshake comes first, and the socket may be watched for writing);
//   checking  the request's credentials wait for their verdict from the credential check's
//             thread; the socket is not watched;
//   sending   the answer is written as far as the socket takes it;
//   lingering the whole answer is written and the sending side shut down; what the peer still
//             sends is read and thrown away until it closes and has acknowledged the whole
//             answer, since closing with unread bytes would make the kernel reset the answer
//             away;
//   closed    the socket is closed and forgotten by the queue.
// The socket is read in read_some and written in write_some only (shutdown and close aside),
// through the TLS session when the endpoint has one.
class HttpConnection {
  public:
    enum class State { reading, checking, sending, lingering, closed };

    // Takes fd (non-blocking) and watches it for reading; closed at once when that fails. The
    // ticket names the connection to the credential check.
    HttpConnection(const Endpoint& endpoint, int fd, SteadyClock::time_point deadline,
                   std::uint64_t ticket);
    ~HttpConnection();
    HttpConnection(HttpConnection&& other) noexcept;
    HttpConnection& operator=(HttpConnection&& other) noexcept;
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    int fd() const { return fd_; }
    std::uint64_t ticket() const { return ticket_; }
    State state() const { return state_; }
    SteadyClock::time_point deadline() const { return deadline_; }

    // Lingering after the peer closed, until the peer has acknowledged the whole answer. No event
    // reports that, so the owner asks check_delivery() now and then.
    bool awaiting_delivery() const { return state_ == State::lingering && peer_closed_; }

    // Lingering, and the peer has acknowledged the whole answer (or is gone).
    bool answer_delivered() const;

    // The socket is ready (or was just accepted): goes as far as it allows, answering a request
    // as soon as it is complete.
    void progress();

    // The verdict on the credentials of a connection in checking: the answer, or 401.
    void resume(bool allowed);

    // Closes a connection awaiting delivery once the peer has the whole answer.
    void check_delivery();

    // The deadline has passed: a request still being read is answered from what came, through
    // the same gates as a whole one, as far as the socket takes at once; then the connection is
    // ended (end_now).
    void expire();

    // Ends it now. An answer the peer does not have yet is reset away, so that the kernel does
    // not hold it for a reader that never takes it; with keep_written, an answer written whole
    // is left to the kernel to deliver (on stop, when the process is about to end). A deadline
    // answer that went out whole at once is closed plainly too.
    void end_now(bool keep_written = false);

  private:
    enum class Transfer { moved, blocked, ended, failed };

    Transfer read_some(char* buffer, std::size_t size, std::size_t& count);
    Transfer write_some(std::size_t& count);

    void read_request();
    void check_credentials();
    bool within_rate_limit(); // takes a token when there is a limit
    bool needs_credentials() const;
    void respond(bool allowed, bool limited = false);
    std::size_t answer_size() const;
    void send_answer();
    void discard_input();
    void start_lingering();
    void watch(Interest interest);
    void close_socket(bool reset);

    // What the blocked transfer waits for: over TLS a read may need to write, and a write read.
    Interest blocked_on(Interest plain) const { return tls_ ? tls_->wants() : plain; }

    const Endpoint* endpoint_ = nullptr;
    std::unique_ptr<TlsConnection> tls_;
    std::uint64_t ticket_ = 0;
    int fd_ = -1;
    SteadyClock::time_point deadline_;
    State state_ = State::closed;
    Interest watched_ = Interest::none;
    bool peer_closed_ = false; // the peer shut down its sending side
    std::string request_;
    Response response_; // the whole answer, held while it is being sent
    std::size_t sent_ = 0;
};

} // namespace tarn
