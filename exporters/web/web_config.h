#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

enum class ClientAuth { none, require_and_verify };
enum class TlsVersion { tls12, tls13 };

// tls_server_config of a web config file; file names are already made absolute (relative ones
// count from the web config file's directory, as the Go exporters read them).
struct TlsServerSettings {
    std::string cert_file;
    std::string key_file;
    ClientAuth client_auth = ClientAuth::none;
    std::string client_ca_file;
    TlsVersion min_version = TlsVersion::tls12;
    TlsVersion max_version = TlsVersion::tls13;
};

// The subset of the exporters' web configuration file the scrape endpoint understands. Neither
// part present: plain HTTP without authentication, as without a file.
struct WebConfig {
    std::optional<TlsServerSettings> tls;
    std::map<std::string, std::string> users; // user name to bcrypt hash; empty: no authentication
};

struct WebConfigResult {
    std::optional<WebConfig> config;
    std::string error; // "Web config FILE: KEY: reason" when config is empty
};

// Reads and checks the file (YAML); certificates are loaded later, by the TLS context.
WebConfigResult read_web_config(const std::string& path);

// The same for a text already read; path names the file in errors and anchors relative names.
WebConfigResult parse_web_config(const std::string& text, const std::string& path);

// "$2a$", "$2b$" or "$2y$", a cost of 04 to 31, "$", then 53 characters of bcrypt's alphabet.
bool is_bcrypt_hash(std::string_view hash);

} // namespace tarn
