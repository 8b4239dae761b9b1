#include "daemon/config.h"

#include "daemon/config_text.h"
#include "exporters/bounded_file.h"
#include "exporters/influx/influx_endpoint.h"

#include <INIReader.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <ini.h>
#include <spdlog/spdlog.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <utility>
#include <variant>
#include <vector>

namespace tarn {
namespace {

// Where a key's value goes; its type decides how the text is read.
using Target =
    std::variant<bool DaemonConfig::*, std::string DaemonConfig::*, std::int32_t DaemonConfig::*>;

// Runs once the key's value is in place (keys are read in table order); false refuses the
// configuration, after logging why.
using Check = bool (*)(DaemonConfig&);

struct ConfigKey {
    const char* section;
    const char* name;
    Target target;
    Check check = nullptr;
    bool file = false; // a path, relative to the config file's folder
};

bool check_metrics_prefix(DaemonConfig& config) {
    if (valid_metric_name_start(config.metrics_prefix))
        return true;
    const bool digit_first = std::isdigit(static_cast<unsigned char>(config.metrics_prefix[0]));
    spdlog::error("metrics_prefix '{}' is not a valid metric name start: {}", config.metrics_prefix,
                  digit_first ? "it must not begin with a digit"
                              : "only letters, digits, '_' and ':' are allowed");
    return false;
}

// HTTP Basic authentication splits the credentials at the first ':', so such a name can never
// log in; refusing it beats a 401 on every post.
bool check_influx_user(DaemonConfig& config) {
    if (!config.influx_enabled || config.influx_user.find(':') == std::string::npos)
        return true;
    // Not shown: what follows the ':' may well be a password.
    spdlog::error("[influx] user contains ':', which HTTP Basic authentication cannot carry");
    return false;
}

bool clamp_interval(DaemonConfig& config) {
    if (config.interval_seconds <= 0) {
        spdlog::warn("interval={} is invalid (must be >= 1s); clamping to {}",
                     config.interval_seconds, 1);
        config.interval_seconds = 1;
    }
    return true;
}

bool https_url(const DaemonConfig& config) {
    return url_scheme(config.influx_url) == UrlScheme::https;
}

// Found here, a bad url names itself once; at the first post, libcurl's "URL using bad/illegal
// format" would name neither key nor value, every interval. Empty stays allowed as before, with
// a warning, since every post then fails.
bool check_influx_url(DaemonConfig& config) {
    if (!config.influx_enabled)
        return true;
    if (config.influx_url.empty()) {
        spdlog::warn("[influx] is enabled without a url: every post will fail until url is set");
        return true;
    }
    if (url_scheme(config.influx_url) == UrlScheme::other) {
        spdlog::error("[influx] url begins with '{}://': only http:// and https:// are supported",
                      config.influx_url.substr(0, config.influx_url.find("://")));
        return false;
    }
    const std::string problem = url_problem(config.influx_url);
    if (problem.empty())
        return true;
    spdlog::error("[influx] url = '{}' is invalid: {}", url_for_messages(config.influx_url),
                  problem);
    return false;
}

// A line break in a header would end the request's headers early.
bool check_influx_token(DaemonConfig& config) {
    const std::string& token = config.influx_token;
    if (!config.influx_enabled ||
        std::none_of(token.begin(), token.end(), [](unsigned char c) { return std::iscntrl(c); }))
        return true;
    spdlog::error("[influx] token contains a control character, which an HTTP header cannot carry");
    return false;
}

// A token selects the v2 write API, which names a bucket instead of a database.
bool check_influx_api(DaemonConfig& config) {
    if (!config.influx_enabled)
        return true;
    if (config.influx_token.empty()) {
        if (!config.influx_org.empty() || !config.influx_bucket.empty())
            spdlog::warn("[influx] org and bucket are used only with a token; ignored");
        return true;
    }
    if (config.influx_bucket.empty()) {
        spdlog::error("[influx] token is set but bucket is empty: the v2 write API needs a bucket");
        return false;
    }
    std::vector<std::string> unused;
    for (const auto& [name, value] : {std::pair{"user", &config.influx_user},
                                      {"password", &config.influx_password},
                                      {"database", &config.influx_database},
                                      {"retention_policy", &config.influx_retention_policy}})
        if (!value->empty())
            unused.emplace_back(name);
    if (!unused.empty())
        spdlog::warn("[influx] token is set, so {} {} not used", fmt::join(unused, ", "),
                     unused.size() == 1 ? "is" : "are");
    return true;
}

// A line count of [influx] (checked only with Influx on): below `minimum` it is refused, above
// `maximum` clamped with a warning.
bool check_line_count(const DaemonConfig& config, std::int32_t& value, const char* key,
                      std::int32_t minimum, std::int32_t maximum, const char* rule) {
    if (!config.influx_enabled)
        return true;
    if (value < minimum) {
        spdlog::error("[influx] {} = {} is invalid: it must be {}", key, value, rule);
        return false;
    }
    if (value > maximum) {
        spdlog::warn("{}={} is too large (at most {} lines); clamping to {}", key, value, maximum,
                     maximum);
        value = maximum;
    }
    return true;
}

bool check_batch_size(DaemonConfig& config) {
    return check_line_count(config, config.influx_batch_size, "batch_size", 1, kMaxInfluxBatchSize,
                            "at least 1 line");
}

bool check_buffer_limit(DaemonConfig& config) {
    return check_line_count(config, config.influx_buffer_limit, "buffer_limit", 0,
                            kMaxInfluxBufferLimit, "0 (no buffer) or more lines");
}

// A folder that is missing or read-only would fail every write of the buffer file; the folder
// is the operator's (the port creates it), so the start refuses it instead.
bool check_buffer_file(DaemonConfig& config) {
    std::string& path = config.influx_buffer_file;
    if (!config.influx_enabled || path.empty())
        return true;
    if (config.influx_buffer_limit == 0) {
        spdlog::warn("[influx] buffer_file is used only with a buffer_limit above 0; ignored");
        path.clear();
        return true;
    }
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    struct stat status {};
    if (::stat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        spdlog::error("[influx] buffer_file = '{}': the folder '{}' does not exist", path, folder);
        return false;
    }
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        spdlog::error("[influx] buffer_file = '{}': the folder '{}' cannot be written: {}", path,
                      folder, std::strerror(errno));
        return false;
    }
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        spdlog::error("[influx] buffer_file = '{}' is not a regular file", path);
        return false;
    }
    return true;
}

bool check_timeout(DaemonConfig& config) {
    if (!config.influx_enabled || (config.influx_timeout_seconds >= 1 &&
                                   config.influx_timeout_seconds <= kMaxInfluxTimeoutSeconds))
        return true;
    spdlog::error("[influx] timeout = {} is invalid: it must be 1 to {} seconds",
                  config.influx_timeout_seconds, kMaxInfluxTimeoutSeconds);
    return false;
}

// libcurl would only find a bad file at the first post, and then at every one.
bool check_ca_file(DaemonConfig& config) {
    const std::string& path = config.influx_ca_file;
    if (!config.influx_enabled || path.empty())
        return true;
    if (!https_url(config)) {
        spdlog::warn("[influx] ca_file is used only with an https:// url; ignored");
        return true;
    }
    const BoundedFile file = read_bounded_file(path, kMaxPemFileBytes);
    if (!file.text) {
        spdlog::error("[influx] ca_file '{}' cannot be read: {}", path, file.error);
        return false;
    }
    if (file.text->find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
        spdlog::error("[influx] ca_file '{}' holds no PEM certificate", path);
        return false;
    }
    return true;
}

bool check_insecure_skip_verify(DaemonConfig& config) {
    if (!config.influx_enabled || !config.influx_insecure_skip_verify)
        return true;
    if (https_url(config))
        spdlog::warn("[influx] insecure_skip_verify = true: the InfluxDB server's certificate and "
                     "host name are not verified");
    else
        spdlog::warn("[influx] insecure_skip_verify is used only with an https:// url; ignored");
    return true;
}

// Every key the daemon knows, in the order it reads them.
const ConfigKey kKeys[] = {
    {"prometheus", "enabled", &DaemonConfig::prometheus_enabled},
    {"prometheus", "listen", &DaemonConfig::listen_address},
    {"prometheus", "metrics_prefix", &DaemonConfig::metrics_prefix, check_metrics_prefix},
    {"prometheus", "web_config_file", &DaemonConfig::web_config_file, nullptr, true},
    {"prometheus", "gzip", &DaemonConfig::prometheus_gzip},
    {"prometheus", "self_metrics", &DaemonConfig::self_metrics},
    {"influx", "enabled", &DaemonConfig::influx_enabled},
    {"influx", "user", &DaemonConfig::influx_user, check_influx_user},
    {"influx", "password", &DaemonConfig::influx_password},
    {"influx", "url", &DaemonConfig::influx_url, check_influx_url},
    {"influx", "database", &DaemonConfig::influx_database},
    {"influx", "interval", &DaemonConfig::interval_seconds, clamp_interval},
    {"influx", "retention_policy", &DaemonConfig::influx_retention_policy},
    {"influx", "token", &DaemonConfig::influx_token, check_influx_token},
    {"influx", "org", &DaemonConfig::influx_org},
    {"influx", "bucket", &DaemonConfig::influx_bucket, check_influx_api},
    {"influx", "batch_size", &DaemonConfig::influx_batch_size, check_batch_size},
    {"influx", "buffer_limit", &DaemonConfig::influx_buffer_limit, check_buffer_limit},
    {"influx", "buffer_file", &DaemonConfig::influx_buffer_file, check_buffer_file, true},
    {"influx", "gzip", &DaemonConfig::influx_gzip},
    {"influx", "timeout", &DaemonConfig::influx_timeout_seconds, check_timeout},
    {"influx", "ca_file", &DaemonConfig::influx_ca_file, check_ca_file},
    {"influx", "insecure_skip_verify", &DaemonConfig::influx_insecure_skip_verify,
     check_insecure_skip_verify},
};

bool known_section(const std::string& section) {
    return std::any_of(std::begin(kKeys), std::end(kKeys),
                       [&](const ConfigKey& key) { return section == key.section; });
}

bool known_key(const std::string& section, const std::string& name) {
    return std::any_of(std::begin(kKeys), std::end(kKeys), [&](const ConfigKey& key) {
        return section == key.section && name == key.name;
    });
}

// A typo in a key name would otherwise keep its default without a word.
void warn_unknown_names(const std::string& path, const std::string& text) {
    std::vector<std::pair<std::string, std::string>> names;
    ::ini_parse_string(
        text.c_str(),
        [](void* user, const char* section, const char* name, const char*) -> int {
            static_cast<decltype(names)*>(user)->emplace_back(lower_case(section),
                                                              lower_case(name));
            return 1;
        },
        &names);
    std::set<std::pair<std::string, std::string>> warned;
    for (const auto& [section, name] : names) {
        if (!known_section(section)) {
            if (warned.emplace(section, "").second)
                spdlog::warn("{}: unknown section [{}] ignored", path, section);
        } else if (!known_key(section, name) && warned.emplace(section, name).second) {
            spdlog::warn("{}: unknown key [{}] {} ignored", path, section, name);
        }
    }
}

// Quotes are not INI syntax: `database = "tarn"` names the database "tarn" with its quotes,
// which the server then does not know. The value is not shown, as it may be a password.
void warn_quoted_text(const ConfigKey& key, const std::string& text) {
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front())
        spdlog::warn("[{}] {}: the value is wrapped in quotes, which are kept as part of it; "
                     "write it without them",
                     key.section, key.name);
}

bool boolean_spelling(const std::string& text) {
    static const char* const kSpellings[] = {"true", "yes", "on", "1", "false", "no", "off", "0"};
    const std::string lowered = lower_case(text);
    return std::any_of(std::begin(kSpellings), std::end(kSpellings),
                       [&](const char* spelling) { return lowered == spelling; });
}

// 010 and 0x1e are read as octal and hexadecimal, which a reader of the file may not expect;
// said when that reading differs from the decimal one.
void warn_integer_base(const ConfigKey& key, const std::string& text, long value) {
    if (std::strtol(text.c_str(), nullptr, 0) == std::strtol(text.c_str(), nullptr, 10))
        return;
    const std::string digits =
        lower_case(text.substr(std::min(text.find_first_not_of("+-"), text.size())));
    const std::string_view name = key.name;
    spdlog::warn("[{}] {} = {} is read as {}: {}{}", key.section, key.name, text,
                 digits.starts_with("0x") ? "hexadecimal" : "octal", value,
                 name == "interval" || name == "timeout" ? " s" : " lines");
}

// The value as strtol in base 0 takes it (what the reader uses), and whether all of it was a
// number.
bool whole_number(const std::string& text) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    std::strtol(text.c_str(), &end, 0);
    return end != text.c_str() && *end == '\0';
}

void read_key(const INIReader& reader, const ConfigKey& key, DaemonConfig& config) {
    if (!reader.HasValue(key.section, key.name))
        return; // the default stays
    const std::string text = reader.Get(key.section, key.name, "");
    std::visit(
        [&](auto member) {
            using Value = std::remove_reference_t<decltype(config.*member)>;
            Value& value = config.*member;
            if constexpr (std::is_same_v<Value, bool>) {
                value = reader.GetBoolean(key.section, key.name, value);
                if (!boolean_spelling(text))
                    spdlog::warn("[{}] {} = '{}' is not a boolean (true/false, yes/no, on/off, "
                                 "1/0); using {}",
                                 key.section, key.name, text, value);
            } else if constexpr (std::is_same_v<Value, std::string>) {
                value = text;
                warn_quoted_text(key, text);
            } else {
                // Beyond the 32-bit range a value saturates instead of wrapping to another one.
                const long read = reader.GetInteger(key.section, key.name, value);
                value = static_cast<Value>(std::clamp<long>(read, std::numeric_limits<Value>::min(),
                                                            std::numeric_limits<Value>::max()));
                warn_integer_base(key, text, value);
                if (!whole_number(text))
                    spdlog::warn("[{}] {} = '{}' is not a whole number; using {}", key.section,
                                 key.name, text, value);
            }
        },
        key.target);
}

} // namespace

bool valid_metric_name_start(const std::string& prefix) {
    if (!prefix.empty() && std::isdigit(static_cast<unsigned char>(prefix[0])))
        return false;
    return std::all_of(prefix.begin(), prefix.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '_' || c == ':'; });
}

ConfigResult load_config(const std::string& path) {
    // Read once, so that the checks and the reader see the same text; a directory, a FIFO or a
    // device is refused by name rather than read as empty or waited on.
    const BoundedFile file = read_bounded_file(path, kMaxConfigBytes);
    if (!file.text) {
        spdlog::error("Cannot parse config {} (error={})", path, -1);
        spdlog::error("Cannot read config {}: {}", path, file.error);
        return {std::nullopt, {-1}};
    }
    const std::string& text = *file.text;
    // Every finding in one run, so that one edit can mend them all.
    const std::vector<std::string> problems = config_text_problems(path, text, known_key);
    for (const std::string& problem : problems)
        spdlog::error("{}", problem);
    if (!problems.empty())
        return {std::nullopt, {0}};
    INIReader reader(text.c_str(), text.size());
    if (int error = reader.ParseError(); error != 0) {
        spdlog::error("Cannot parse config {} (error={})", path, error);
        return {std::nullopt, {error}};
    }
    warn_unknown_names(path, text);
    DaemonConfig config;
    for (const ConfigKey& key : kKeys) {
        read_key(reader, key, config);
        // Relative to the config file's folder, wherever the daemon was started from.
        if (key.file) {
            std::string& file = config.*std::get<std::string DaemonConfig::*>(key.target);
            if (!file.empty() && file[0] != '/' && path.find('/') != std::string::npos)
                file = path.substr(0, path.rfind('/') + 1) + file;
        }
        if (key.check != nullptr && !key.check(config))
            return {std::nullopt, {0}};
    }
    return {config, {0}};
}

} // namespace tarn
