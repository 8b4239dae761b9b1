#include "exporters/web/http_connection.h"

#include "exporters/web/credential_check.h"
#include "exporters/web/request_headers.h"
#include "metrics/health_figures.h"
#include "platform/socket_options.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tarn {
namespace {

constexpr std::size_t kReceiveChunk = 4096;
// Thrown-away bytes read per wake-up while lingering, so that a peer that keeps sending cannot
// hold the loop; the event queue brings the connection back while more is there.
constexpr int kLingerChunksPerWake = 16;

} // namespace

HttpConnection::HttpConnection(const Endpoint& endpoint, int fd, SteadyClock::time_point deadline,
                               std::uint64_t ticket)
    : endpoint_(&endpoint), ticket_(ticket), fd_(fd), deadline_(deadline), state_(State::reading) {
    prepare_accepted_socket(fd_);
    if (endpoint.tls != nullptr) {
        tls_ = std::make_unique<TlsConnection>(endpoint.tls, fd_);
        if (!tls_->usable()) {
            close_socket(true);
            return;
        }
    }
    watch(Interest::read);
}

HttpConnection::~HttpConnection() {
    close_socket(false);
}

HttpConnection::HttpConnection(HttpConnection&& other) noexcept
    : endpoint_(other.endpoint_), tls_(std::move(other.tls_)), ticket_(other.ticket_),
      fd_(std::exchange(other.fd_, -1)), deadline_(other.deadline_),
      state_(std::exchange(other.state_, State::closed)),
      watched_(std::exchange(other.watched_, Interest::none)), peer_closed_(other.peer_closed_),
      request_(std::move(other.request_)), response_(std::move(other.response_)),
      sent_(other.sent_) {}

HttpConnection& HttpConnection::operator=(HttpConnection&& other) noexcept {
    if (this != &other) {
        close_socket(false);
        endpoint_ = other.endpoint_;
        tls_ = std::move(other.tls_);
        ticket_ = other.ticket_;
        fd_ = std::exchange(other.fd_, -1);
        deadline_ = other.deadline_;
        state_ = std::exchange(other.state_, State::closed);
        watched_ = std::exchange(other.watched_, Interest::none);
        peer_closed_ = other.peer_closed_;
        request_ = std::move(other.request_);
        response_ = std::move(other.response_);
        sent_ = other.sent_;
    }
    return *this;
}

void HttpConnection::progress() {
    switch (state_) {
    case State::reading:
        read_request();
        break;
    case State::checking:
        break; // the verdict comes through resume
    case State::sending:
        send_answer();
        break;
    case State::lingering:
        discard_input();
        break;
    case State::closed:
        break;
    }
}

bool HttpConnection::answer_delivered() const {
    return state_ == State::lingering && send_queue_drained(fd_);
}

void HttpConnection::check_delivery() {
    if (awaiting_delivery() && send_queue_drained(fd_))
        close_socket(false);
}

void HttpConnection::resume(bool allowed) {
    if (state_ != State::checking)
        return;
    respond(allowed);
    send_answer();
}

void HttpConnection::expire() {
    // Over TLS an answer needs the finished handshake; without one there is nobody to answer.
    const bool can_answer = !tls_ || tls_->handshake_done();
    if ((state_ == State::reading || state_ == State::checking) && can_answer) {
        // What came is answered through the same gates as a whole request (a checking one has
        // passed the limit already); credentials still unchecked count as refused.
        const bool limited = state_ == State::reading && !within_rate_limit();
        respond(state_ == State::reading && !limited && !needs_credentials(), limited);
        std::size_t count = 0;
        while (sent_ < answer_size() && write_some(count) == Transfer::moved)
            sent_ += count;
        if (tls_ && sent_ == answer_size())
            tls_->finish();
    }
    end_now();
}

void HttpConnection::end_now(bool keep_written) {
    bool reset = false;
    if (state_ == State::sending) // over TLS, written means encrypted, not yet sent
        reset = sent_ < answer_size() || (tls_ && !tls_->finished());
    else if (state_ == State::lingering)
        reset = !keep_written && !send_queue_drained(fd_);
    close_socket(reset);
}

HttpConnection::Transfer HttpConnection::read_some(char* buffer, std::size_t size,
                                                   std::size_t& count) {
    if (tls_ && state_ == State::reading) {
        switch (tls_->read_some(buffer, size, count)) {
        case TlsConnection::Io::moved:
            return Transfer::moved;
        case TlsConnection::Io::blocked:
            return Transfer::blocked;
        case TlsConnection::Io::ended:
            return Transfer::ended;
        case TlsConnection::Io::failed:
            return Transfer::failed;
        }
    }
    // Plain, or lingering after the answer: what comes then is thrown away undecrypted.
    for (;;) {
        const ssize_t received = ::recv(fd_, buffer, size, 0);
        if (received > 0) {
            count = static_cast<std::size_t>(received);
            return Transfer::moved;
        }
        if (received == 0)
            return Transfer::ended;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Transfer::blocked : Transfer::failed;
    }
}

// The head and the shared body go out together, from wherever the last call stopped.
HttpConnection::Transfer HttpConnection::write_some(std::size_t& count) {
    const std::string& head = response_.head;
    const std::string_view body = response_.body ? *response_.body : std::string_view();
    iovec pieces[2];
    int used = 0;
    if (sent_ < head.size())
        pieces[used++] = {const_cast<char*>(head.data()) + sent_, head.size() - sent_};
    const std::size_t body_sent = sent_ > head.size() ? sent_ - head.size() : 0;
    if (body_sent < body.size())
        pieces[used++] = {const_cast<char*>(body.data()) + body_sent, body.size() - body_sent};
    if (tls_) { // a record at a time, from the first piece not yet sent
        switch (tls_->write_some(static_cast<const char*>(pieces[0].iov_base), pieces[0].iov_len,
                                 count)) {
        case TlsConnection::Io::moved:
            return Transfer::moved;
        case TlsConnection::Io::blocked:
            return Transfer::blocked;
        default:
            return Transfer::failed;
        }
    }
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = used;
    for (;;) {
        const ssize_t result = ::sendmsg(fd_, &message, send_flags());
        if (result >= 0) {
            count = static_cast<std::size_t>(result);
            return Transfer::moved;
        }
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Transfer::blocked : Transfer::failed;
    }
}

void HttpConnection::read_request() {
    char chunk[kReceiveChunk];
    for (;;) {
        std::size_t count = 0;
        const Transfer got = read_some(chunk, sizeof chunk, count);
        if (got == Transfer::blocked) {
            watch(blocked_on(Interest::read));
            return;
        }
        if (got == Transfer::failed) {
            close_socket(false);
            return;
        }
        if (got == Transfer::ended) {
            peer_closed_ = true; // answer what it sent
            break;
        }
        request_.append(chunk, count);
        if (request_complete(request_))
            break;
    }
    // The limit comes before the password check, so that a flood costs no bcrypt.
    if (!within_rate_limit()) {
        respond(false, true);
        send_answer();
        return;
    }
    if (!needs_credentials()) {
        respond(true);
        send_answer();
        return;
    }
    check_credentials();
}

// A connection that sent nothing is no request: it takes no token, so that probes that connect
// and close cannot starve the scrapes.
bool HttpConnection::within_rate_limit() {
    return endpoint_->rate_limit == nullptr || request_.empty() ||
           endpoint_->rate_limit->take(SteadyClock::now());
}

bool HttpConnection::needs_credentials() const {
    return endpoint_->credentials != nullptr && endpoint_->credentials->active();
}

void HttpConnection::check_credentials() {
    switch (endpoint_->credentials->check(header_value(request_, "Authorization"), ticket_)) {
    case CredentialCheck::Verdict::pending:
        state_ = State::checking;
        watch(Interest::none);
        return;
    case CredentialCheck::Verdict::allowed:
        respond(true);
        break;
    case CredentialCheck::Verdict::refused:
        respond(false);
        break;
    }
    send_answer();
}

void HttpConnection::respond(bool allowed, bool limited) {
    if (state_ == State::checking)
        endpoint_->credentials->cancel(ticket_); // answered without waiting any longer
    response_ = limited   ? too_many_requests_response()
                : allowed ? answer_request(request_, *endpoint_->render, *endpoint_->render_gzip)
                          : unauthorized_response();
    add_headers(response_, endpoint_->headers);
    // A scrape is a request that came: a connection that sent nothing is answered all the same,
    // but counts nothing.
    if (!request_.empty())
        health_figures().count("scrapes", {{"code", std::to_string(response_.status)}});
    std::string().swap(request_);
    state_ = State::sending;
    sent_ = 0;
}

std::size_t HttpConnection::answer_size() const {
    return response_.head.size() + (response_.body ? response_.body->size() : 0);
}

void HttpConnection::send_answer() {
    while (sent_ < answer_size()) {
        std::size_t count = 0;
        const Transfer put = write_some(count);
        if (put == Transfer::blocked) {
            watch(blocked_on(Interest::write));
            return;
        }
        if (put != Transfer::moved) {
            close_socket(false); // the peer is gone
            return;
        }
        sent_ += count;
    }
    if (tls_) { // the encrypted tail and close_notify go out before the sending side shuts
        const TlsConnection::Io finished = tls_->finish();
        if (finished == TlsConnection::Io::blocked) {
            watch(tls_->wants());
            return;
        }
        if (finished != TlsConnection::Io::moved) {
            close_socket(false);
            return;
        }
    }
    start_lingering();
}

void HttpConnection::start_lingering() {
    response_ = Response{}; // the shared document is not held any longer than needed
    ::shutdown(fd_, SHUT_WR);
    state_ = State::lingering;
    if (peer_closed_) {
        watch(Interest::none);
        check_delivery();
        return;
    }
    watch(Interest::read);
    if (state_ == State::lingering)
        discard_input(); // bytes already queued (a body, a pipelined request) go now
}

void HttpConnection::discard_input() {
    char chunk[kReceiveChunk];
    for (int i = 0; i < kLingerChunksPerWake; ++i) {
        std::size_t count = 0;
        const Transfer got = read_some(chunk, sizeof chunk, count);
        if (got == Transfer::moved)
            continue;
        if (got == Transfer::blocked)
            return;
        if (got == Transfer::failed) {
            close_socket(false); // reset by the peer: nothing left to deliver
            return;
        }
        peer_closed_ = true;
        watch(Interest::none); // end of input stays readable: watching it would spin
        check_delivery();
        return;
    }
}

void HttpConnection::watch(Interest interest) {
    if (fd_ < 0 || interest == watched_)
        return;
    if (event_queue_watch(endpoint_->queue_fd, fd_, watched_, interest)) {
        watched_ = interest;
        return;
    }
    if (watched_ != Interest::none)
        event_queue_watch(endpoint_->queue_fd, fd_, watched_, Interest::none);
    watched_ = Interest::none;
    close_socket(true);
}

void HttpConnection::close_socket(bool reset) {
    if (fd_ < 0)
        return;
    if (watched_ != Interest::none) // forgotten before closed
        event_queue_watch(endpoint_->queue_fd, fd_, watched_, Interest::none);
    if (state_ == State::checking)
        endpoint_->credentials->cancel(ticket_); // nobody waits for that verdict any longer
    watched_ = Interest::none;
    if (reset) {
        // Closing then drops what the kernel still holds for the peer and sends a reset.
        const struct linger at_once { 1, 0 };
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &at_once, sizeof at_once);
    }
    tls_.reset(); // the session only borrows the socket
    ::close(fd_);
    fd_ = -1;
    state_ = State::closed;
    response_ = Response{};
    std::string().swap(request_);
}

} // namespace tarn
