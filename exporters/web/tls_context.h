#pragma once

#include "exporters/web/web_config.h"

#include <memory>
#include <string>

struct ssl_ctx_st;

namespace tarn {

// The server side of TLS for every scrape connection: certificate, key, client verification and
// protocol versions, loaded once at start-up.
class TlsContext {
  public:
    explicit TlsContext(ssl_ctx_st* adopted) : context_(adopted) {}
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    ssl_ctx_st* get() const { return context_; }

  private:
    ssl_ctx_st* context_;
};

struct TlsContextResult {
    std::shared_ptr<const TlsContext> context;
    std::string error; // "Web config FILE: KEY: reason" when context is empty
};

// Loads the files the settings name; config_path names the web config file in errors.
TlsContextResult make_tls_context(const TlsServerSettings& settings,
                                  const std::string& config_path);

} // namespace tarn
