#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarn {

// The exporters' client auth policies: ask without verifying; require any certificate without
// verifying; verify one if sent; require and verify. Only the last authenticates a client.
enum class ClientAuth { none, request, require_any, verify_if_given, require_and_verify };
enum class TlsVersion { tls10, tls11, tls12, tls13 };

// bcrypt costs above this are refused: one check at 14 takes about a second here, and every
// check runs on one thread, so a dearer hash would let one request hold up every login.
constexpr int kMaxBcryptCost = 14;

// tls_server_config of a web config file. File names are already made absolute (relative ones
// count from the web config file's directory, as the Go exporters read them); the inline forms
// (cert, key, client_ca) hold PEM text instead, and only one form of each is set.
struct TlsServerSettings {
    std::string cert_file;
    std::string key_file;
    std::string cert;
    std::string key;
    ClientAuth client_auth = ClientAuth::none;
    std::string client_ca_file;
    std::string client_ca;
    std::vector<std::string> client_allowed_sans;
    TlsVersion min_version = TlsVersion::tls12;
    TlsVersion max_version = TlsVersion::tls13;
    std::vector<std::string> cipher_suites; // IANA names, in the order given
    bool prefer_server_cipher_suites = true;
    std::vector<std::string> curves; // OpenSSL group names, in the order given
};

// rate_limit: a token bucket over all requests; an interval of 0 turns it off.
struct RateLimitSettings {
    std::chrono::nanoseconds interval{0};
    int burst = 0;
    bool operator==(const RateLimitSettings&) const = default;
};

// The exporters' web configuration file. Neither TLS nor users: plain HTTP without
// authentication, as without a file.
struct WebConfig {
    std::optional<TlsServerSettings> tls;
    std::map<std::string, std::string> users; // user name to bcrypt hash; empty: no authentication
    std::vector<std::pair<std::string, std::string>> headers; // added to every answer
    bool http2_asked = false; // http_server_config.http2 is true (HTTP/2 is not served)
    RateLimitSettings rate_limit;

    // Every file the settings name (certificate, key, CA), for noticing a change.
    std::vector<std::string> named_files() const;
};

struct WebConfigResult {
    std::optional<WebConfig> config;
    std::string error;                 // "Web config FILE: KEY: reason" when config is empty
    std::vector<std::string> warnings; // "Web config FILE: KEY: reason", for a config that loads
};

// Reads and checks the file (YAML); certificates are loaded later, by the TLS context.
WebConfigResult read_web_config(const std::string& path);

// The same for a text already read; path names the file in errors and anchors relative names.
WebConfigResult parse_web_config(const std::string& text, const std::string& path);

// "$2a$", "$2b$" or "$2y$", a cost of 04 to 31, "$", then 53 characters of bcrypt's alphabet.
bool is_bcrypt_hash(std::string_view hash);

// A Go duration such as "1s", "250ms" or "1m30s"; "0" is zero. Empty when it is none.
std::optional<std::chrono::nanoseconds> parse_go_duration(std::string_view text);

} // namespace tarn
