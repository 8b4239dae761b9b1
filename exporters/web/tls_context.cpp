#include "exporters/web/tls_context.h"

#include <fmt/format.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace tarn {
namespace {

// The first reason OpenSSL queued on this thread (the queue is emptied), or a fallback.
std::string openssl_reason(const char* fallback) {
    const unsigned long code = ::ERR_get_error();
    ::ERR_clear_error();
    if (code == 0)
        return fallback;
    char text[256];
    ::ERR_error_string_n(code, text, sizeof text);
    return text;
}

int protocol_version(TlsVersion version) {
    return version == TlsVersion::tls13 ? TLS1_3_VERSION : TLS1_2_VERSION;
}

} // namespace

TlsContext::~TlsContext() {
    ::SSL_CTX_free(context_);
}

TlsContextResult make_tls_context(const TlsServerSettings& settings,
                                  const std::string& config_path) {
    ::ERR_clear_error();
    SSL_CTX* raw = ::SSL_CTX_new(::TLS_server_method());
    if (raw == nullptr)
        return {nullptr, fmt::format("Web config {}: tls_server_config: cannot set up TLS: {}",
                                     config_path, openssl_reason("out of memory"))};
    std::shared_ptr<const TlsContext> context(new TlsContext(raw));
    const auto refused = [&](const char* key, const std::string& file, const char* what) {
        return TlsContextResult{
            nullptr, fmt::format("Web config {}: tls_server_config.{}: {} '{}': {}", config_path,
                                 key, what, file, openssl_reason("unusable"))};
    };
    if (::SSL_CTX_use_certificate_chain_file(raw, settings.cert_file.c_str()) != 1)
        return refused("cert_file", settings.cert_file, "cannot load the certificate");
    // Read apart from the context, so that a key of another certificate is told from an
    // unreadable one.
    BIO* file = ::BIO_new_file(settings.key_file.c_str(), "r");
    EVP_PKEY* key = file ? ::PEM_read_bio_PrivateKey(file, nullptr, nullptr, nullptr) : nullptr;
    ::BIO_free(file);
    if (key == nullptr)
        return refused("key_file", settings.key_file, "cannot load the private key");
    const bool matches = ::X509_check_private_key(::SSL_CTX_get0_certificate(raw), key) == 1;
    const bool used = matches && ::SSL_CTX_use_PrivateKey(raw, key) == 1;
    ::EVP_PKEY_free(key);
    if (!matches)
        return refused("key_file", settings.key_file, "the key does not match cert_file");
    if (!used)
        return refused("key_file", settings.key_file, "cannot use the private key");
    if (settings.client_auth == ClientAuth::require_and_verify) {
        if (::SSL_CTX_load_verify_locations(raw, settings.client_ca_file.c_str(), nullptr) != 1)
            return refused("client_ca_file", settings.client_ca_file,
                           "cannot load the CA certificates");
        STACK_OF(X509_NAME)* names = ::SSL_load_client_CA_file(settings.client_ca_file.c_str());
        if (names == nullptr)
            return refused("client_ca_file", settings.client_ca_file, "cannot read the CA names");
        ::SSL_CTX_set_client_CA_list(raw, names);
        ::SSL_CTX_set_verify(raw, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    ::SSL_CTX_set_min_proto_version(raw, protocol_version(settings.min_version));
    ::SSL_CTX_set_max_proto_version(raw, protocol_version(settings.max_version));
    // Every connection carries one answer and is closed: resuming sessions buys nothing, and
    // renegotiation only gives a client a way to make the server work.
    ::SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_OFF);
    ::SSL_CTX_set_num_tickets(raw, 0);
    ::SSL_CTX_set_options(raw, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF |
                                   SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Writes go out a record at a time from a buffer that stays where it is between tries; idle
    // connections give their buffers back.
    ::SSL_CTX_set_mode(raw, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_RELEASE_BUFFERS);
    return {std::move(context), {}};
}

} // namespace tarn
