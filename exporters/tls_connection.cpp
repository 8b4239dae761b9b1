#include "exporters/tls_connection.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <climits>

namespace tarn {

TlsConnection::TlsConnection(ssl_ctx_st* context, int fd) : ssl_(::SSL_new(context)) {
    if (ssl_ == nullptr)
        return;
    if (::SSL_set_fd(ssl_, fd) != 1) {
        ::SSL_free(ssl_);
        ssl_ = nullptr;
        return;
    }
    ::SSL_set_accept_state(ssl_);
}

TlsConnection::~TlsConnection() {
    ::SSL_free(ssl_);
}

TlsConnection::Io TlsConnection::outcome(int result, std::size_t& count) {
    if (result > 0) {
        count = static_cast<std::size_t>(result);
        return Io::moved;
    }
    const int error = ::SSL_get_error(ssl_, result);
    // What OpenSSL queued is about this connection only; left there it would be blamed on the
    // next call on this thread.
    ::ERR_clear_error();
    switch (error) {
    case SSL_ERROR_WANT_READ:
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
    if (handshake_done_)
        return Io::moved;
    ::ERR_clear_error();
    const int result = ::SSL_do_handshake(ssl_);
    std::size_t ignored = 0;
    const Io io = outcome(result, ignored);
    handshake_done_ = io == Io::moved;
    return io;
}

TlsConnection::Io TlsConnection::read_some(char* buffer, std::size_t size, std::size_t& count) {
    if (!handshake_done_) {
        const Io io = handshake();
        if (io != Io::moved)
            return io == Io::ended ? Io::failed : io;
    }
    ::ERR_clear_error();
    const int wanted = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    return outcome(::SSL_read(ssl_, buffer, wanted), count);
}

TlsConnection::Io TlsConnection::write_some(const char* data, std::size_t size,
                                            std::size_t& count) {
    ::ERR_clear_error();
    const int wanted = static_cast<int>(std::min<std::size_t>(size, INT_MAX));
    return outcome(::SSL_write(ssl_, data, wanted), count);
}

void TlsConnection::close_notify() {
    if (!handshake_done_)
        return;
    ::ERR_clear_error();
    ::SSL_shutdown(ssl_);
    ::ERR_clear_error();
}

} // namespace tarn
