#pragma once

#include "exporters/web/web_config.h"

#include <memory>
#include <string>
#include <vector>

struct ssl_ctx_st;

namespace tarn {

// The server side of TLS for every scrape connection: certificate, key, client verification,
// protocol versions, suites and curves of one load of the web config file. Connections hold it
// while they last, so a reload never pulls it from under a handshake.
class TlsContext {
  public:
    explicit TlsContext(ssl_ctx_st* adopted) : context_(adopted) {}
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    ssl_ctx_st* get() const { return context_; }

    // client_allowed_sans; the verify callback reads them through the context.
    std::vector<std::string> allowed_sans;

  private:
    ssl_ctx_st* context_;
};

struct TlsContextResult {
    std::shared_ptr<const TlsContext> context;
    std::string error; // "Web config FILE: KEY: reason" when context is empty
};

// Loads the certificates and key the settings name or hold; config_path names the web config
// file in errors. A key protected by a passphrase is refused; OpenSSL is never let to prompt.
TlsContextResult make_tls_context(const TlsServerSettings& settings,
                                  const std::string& config_path);

// What a load of the settings should warn about, each "Web config FILE: KEY: reason": a
// cipher_suites that names TLS 1.3 suites only, which leaves TLS 1.2 none.
std::vector<std::string> tls_warnings(const TlsServerSettings& settings,
                                      const std::string& config_path);

// True when one of the subject alternative names (DNS, IP address, e-mail, URI) of the
// certificate (DER) is one of allowed, exactly.
bool certificate_has_san(const std::string& der, const std::vector<std::string>& allowed);

} // namespace tarn
