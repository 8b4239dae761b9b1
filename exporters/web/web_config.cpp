#include "exporters/web/web_config.h"

#include <fmt/format.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

namespace tarn {
namespace {

// A refusal on its way out of the checks: the key it is about and why.
struct Refusal {
    std::string key;
    std::string reason;
};

using Checked = std::optional<Refusal>;

WebConfigResult refused(const std::string& path, const std::string& key, const std::string& why) {
    return {std::nullopt, fmt::format("Web config {}: {}: {}", path, key, why)};
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

Checked version_value(const YAML::Node& node, const std::string& key, TlsVersion& out) {
    std::string text;
    if (Checked refusal = text_value(node, key, text))
        return refusal;
    if (text == "TLS12")
        out = TlsVersion::tls12;
    else if (text == "TLS13")
        out = TlsVersion::tls13;
    else
        return Refusal{key, fmt::format("'{}' is not TLS12 or TLS13", text)};
    return std::nullopt;
}

Checked read_tls(const YAML::Node& node, const std::string& directory, TlsServerSettings& tls) {
    if (!node.IsMap())
        return Refusal{"tls_server_config", "expected a mapping of keys"};
    bool cert = false, key = false;
    std::string client_auth;
    for (const auto& entry : node) {
        const std::string name = key_text(entry.first);
        const std::string where = "tls_server_config." + name;
        const YAML::Node& value = entry.second;
        Checked refusal;
        if (name == "cert_file")
            refusal = file_value(value, where, directory, tls.cert_file), cert = true;
        else if (name == "key_file")
            refusal = file_value(value, where, directory, tls.key_file), key = true;
        else if (name == "client_ca_file")
            refusal = file_value(value, where, directory, tls.client_ca_file);
        else if (name == "client_auth_type")
            refusal = text_value(value, where, client_auth);
        else if (name == "min_version")
            refusal = version_value(value, where, tls.min_version);
        else if (name == "max_version")
            refusal = version_value(value, where, tls.max_version);
        else
            refusal = Refusal{where, "unknown key"};
        if (refusal)
            return refusal;
    }
    if (!cert)
        return Refusal{"tls_server_config.cert_file", "missing"};
    if (!key)
        return Refusal{"tls_server_config.key_file", "missing"};
    if (client_auth == "RequireAndVerifyClientCert")
        tls.client_auth = ClientAuth::require_and_verify;
    else if (client_auth.empty() || client_auth == "NoClientCert")
        tls.client_auth = ClientAuth::none;
    else
        return Refusal{
            "tls_server_config.client_auth_type",
            fmt::format("'{}' is not NoClientCert or RequireAndVerifyClientCert", client_auth)};
    // A CA without a policy that uses it would let every client in while looking as if it did not.
    if (tls.client_auth == ClientAuth::require_and_verify && tls.client_ca_file.empty())
        return Refusal{"tls_server_config.client_ca_file",
                       "missing, and RequireAndVerifyClientCert needs it"};
    if (tls.client_auth == ClientAuth::none && !tls.client_ca_file.empty())
        return Refusal{"tls_server_config.client_auth_type",
                       "client_ca_file is given but no client certificate is asked for"};
    if (tls.min_version > tls.max_version)
        return Refusal{"tls_server_config.min_version", "above max_version"};
    return std::nullopt;
}

Checked read_users(const YAML::Node& node, std::map<std::string, std::string>& users) {
    if (!node.IsMap())
        return Refusal{"basic_auth_users", "expected a mapping of user names to bcrypt hashes"};
    for (const auto& entry : node) {
        const std::string name = key_text(entry.first);
        const std::string where = "basic_auth_users." + name;
        if (!entry.first.IsScalar() || name.empty())
            return Refusal{"basic_auth_users", "a user name must be a non-empty text"};
        // Basic credentials split at the first ':', so such a name could never log in.
        if (name.find(':') != std::string::npos)
            return Refusal{where, "a user name cannot hold ':'"};
        std::string hash;
        if (Checked refusal = text_value(entry.second, where, hash))
            return refusal;
        if (!is_bcrypt_hash(hash))
            return Refusal{where, "not a bcrypt hash ($2a$, $2b$ or $2y$, as htpasswd -B makes)"};
        if (!users.emplace(name, hash).second)
            return Refusal{where, "given twice"};
    }
    return std::nullopt;
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

WebConfigResult parse_web_config(const std::string& text, const std::string& path) {
    YAML::Node root;
    try {
        root = YAML::Load(text);
    } catch (const YAML::Exception& error) {
        return refused(
            path, fmt::format("line {}, column {}", error.mark.line + 1, error.mark.column + 1),
            error.msg);
    }
    WebConfig config;
    if (is_null(root))
        return {config, {}}; // an empty file: nothing asked for
    if (!root.IsMap())
        return refused(path, "(top level)", "expected a mapping of keys");
    const std::string directory = directory_of(path);
    try {
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
            } else {
                refusal = Refusal{name, "unknown key"};
            }
            if (refusal)
                return refused(path, refusal->key, refusal->reason);
        }
    } catch (const YAML::Exception& error) {
        return refused(path, "(document)", error.what());
    }
    return {std::move(config), {}};
}

WebConfigResult read_web_config(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return refused(path, "(file)", fmt::format("cannot read it: {}", std::strerror(errno)));
    if (!S_ISREG(status.st_mode))
        return refused(path, "(file)", "not a regular file");
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return refused(path, "(file)", fmt::format("cannot read it: {}", std::strerror(errno)));
    std::string text;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed)
        return refused(path, "(file)", fmt::format("cannot read it: {}", std::strerror(error)));
    return parse_web_config(text, path);
}

} // namespace tarn
