#pragma once

#include "exporters/web/tls_context.h"
#include "exporters/web/web_config.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarn {

// One whole load of the web config file: what new connections are served with.
struct WebSettings {
    std::shared_ptr<const TlsContext> tls;    // null: plain HTTP
    std::map<std::string, std::string> users; // empty: no authentication
    std::string headers;                      // "Name: value\r\n" lines added to every answer
    RateLimitSettings rate_limit;
    bool http2_asked = false;
    std::vector<std::string> files; // the file and every file it names
};

struct WebSettingsResult {
    std::optional<WebSettings> settings;
    std::string error;                 // "Web config FILE: KEY: reason" when settings is empty
    std::vector<std::string> warnings; // for settings that load, to be logged
    std::vector<std::string> files;    // the file and every file it names, loaded or not
};

// Reads the file, checks it and builds the TLS context from the files it names, binding nothing:
// the start-up path, the configuration check and every reload.
WebSettingsResult load_web_settings(const std::string& path);

// Notices a change of the web config file or of a file it names (checked at most once a second)
// and loads the changed set whole. A change is loaded only once two checks in a row found the
// files alike and the load read them unchanged: a file rewritten in place is, while written, an
// empty or cut-off file, and such a file can be a valid config that asks for nothing. A set that
// does not load keeps the last good one; its reason is logged once per change, and the files it
// names are watched along with the good set's, so that putting them in place later is noticed.
// A set that drops TLS or every user of the running one is loaded, with a warning. Server thread
// only.
class WebConfigReloader {
  public:
    using Clock = std::chrono::steady_clock;

    // loaded: what load_web_settings(path) gave at start.
    WebConfigReloader(std::string path, WebSettings loaded);

    // True when a changed set was loaded now: current() has it.
    bool poll(Clock::time_point now);

    const WebSettings& current() const { return current_; }

    // What a file looked like: a change of any part of it is a change of the file.
    struct Stamp {
        int error = 0; // of stat; 0 when it succeeded
        unsigned long long device = 0, inode = 0, size = 0;
        long long modified_ns = 0, changed_ns = 0;
        bool operator==(const Stamp&) const = default;
    };
    using Stamps = std::map<std::string, Stamp>;

  private:
    Stamps stamps_of(const std::vector<std::string>& files) const;
    void warn_of_dropped(const WebSettings& next) const;

    std::string path_;
    WebSettings current_;
    std::vector<std::string> watched_;
    Stamps seen_;                  // of the watched files at the last load or try
    std::optional<Stamps> moving_; // a change the last check found, loaded if the next finds it
    Clock::time_point next_check_;
};

// Sets the self metrics of a load: web_config_last_reload_successful and, when it loaded, the
// time of the last good load.
void record_web_config_load(bool loaded);

} // namespace tarn
