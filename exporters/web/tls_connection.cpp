#include "exporters/web/tls_connection.h"

#include "platform/socket_options.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace tarn {
namespace {

// Encrypted bytes gathered before they are sent: large enough for full segments, small enough
// that 64 connections hold little.
constexpr std::size_t kGatherBytes = 64 * 1024;

} // namespace

TlsConnection::TlsConnection(std::shared_ptr<const TlsContext> context, int fd)
    : context_(std::move(context)), ssl_(::SSL_new(context_->get())), fd_(fd) {
    if (ssl_ == nullptr)
        return;
    BIO* input = ::BIO_new_socket(fd, BIO_NOCLOSE);
    output_ = ::BIO_new(::BIO_s_mem());
    if (input == nullptr || output_ == nullptr) {
        ::BIO_free(input);
        ::BIO_free(output_);
        ::SSL_free(ssl_);
        ssl_ = nullptr;
        output_ = nullptr;
        return;
    }
    ::SSL_set_bio(ssl_, input, output_); // the session owns both from here
    ::SSL_set_accept_state(ssl_);
}

TlsConnection::~TlsConnection() {
    ::SSL_free(ssl_);
}

void TlsConnection::gather() {
    char* data = nullptr;
    const long size = BIO_get_mem_data(output_, &data);
    if (size <= 0)
        return;
    if (gathered_sent_ == gathered_.size()) {
        gathered_.clear();
        gathered_sent_ = 0;
    }
    gathered_.append(data, static_cast<std::size_t>(size));
    (void)BIO_reset(output_);
}

TlsConnection::Io TlsConnection::send_gathered() {
    while (gathered_sent_ < gathered_.size()) {
        const ssize_t sent = ::send(fd_, gathered_.data() + gathered_sent_,
                                    gathered_.size() - gathered_sent_, send_flags());
        if (sent >= 0) {
            gathered_sent_ += static_cast<std::size_t>(sent);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // What the kernel took is not held while the rest waits for room.
            gathered_.erase(0, gathered_sent_);
            gathered_sent_ = 0;
            wants_ = Interest::write;
            return Io::blocked;
        }
        return Io::failed;
    }
    gathered_.clear();
    gathered_sent_ = 0;
    return Io::moved;
}

// The result of an SSL call whose output was gathered and, as far as it goes, sent.
TlsConnection::Io TlsConnection::outcome(int result, std::size_t& count) {
    const int error = result > 0 ? SSL_ERROR_NONE : ::SSL_get_error(ssl_, result);
    // What OpenSSL queued is about this connection only; left there it would be blamed on the
    // next call on this thread.
    ::ERR_clear_error();
    gather();
    const Io sent = send_gathered(); // a refusal's alert goes too, as far as it can
    if (sent == Io::failed)
        return Io::failed;
    switch (error) {
    case SSL_ERROR_NONE:
        count = static_cast<std::size_t>(result);
        return Io::moved;
    case SSL_ERROR_WANT_READ:
        if (sent == Io::moved) // else the unsent bytes come first
            wants_ = Interest::read;
        return Io::blocked;
    case SSL_ERROR_WANT_WRITE:
        wants_ = Interest::write;
        return Io::blocked;
    case SSL_ERROR_ZERO_RETURN: // close_notify, or the end of input without it
        return Io::ended;
    default: // a reset, a refused handshake, a broken record
        return Io::failed;
    }
}

TlsConnection::Io TlsConnection::handshake() {
    if (const Io sent = send_gathered(); sent != Io::moved)
        return sent;
    if (handshake_done_)
        return Io::moved;
    ::ERR_clear_error();
    std::size_t ignored = 0;
    const Io io = outcome(::SSL_do_handshake(ssl_), ignored);
    if (io != Io::moved)
        return io == Io::ended ? Io::failed : io;
    handshake_done_ = true;
    return send_gathered();
}

TlsConnection::Io TlsConnection::read_some(char* buffer, std::size_t size, std::size_t& count) {
    if (const Io io = handshake(); io != Io::moved)
        return io;
    ::ERR_clear_error();
    const int wanted = static_cast<int>(std::min<std::size_t>(size, kGatherBytes));
    return outcome(::SSL_read(ssl_, buffer, wanted), count);
}

TlsConnection::Io TlsConnection::write_some(const char* data, std::size_t size,
                                            std::size_t& count) {
    if (gathered_.size() - gathered_sent_ >= kGatherBytes) {
        if (const Io sent = send_gathered(); sent != Io::moved)
            return sent;
    }
    ::ERR_clear_error();
    const int wanted = static_cast<int>(std::min(size, kGatherBytes));
    const int written = ::SSL_write(ssl_, data, wanted);
    if (written <= 0) {
        ::ERR_clear_error();
        return Io::failed; // writing into memory fails only when the session is broken
    }
    count = static_cast<std::size_t>(written);
    gather();
    if (gathered_.size() - gathered_sent_ >= kGatherBytes && send_gathered() == Io::failed)
        return Io::failed;
    return Io::moved;
}

TlsConnection::Io TlsConnection::finish() {
    if (!finishing_ && handshake_done_) {
        ::ERR_clear_error();
        ::SSL_shutdown(ssl_);
        ::ERR_clear_error();
        gather();
    }
    finishing_ = true;
    return send_gathered();
}

} // namespace tarn
