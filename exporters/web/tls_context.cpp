#include "exporters/web/tls_context.h"

#include "exporters/bounded_file.h"

#include <fmt/format.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>

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
    switch (version) {
    case TlsVersion::tls10:
        return TLS1_VERSION;
    case TlsVersion::tls11:
        return TLS1_1_VERSION;
    case TlsVersion::tls12:
        return TLS1_2_VERSION;
    case TlsVersion::tls13:
        break;
    }
    return TLS1_3_VERSION;
}

// Where a context keeps its TlsContext, for the verify callback.
int owner_index() {
    static const int index = ::SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The text of a DNS, e-mail or URI subject alternative name, or empty.
std::string san_text(const GENERAL_NAME* name) {
    int type = 0;
    const void* value = ::GENERAL_NAME_get0_value(name, &type);
    if (type != GEN_DNS && type != GEN_EMAIL && type != GEN_URI)
        return {};
    const auto* text = static_cast<const ASN1_IA5STRING*>(value);
    return std::string(reinterpret_cast<const char*>(::ASN1_STRING_get0_data(text)),
                       static_cast<std::size_t>(::ASN1_STRING_length(text)));
}

bool has_san(X509* certificate, const std::vector<std::string>& allowed) {
    // IP addresses are compared as addresses ("::1" is "0:0:0:0:0:0:0:1"), by OpenSSL, which
    // looks at IP address names only.
    for (const std::string& name : allowed)
        if (::X509_check_ip_asc(certificate, name.c_str(), 0) == 1)
            return true;
    auto* names = static_cast<GENERAL_NAMES*>(
        ::X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
    bool found = false;
    for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names) && !found; ++i) {
        const std::string text = san_text(sk_GENERAL_NAME_value(names, i));
        found = !text.empty() && std::find(allowed.begin(), allowed.end(), text) != allowed.end();
    }
    GENERAL_NAMES_free(names);
    return found;
}

// RequestClientCert and RequireAnyClientCert take whatever certificate comes, as Go does.
int accept_any(int, X509_STORE_CTX*) {
    return 1;
}

// The chain verified; the client's own certificate must carry one of the allowed names.
int verify_allowed_san(int verified, X509_STORE_CTX* store) {
    if (verified != 1 || ::X509_STORE_CTX_get_error_depth(store) != 0)
        return verified;
    auto* ssl = static_cast<SSL*>(
        ::X509_STORE_CTX_get_ex_data(store, ::SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* owner = ssl == nullptr ? nullptr
                                       : static_cast<const TlsContext*>(::SSL_CTX_get_ex_data(
                                             ::SSL_get_SSL_CTX(ssl), owner_index()));
    if (owner == nullptr ||
        !has_san(::X509_STORE_CTX_get_current_cert(store), owner->allowed_sans)) {
        ::X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
        return 0;
    }
    return 1;
}

// The IANA names of the TLS 1.2 and older suites this OpenSSL has, to its own names.
const std::map<std::string, std::string>& suite_names() {
    static const std::map<std::string, std::string> names = [] {
        std::map<std::string, std::string> found;
        SSL_CTX* probe = ::SSL_CTX_new(::TLS_server_method());
        if (probe == nullptr)
            return found;
        ::SSL_CTX_set_cipher_list(probe, "ALL:COMPLEMENTOFALL:@SECLEVEL=0");
        STACK_OF(SSL_CIPHER)* ciphers = ::SSL_CTX_get_ciphers(probe);
        for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i) {
            const SSL_CIPHER* cipher = sk_SSL_CIPHER_value(ciphers, i);
            if (const char* standard = ::SSL_CIPHER_standard_name(cipher))
                found.emplace(standard, ::SSL_CIPHER_get_name(cipher));
        }
        ::SSL_CTX_free(probe);
        ::ERR_clear_error();
        return found;
    }();
    return names;
}

bool is_tls13_suite(const std::string& name) {
    return name == "TLS_AES_128_GCM_SHA256" || name == "TLS_AES_256_GCM_SHA384" ||
           name == "TLS_CHACHA20_POLY1305_SHA256";
}

// True when cipher_suites names TLS 1.3 suites only while TLS 1.2 is allowed.
bool tls12_left_without_suites(const TlsServerSettings& settings) {
    return !settings.cipher_suites.empty() &&
           std::all_of(settings.cipher_suites.begin(), settings.cipher_suites.end(),
                       is_tls13_suite) &&
           settings.min_version != TlsVersion::tls13;
}

// A passphrase would have to be typed: refuse instead, and remember that one was asked for.
int no_passphrase(char*, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return -1;
}

// The PEM text of a file, or the inline text when no file is named. OpenSSL's own file loaders
// would open a FIFO and wait on it, and read a file of any size.
std::optional<std::string> pem_text(const std::string& file, const std::string& text,
                                    std::string& error) {
    if (file.empty())
        return text;
    BoundedFile read = read_bounded_file(file, kMaxPemFileBytes);
    error = std::move(read.error);
    return std::move(read.text);
}

BIO* open_pem(const std::string& text) {
    return ::BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
}

// Every certificate of a PEM text, in order; empty when there is none or one is broken.
std::vector<X509*> read_certificates(const std::string& text) {
    std::vector<X509*> certificates;
    BIO* bio = open_pem(text);
    bool asked = false;
    while (bio != nullptr) {
        X509* certificate = ::PEM_read_bio_X509(bio, nullptr, no_passphrase, &asked);
        if (certificate == nullptr)
            break;
        certificates.push_back(certificate);
    }
    // The end of the input reads as "no start line"; anything else is a broken certificate.
    const unsigned long last = ::ERR_peek_last_error();
    if (ERR_GET_REASON(last) == PEM_R_NO_START_LINE && !certificates.empty())
        ::ERR_clear_error();
    else if (last != 0) {
        for (X509* certificate : certificates)
            ::X509_free(certificate);
        certificates.clear();
    }
    ::BIO_free(bio);
    return certificates;
}

} // namespace

TlsContext::~TlsContext() {
    ::SSL_CTX_free(context_);
}

std::vector<std::string> tls_warnings(const TlsServerSettings& settings,
                                      const std::string& config_path) {
    if (!tls12_left_without_suites(settings))
        return {};
    return {fmt::format("Web config {}: tls_server_config.cipher_suites: no TLS 1.2 suite is "
                        "named, so TLS 1.2 and older clients cannot connect{}",
                        config_path,
                        settings.max_version == TlsVersion::tls13
                            ? ""
                            : "; with max_version below TLS13, no client can")};
}

bool certificate_has_san(const std::string& der, const std::vector<std::string>& allowed) {
    const auto* data = reinterpret_cast<const unsigned char*>(der.data());
    X509* certificate = ::d2i_X509(nullptr, &data, static_cast<long>(der.size()));
    const bool found = certificate != nullptr && has_san(certificate, allowed);
    ::X509_free(certificate);
    ::ERR_clear_error();
    return found;
}

TlsContextResult make_tls_context(const TlsServerSettings& settings,
                                  const std::string& config_path) {
    ::ERR_clear_error();
    SSL_CTX* raw = ::SSL_CTX_new(::TLS_server_method());
    if (raw == nullptr)
        return {nullptr, fmt::format("Web config {}: tls_server_config: cannot set up TLS: {}",
                                     config_path, openssl_reason("out of memory"))};
    auto* owner = new TlsContext(raw);
    std::shared_ptr<const TlsContext> context(owner);
    owner->allowed_sans = settings.client_allowed_sans;
    ::SSL_CTX_set_ex_data(raw, owner_index(), owner);

    const auto named = [](const char* key, const std::string& file) {
        return file.empty() ? fmt::format("tls_server_config.{}", key)
                            : fmt::format("tls_server_config.{}_file", key);
    };
    const auto refused = [&](const std::string& key, const std::string& file, const char* what,
                             const char* fallback = "unusable") {
        const std::string reason = openssl_reason(fallback);
        return TlsContextResult{
            nullptr, file.empty()
                         ? fmt::format("Web config {}: {}: {}: {}", config_path, key, what, reason)
                         : fmt::format("Web config {}: {}: {} '{}': {}", config_path, key, what,
                                       file, reason)};
    };

    // A named file that cannot be read: what it is, not what OpenSSL would make of it.
    const auto unreadable = [&](const std::string& key, const std::string& file, const char* what,
                                const std::string& why) {
        return TlsContextResult{nullptr, fmt::format("Web config {}: {}: {} '{}': {}", config_path,
                                                     key, what, file, why)};
    };
    std::string error;

    const std::string cert_key = named("cert", settings.cert_file);
    const auto cert_text = pem_text(settings.cert_file, settings.cert, error);
    if (!cert_text)
        return unreadable(cert_key, settings.cert_file, "cannot load the certificate", error);
    std::vector<X509*> chain = read_certificates(*cert_text);
    if (chain.empty())
        return refused(cert_key, settings.cert_file, "cannot load the certificate",
                       "no certificate in it");
    bool used = ::SSL_CTX_use_certificate(raw, chain[0]) == 1;
    for (std::size_t i = 1; i < chain.size(); ++i)
        used = used && ::SSL_CTX_add1_chain_cert(raw, chain[i]) == 1;
    for (X509* certificate : chain)
        ::X509_free(certificate);
    if (!used)
        return refused(cert_key, settings.cert_file, "cannot use the certificate");

    // Read apart from the context, so that a key of another certificate is told from an
    // unreadable one.
    const std::string key_key = named("key", settings.key_file);
    auto key_text = pem_text(settings.key_file, settings.key, error);
    if (!key_text)
        return unreadable(key_key, settings.key_file, "cannot load the private key", error);
    BIO* file = open_pem(*key_text);
    bool asked = false;
    EVP_PKEY* key =
        file ? ::PEM_read_bio_PrivateKey(file, nullptr, no_passphrase, &asked) : nullptr;
    ::BIO_free(file);
    ::OPENSSL_cleanse(key_text->data(), key_text->size()); // the key lives on in `key` only
    if (key == nullptr && asked) {
        ::ERR_clear_error();
        return {nullptr,
                settings.key_file.empty()
                    ? fmt::format("Web config {}: {}: the private key is encrypted (protected by "
                                  "a passphrase); give it unencrypted, readable only by the "
                                  "daemon's user",
                                  config_path, key_key)
                    : fmt::format("Web config {}: {}: the private key '{}' is encrypted "
                                  "(protected by a passphrase); give it unencrypted, readable "
                                  "only by the daemon's user",
                                  config_path, key_key, settings.key_file)};
    }
    if (key == nullptr)
        return refused(key_key, settings.key_file, "cannot load the private key");
    const bool matches = ::X509_check_private_key(::SSL_CTX_get0_certificate(raw), key) == 1;
    const bool key_used = matches && ::SSL_CTX_use_PrivateKey(raw, key) == 1;
    ::EVP_PKEY_free(key);
    if (!matches) {
        ::ERR_clear_error();
        const std::string key_name = settings.key_file.empty() ? "key" : settings.key_file;
        const std::string cert_name = settings.cert_file.empty() ? "cert" : settings.cert_file;
        return {nullptr, fmt::format("Web config {}: {}: key_file '{}' does not match cert_file "
                                     "'{}'",
                                     config_path, key_key, key_name, cert_name)};
    }
    if (!key_used)
        return refused(key_key, settings.key_file, "cannot use the private key");

    if (!settings.client_ca_file.empty() || !settings.client_ca.empty()) {
        const std::string ca_key = named("client_ca", settings.client_ca_file);
        const auto ca_text = pem_text(settings.client_ca_file, settings.client_ca, error);
        if (!ca_text)
            return unreadable(ca_key, settings.client_ca_file, "cannot load the CA certificates",
                              error);
        std::vector<X509*> authorities = read_certificates(*ca_text);
        if (authorities.empty())
            return refused(ca_key, settings.client_ca_file, "cannot load the CA certificates",
                           "no certificate in it");
        X509_STORE* store = ::SSL_CTX_get_cert_store(raw);
        bool added = true;
        for (X509* authority : authorities) {
            added = added && ::X509_STORE_add_cert(store, authority) == 1 &&
                    ::SSL_CTX_add_client_CA(raw, authority) == 1;
            ::X509_free(authority);
        }
        if (!added)
            return refused(ca_key, settings.client_ca_file, "cannot use the CA certificates");
    }
    switch (settings.client_auth) {
    case ClientAuth::none:
        break;
    case ClientAuth::request:
        ::SSL_CTX_set_verify(raw, SSL_VERIFY_PEER, accept_any);
        break;
    case ClientAuth::require_any:
        ::SSL_CTX_set_verify(raw, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, accept_any);
        break;
    case ClientAuth::verify_if_given:
        ::SSL_CTX_set_verify(raw, SSL_VERIFY_PEER, nullptr);
        break;
    case ClientAuth::require_and_verify:
        ::SSL_CTX_set_verify(raw, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                             settings.client_allowed_sans.empty() ? nullptr : verify_allowed_san);
        break;
    }

    if (!settings.cipher_suites.empty()) {
        std::string list;
        for (const std::string& suite : settings.cipher_suites) {
            if (is_tls13_suite(suite))
                continue; // TLS 1.3's suites are not configurable, as in Go
            const auto found = suite_names().find(suite);
            if (found == suite_names().end())
                return {nullptr,
                        fmt::format("Web config {}: tls_server_config.cipher_suites: '{}' is not "
                                    "a cipher suite this OpenSSL has",
                                    config_path, suite)};
            list += (list.empty() ? "" : ":") + found->second;
        }
        if (!list.empty() && ::SSL_CTX_set_cipher_list(raw, list.c_str()) != 1)
            return refused("tls_server_config.cipher_suites", {}, "cannot use them");
    }
    if (!settings.curves.empty()) {
        std::string list;
        for (const std::string& curve : settings.curves)
            list += (list.empty() ? "" : ":") + curve;
        if (::SSL_CTX_set1_groups_list(raw, list.c_str()) != 1)
            return refused("tls_server_config.curve_preferences", {}, "cannot use them");
    }

    // TLS 1.2 is not offered at all rather than with OpenSSL's default suites.
    ::SSL_CTX_set_min_proto_version(raw, tls12_left_without_suites(settings)
                                             ? TLS1_3_VERSION
                                             : protocol_version(settings.min_version));
    ::SSL_CTX_set_max_proto_version(raw, protocol_version(settings.max_version));
    // Every connection carries one answer and is closed: resuming sessions buys nothing, so no
    // form of it is offered (no cache, no TLS 1.2 tickets, no TLS 1.3 tickets); a client that
    // offers a session gets a full handshake. The session id context is set all the same, so
    // that a client certificate policy never meets a session without one. Renegotiation only
    // gives a client a way to make the server work.
    static const unsigned char kSessionContext[] = "tarn-vm-perfdata";
    ::SSL_CTX_set_session_id_context(raw, kSessionContext, sizeof kSessionContext - 1);
    ::SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_OFF);
    ::SSL_CTX_set_num_tickets(raw, 0);
    std::uint64_t options =
        SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF;
    if (settings.prefer_server_cipher_suites)
        options |= SSL_OP_CIPHER_SERVER_PREFERENCE;
    ::SSL_CTX_set_options(raw, options);
    // Writes go out a record at a time from a buffer that stays where it is between tries; idle
    // connections give their buffers back.
    ::SSL_CTX_set_mode(raw, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_RELEASE_BUFFERS);
    return {std::move(context), {}};
}

} // namespace tarn
