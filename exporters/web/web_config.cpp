#include "exporters/web/web_config.h"

#include "exporters/bounded_file.h"

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include <fmt/ranges.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <set>

namespace tarn {
namespace {

// A refusal on its way out of the checks: the key it is about and why.
struct Refusal {
    std::string key;
    std::string reason;
};

using Checked = std::optional<Refusal>;

WebConfigResult refused(const std::string& path, const std::string& key, const std::string& why) {
    return {std::nullopt, fmt::format("Web config {}: {}: {}", path, key, why), {}};
}

bool is_null(const YAML::Node& node) {
    return !node.IsDefined() || node.IsNull();
}

std::string key_text(const YAML::Node& key) {
    return key.IsScalar() ? key.Scalar() : std::string("(not a name)");
}

Checked text_value(const YAML::Node& node, const std::string& key, std::string& out) {
    if (!node.IsScalar())
        return Refusal{key, "expected a single text value"};
    out = node.Scalar();
    return std::nullopt;
}

Checked bool_value(const YAML::Node& node, const std::string& key, bool& out) {
    std::string text;
    if (Checked refusal = text_value(node, key, text))
        return refusal;
    if (text == "true")
        out = true;
    else if (text == "false")
        out = false;
    else
        return Refusal{key, fmt::format("'{}' is not true or false", text)};
    return std::nullopt;
}

Checked list_value(const YAML::Node& node, const std::string& key, std::vector<std::string>& out) {
    if (is_null(node))
        return std::nullopt;
    if (!node.IsSequence())
        return Refusal{key, "expected a list"};
    for (const auto& item : node) {
        std::string text;
        if (Checked refusal = text_value(item, key, text))
            return refusal;
        out.push_back(std::move(text));
    }
    return std::nullopt;
}

// A file name, absolute, or relative to the web config file's directory.
Checked file_value(const YAML::Node& node, const std::string& key, const std::string& directory,
                   std::string& out) {
    if (Checked refusal = text_value(node, key, out))
        return refusal;
    if (out.empty())
        return Refusal{key, "empty file name"};
    if (out[0] != '/' && !directory.empty())
        out = directory + "/" + out;
    return std::nullopt;
}

Checked pem_value(const YAML::Node& node, const std::string& key, std::string& out) {
    if (Checked refusal = text_value(node, key, out))
        return refusal;
    if (out.find("-----BEGIN ") == std::string::npos)
        return Refusal{key, "expected PEM text (-----BEGIN ...)"};
    return std::nullopt;
}

Checked version_value(const YAML::Node& node, const std::string& key, TlsVersion& out) {
    static const std::map<std::string, TlsVersion> kVersions = {{"TLS10", TlsVersion::tls10},
                                                                {"TLS11", TlsVersion::tls11},
                                                                {"TLS12", TlsVersion::tls12},
                                                                {"TLS13", TlsVersion::tls13}};
    std::string text;
    if (Checked refusal = text_value(node, key, text))
        return refusal;
    const auto found = kVersions.find(text);
    if (found == kVersions.end())
        return Refusal{key, fmt::format("'{}' is not TLS10, TLS11, TLS12 or TLS13", text)};
    out = found->second;
    return std::nullopt;
}

Checked client_auth_value(const YAML::Node& node, const std::string& key, ClientAuth& out) {
    static const std::map<std::string, ClientAuth> kPolicies = {
        {"NoClientCert", ClientAuth::none},
        {"RequestClientCert", ClientAuth::request},
        {"RequireAnyClientCert", ClientAuth::require_any},
        {"VerifyClientCertIfGiven", ClientAuth::verify_if_given},
        {"RequireAndVerifyClientCert", ClientAuth::require_and_verify}};
    std::string text;
    if (Checked refusal = text_value(node, key, text))
        return refusal;
    const auto found = kPolicies.find(text);
    if (found == kPolicies.end())
        return Refusal{key, fmt::format("'{}' is not NoClientCert, RequestClientCert, "
                                        "RequireAnyClientCert, VerifyClientCertIfGiven or "
                                        "RequireAndVerifyClientCert",
                                        text)};
    out = found->second;
    return std::nullopt;
}

Checked curves_value(const YAML::Node& node, const std::string& key,
                     std::vector<std::string>& out) {
    static const std::map<std::string, std::string> kCurves = {{"CurveP256", "P-256"},
                                                               {"CurveP384", "P-384"},
                                                               {"CurveP521", "P-521"},
                                                               {"X25519", "X25519"}};
    std::vector<std::string> names;
    if (Checked refusal = list_value(node, key, names))
        return refusal;
    for (const std::string& name : names) {
        const auto found = kCurves.find(name);
        if (found == kCurves.end())
            return Refusal{
                key, fmt::format("'{}' is not CurveP256, CurveP384, CurveP521 or X25519", name)};
        out.push_back(found->second);
    }
    return std::nullopt;
}

// A file form and an inline form of one thing: at most one, and the one given is kept.
Checked one_form(bool file, bool inline_text, const std::string& file_key,
                 const std::string& inline_key) {
    if (file && inline_text)
        return Refusal{"tls_server_config." + inline_key,
                       fmt::format("give {} or {}, not both", file_key, inline_key)};
    return std::nullopt;
}

Checked read_tls(const YAML::Node& node, const std::string& directory, TlsServerSettings& tls) {
    if (!node.IsMap())
        return Refusal{"tls_server_config", "expected a mapping of keys"};
    for (const auto& entry : node) {
        const std::string name = key_text(entry.first);
        const std::string where = "tls_server_config." + name;
        const YAML::Node& value = entry.second;
        Checked refusal;
        if (name == "cert_file")
            refusal = file_value(value, where, directory, tls.cert_file);
        else if (name == "key_file")
            refusal = file_value(value, where, directory, tls.key_file);
        else if (name == "client_ca_file")
            refusal = file_value(value, where, directory, tls.client_ca_file);
        else if (name == "cert")
            refusal = pem_value(value, where, tls.cert);
        else if (name == "key")
            refusal = pem_value(value, where, tls.key);
        else if (name == "client_ca")
            refusal = pem_value(value, where, tls.client_ca);
        else if (name == "client_auth_type")
            refusal = client_auth_value(value, where, tls.client_auth);
        else if (name == "client_allowed_sans")
            refusal = list_value(value, where, tls.client_allowed_sans);
        else if (name == "min_version")
            refusal = version_value(value, where, tls.min_version);
        else if (name == "max_version")
            refusal = version_value(value, where, tls.max_version);
        else if (name == "cipher_suites")
            refusal = list_value(value, where, tls.cipher_suites);
        else if (name == "prefer_server_cipher_suites")
            refusal = bool_value(value, where, tls.prefer_server_cipher_suites);
        else if (name == "curve_preferences")
            refusal = curves_value(value, where, tls.curves);
        else
            refusal = Refusal{where, "unknown key"};
        if (refusal)
            return refusal;
    }
    if (Checked refusal = one_form(!tls.cert_file.empty(), !tls.cert.empty(), "cert_file", "cert"))
        return refusal;
    if (Checked refusal = one_form(!tls.key_file.empty(), !tls.key.empty(), "key_file", "key"))
        return refusal;
    if (Checked refusal = one_form(!tls.client_ca_file.empty(), !tls.client_ca.empty(),
                                   "client_ca_file", "client_ca"))
        return refusal;
    if (tls.cert_file.empty() && tls.cert.empty())
        return Refusal{"tls_server_config.cert_file", "missing (or cert)"};
    if (tls.key_file.empty() && tls.key.empty())
        return Refusal{"tls_server_config.key_file", "missing (or key)"};
    const bool has_ca = !tls.client_ca_file.empty() || !tls.client_ca.empty();
    const bool verifies = tls.client_auth == ClientAuth::verify_if_given ||
                          tls.client_auth == ClientAuth::require_and_verify;
    // A CA without a policy that uses it would let every client in while looking as if it did not.
    if (verifies && !has_ca)
        return Refusal{"tls_server_config.client_ca_file",
                       "missing, and a client auth type that verifies certificates needs it"};
    if (tls.client_auth == ClientAuth::none && has_ca)
        return Refusal{"tls_server_config.client_auth_type",
                       "client_ca_file is given but no client certificate is asked for"};
    if (!tls.client_allowed_sans.empty() && tls.client_auth != ClientAuth::require_and_verify)
        return Refusal{"tls_server_config.client_allowed_sans",
                       "needs client_auth_type RequireAndVerifyClientCert"};
    if (tls.min_version > tls.max_version)
        return Refusal{"tls_server_config.min_version", "above max_version"};
    return std::nullopt;
}

// The headers the exporters allow, and the values some of them must have.
Checked read_headers(const YAML::Node& node,
                     std::vector<std::pair<std::string, std::string>>& headers) {
    static const std::map<std::string, std::vector<std::string>> kAllowed = {
        {"Content-Security-Policy", {}},
        {"X-Frame-Options", {"deny", "sameorigin"}},
        {"X-Content-Type-Options", {"nosniff"}},
        {"X-XSS-Protection", {}},
        {"Strict-Transport-Security", {}}};
    if (is_null(node))
        return std::nullopt;
    if (!node.IsMap())
        return Refusal{"http_server_config.headers", "expected a mapping of header names"};
    for (const auto& entry : node) {
        const std::string name = key_text(entry.first);
        const std::string where = "http_server_config.headers." + name;
        const auto allowed = kAllowed.find(name);
        if (allowed == kAllowed.end())
            return Refusal{where, "not a header that can be set (Content-Security-Policy, "
                                  "X-Frame-Options, X-Content-Type-Options, X-XSS-Protection, "
                                  "Strict-Transport-Security)"};
        std::string value;
        if (!is_null(entry.second))
            if (Checked refusal = text_value(entry.second, where, value))
                return refusal;
        // A line break would let the value add headers of its own.
        if (std::any_of(value.begin(), value.end(),
                        [](char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\t'; }))
            return Refusal{where, "a header value cannot hold control characters"};
        std::string lower = value;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (!value.empty() && !allowed->second.empty() &&
            std::find(allowed->second.begin(), allowed->second.end(), lower) ==
                allowed->second.end())
            return Refusal{
                where, fmt::format("'{}' is not {}", value, fmt::join(allowed->second, " or "))};
        if (!value.empty()) // a blank value leaves the header out
            headers.emplace_back(name, value);
    }
    return std::nullopt;
}

Checked read_http(const YAML::Node& node, WebConfig& config) {
    if (!node.IsMap())
        return Refusal{"http_server_config", "expected a mapping of keys"};
    for (const auto& entry : node) {
        const std::string name = key_text(entry.first);
        Checked refusal;
        if (name == "http2")
            refusal = bool_value(entry.second, "http_server_config.http2", config.http2_asked);
        else if (name == "headers")
            refusal = read_headers(entry.second, config.headers);
        else
            refusal = Refusal{"http_server_config." + name, "unknown key"};
        if (refusal)
            return refusal;
    }
    return std::nullopt;
}

Checked read_rate_limit(const YAML::Node& node, RateLimitSettings& limit) {
    if (!node.IsMap())
        return Refusal{"rate_limit", "expected a mapping of keys"};
    for (const auto& entry : node) {
        const std::string name = key_text(entry.first);
        const std::string where = "rate_limit." + name;
        std::string text;
        if (name != "interval" && name != "burst")
            return Refusal{where, "unknown key"};
        if (Checked refusal = text_value(entry.second, where, text))
            return refusal;
        if (name == "interval") {
            const auto interval = parse_go_duration(text);
            if (!interval)
                return Refusal{where,
                               fmt::format("'{}' is not a duration such as 1s or 250ms", text)};
            limit.interval = *interval;
        } else {
            char* end = nullptr;
            errno = 0;
            const long burst = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end != '\0' || errno != 0 || burst < 0 || burst > 1000000)
                return Refusal{where,
                               fmt::format("'{}' is not a whole number of 0 to 1000000", text)};
            limit.burst = static_cast<int>(burst);
        }
    }
    // A bucket that holds no token would refuse every request.
    if (limit.interval.count() > 0 && limit.burst < 1)
        return Refusal{"rate_limit.burst", "must be at least 1 when interval is set"};
    return std::nullopt;
}

int bcrypt_cost(const std::string& hash) {
    return (hash[4] - '0') * 10 + (hash[5] - '0');
}

// htpasswd prints "user:hash"; pasted as is it reads as one text, not as a mapping.
bool looks_like_htpasswd(const std::string& text) {
    const std::size_t colon = text.find(':');
    return colon != std::string::npos && text.compare(colon + 1, 2, "$2") == 0;
}

constexpr const char* kHtpasswdHint =
    "write each user as 'user: hash' (a mapping, a space after the colon), not htpasswd's "
    "'user:hash' line";

Checked read_users(const YAML::Node& node, std::map<std::string, std::string>& users) {
    if (node.IsSequence() || node.IsScalar()) {
        const std::string first = node.IsScalar()                         ? node.Scalar()
                                  : node.size() > 0 && node[0].IsScalar() ? node[0].Scalar()
                                                                          : std::string();
        if (looks_like_htpasswd(first))
            return Refusal{"basic_auth_users", kHtpasswdHint};
    }
    if (!node.IsMap())
        return Refusal{"basic_auth_users", "expected a mapping of user names to bcrypt hashes"};
    for (const auto& entry : node) {
        const std::string name = key_text(entry.first);
        const std::string where = "basic_auth_users." + name;
        if (!entry.first.IsScalar() || name.empty())
            return Refusal{"basic_auth_users", "a user name must be a non-empty text"};
        if (looks_like_htpasswd(name))
            return Refusal{"basic_auth_users", kHtpasswdHint};
        // Basic credentials split at the first ':', so such a name could never log in.
        if (name.find(':') != std::string::npos)
            return Refusal{where, "a user name cannot hold ':'"};
        std::string hash;
        if (Checked refusal = text_value(entry.second, where, hash))
            return refusal;
        if (!is_bcrypt_hash(hash))
            return Refusal{where, "not a bcrypt hash ($2a$, $2b$ or $2y$, as htpasswd -B makes)"};
        if (bcrypt_cost(hash) > kMaxBcryptCost)
            return Refusal{where,
                           fmt::format("bcrypt cost {} is above {}, the most accepted (one check "
                                       "would take seconds); make the hash with htpasswd -nBC 12",
                                       bcrypt_cost(hash), kMaxBcryptCost)};
        users.emplace(name, hash);
    }
    return std::nullopt;
}

// YAML takes a key given twice and keeps both; which one a reader honours is an accident of its
// order, so a second client_auth_type could turn client certificates off unseen. Every mapping is
// looked at, at any depth.
Checked repeated_key(const YAML::Node& node, const std::string& where) {
    const auto inside = [&where](const std::string& key) {
        return where.empty() ? key : where + "." + key;
    };
    if (node.IsSequence()) {
        for (const auto& item : node)
            if (Checked refusal = repeated_key(item, where))
                return refusal;
    }
    if (!node.IsMap())
        return std::nullopt;
    std::map<std::string, int> lines;
    for (const auto& entry : node) {
        const std::string name = key_text(entry.first);
        const int line = entry.first.Mark().line + 1;
        if (const auto [first, fresh] = lines.emplace(name, line); !fresh)
            return Refusal{inside(name),
                           first->second == line
                               ? fmt::format("given twice (line {})", line)
                               : fmt::format("given twice (lines {} and {})", first->second, line)};
        if (Checked refusal = repeated_key(entry.second, inside(name)))
            return refusal;
    }
    return std::nullopt;
}

// YAML refuses tabs in indentation with a message about something else; say what it is.
std::string yaml_reason(const std::string& text, const YAML::Exception& error) {
    std::size_t start = 0;
    for (int line = 0; start < text.size(); ++line) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::size_t first = text.find_first_not_of(' ', start);
        if (first < end && text[first] == '\t' && line <= error.mark.line)
            return fmt::format("line {}: tabs are not allowed for indentation; use spaces",
                               line + 1);
        start = end + 1;
    }
    return fmt::format("line {}, column {}: {}", error.mark.line + 1, error.mark.column + 1,
                       error.msg);
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

} // namespace

bool is_bcrypt_hash(std::string_view hash) {
    constexpr std::size_t kLength = 60;
    if (hash.size() != kLength || hash.substr(0, 2) != "$2" || hash[3] != '$' || hash[6] != '$')
        return false;
    if (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y')
        return false;
    if (hash[4] < '0' || hash[4] > '3' || hash[5] < '0' || hash[5] > '9')
        return false;
    const int cost = (hash[4] - '0') * 10 + (hash[5] - '0');
    if (cost < 4 || cost > 31)
        return false;
    return std::all_of(hash.begin() + 7, hash.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '/';
    });
}

std::optional<std::chrono::nanoseconds> parse_go_duration(std::string_view text) {
    static const std::vector<std::pair<std::string_view, std::int64_t>> kUnits = {
        {"ns", 1},         {"us", 1000},       {"\u00b5s", 1000},   {"ms", 1000000},
        {"s", 1000000000}, {"m", 60000000000}, {"h", 3600000000000}};
    if (text == "0")
        return std::chrono::nanoseconds(0);
    if (text.empty())
        return std::nullopt;
    double total = 0;
    while (!text.empty()) {
        std::size_t digits = 0;
        while (digits < text.size() &&
               (std::isdigit(static_cast<unsigned char>(text[digits])) || text[digits] == '.'))
            ++digits;
        if (digits == 0)
            return std::nullopt;
        const std::string number(text.substr(0, digits));
        char* end = nullptr;
        const double value = std::strtod(number.c_str(), &end);
        if (*end != '\0')
            return std::nullopt;
        text.remove_prefix(digits);
        std::int64_t scale = 0;
        for (const auto& [unit, nanoseconds] : kUnits) { // two-letter units first: "ms" is no "m"
            if (text.substr(0, unit.size()) == unit) {
                scale = nanoseconds;
                text.remove_prefix(unit.size());
                break;
            }
        }
        if (scale == 0)
            return std::nullopt;
        total += value * static_cast<double>(scale);
    }
    if (total > 3.6e15) // a thousand hours
        return std::nullopt;
    return std::chrono::nanoseconds(static_cast<std::int64_t>(total));
}

std::vector<std::string> WebConfig::named_files() const {
    std::vector<std::string> files;
    if (tls) {
        for (const std::string* file : {&tls->cert_file, &tls->key_file, &tls->client_ca_file})
            if (!file->empty())
                files.push_back(*file);
    }
    return files;
}

WebConfigResult parse_web_config(const std::string& text, const std::string& path) {
    YAML::Node root;
    try {
        root = YAML::Load(text);
    } catch (const YAML::Exception& error) {
        return {std::nullopt, fmt::format("Web config {}: {}", path, yaml_reason(text, error)), {}};
    }
    WebConfig config;
    if (is_null(root))
        return {config, {}, {}}; // an empty file: nothing asked for
    if (!root.IsMap())
        return refused(path, "(top level)", "expected a mapping of keys");
    const std::string directory = directory_of(path);
    try {
        if (Checked refusal = repeated_key(root, ""))
            return refused(path, refusal->key, refusal->reason);
        for (const auto& entry : root) {
            const std::string name = key_text(entry.first);
            Checked refusal;
            if (name == "tls_server_config") {
                if (!is_null(entry.second)) {
                    config.tls.emplace();
                    refusal = read_tls(entry.second, directory, *config.tls);
                }
            } else if (name == "basic_auth_users") {
                if (!is_null(entry.second))
                    refusal = read_users(entry.second, config.users);
            } else if (name == "http_server_config") {
                if (!is_null(entry.second))
                    refusal = read_http(entry.second, config);
            } else if (name == "rate_limit") {
                if (!is_null(entry.second))
                    refusal = read_rate_limit(entry.second, config.rate_limit);
            } else {
                refusal = Refusal{name, "unknown key"};
            }
            if (refusal)
                return refused(path, refusal->key, refusal->reason);
        }
    } catch (const YAML::Exception& error) {
        return refused(path, "(document)", error.what());
    }
    WebConfigResult result{std::move(config), {}, {}};
    std::set<int> costs;
    for (const auto& [user, hash] : result.config->users)
        costs.insert(bcrypt_cost(hash));
    if (costs.size() > 1)
        result.warnings.push_back(fmt::format(
            "Web config {}: basic_auth_users: the users' bcrypt costs differ ({}): the time of a "
            "refusal tells which user names exist; make every hash at one cost",
            path, fmt::join(costs, ", ")));
    return result;
}

WebConfigResult read_web_config(const std::string& path) {
    BoundedFile file = read_bounded_file(path, kMaxWebConfigBytes);
    if (!file.text)
        return refused(path, "(file)", "cannot read it: " + file.error);
    return parse_web_config(*file.text, path);
}

} // namespace tarn
