#pragma once

#include "exporters/http_server.h"
#include "platform/event_queue.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace tarn {

using SteadyClock = std::chrono::steady_clock;

// One accepted scrape connection, from accept to close, registered on the server's event queue
// for what its state waits for:
//   reading   the request is buffered until it is complete or the peer closes its side;
//   sending   the answer is written as far as the socket takes it;
//   lingering the whole answer is written and the sending side shut down; what the peer still
//             sends is read and thrown away until it closes and has acknowledged the whole
//             answer, since closing with unread bytes would make the kernel reset the answer
//             away;
//   closed    the socket is closed and forgotten by the queue.
// The socket is read in read_some and written in write_some only (shutdown and close aside), so
// that an encrypting transport can take their place.
class HttpConnection {
  public:
    enum class State { reading, sending, lingering, closed };

    // Takes fd (non-blocking) and watches it for reading; closed at once when that fails.
    HttpConnection(int queue_fd, int fd, SteadyClock::time_point deadline);
    ~HttpConnection();
    HttpConnection(HttpConnection&& other) noexcept;
    HttpConnection& operator=(HttpConnection&& other) noexcept;
    HttpConnection(const HttpConnection&) = delete;
    HttpConnection& operator=(const HttpConnection&) = delete;

    int fd() const { return fd_; }
    State state() const { return state_; }
    SteadyClock::time_point deadline() const { return deadline_; }

    // Lingering after the peer closed, until the peer has acknowledged the whole answer. No event
    // reports that, so the owner asks check_delivery() now and then.
    bool awaiting_delivery() const { return state_ == State::lingering && peer_closed_; }

    // Lingering, and the peer has acknowledged the whole answer (or is gone).
    bool answer_delivered() const;

    // The socket is ready (or was just accepted): goes as far as it allows, answering a request
    // as soon as it is complete.
    void progress(const RenderCallback& render);

    // Closes a connection awaiting delivery once the peer has the whole answer.
    void check_delivery();

    // The deadline has passed: a request still being read is answered from what came, as far as
    // the socket takes at once; then the connection is ended (end_now).
    void expire(const RenderCallback& render);

    // Ends it now. An answer the peer does not have yet is reset away, so that the kernel does
    // not hold it for a reader that never takes it; with keep_written, an answer written whole
    // is left to the kernel to deliver (on stop, when the process is about to end). A deadline
    // answer that went out whole at once is closed plainly too.
    void end_now(bool keep_written = false);

  private:
    enum class Transfer { moved, blocked, ended, failed };

    Transfer read_some(char* buffer, std::size_t size, std::size_t& count);
    Transfer write_some(std::size_t& count);

    void read_request(const RenderCallback& render);
    void respond(const RenderCallback& render);
    std::size_t answer_size() const;
    void send_answer();
    void discard_input();
    void start_lingering();
    void watch(Interest interest);
    void close_socket(bool reset);

    int queue_fd_ = -1;
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
