#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tarn {

// Every value the daemon reads from its INI file; the member initialisers are the defaults.
struct DaemonConfig {
    bool prometheus_enabled = true;
    std::string listen_address = "127.0.0.1:9273";
    std::string metrics_prefix = "tarn_vm";
    // The exporters' web config file (TLS, basic auth); empty: plain HTTP, no authentication.
    std::string web_config_file;
    // gzip for scrapers that ask for it; a request that does not gets the plain document anyway.
    bool prometheus_gzip = true;
    bool self_metrics = false; // the daemon's own health figures in the scrape
    bool influx_enabled = true;
    std::string influx_user;
    std::string influx_password;
    std::string influx_url;
    std::string influx_database;
    std::int32_t interval_seconds = 10;
    std::string influx_retention_policy;
    std::string influx_token;
    std::string influx_org;
    std::string influx_bucket;
    std::int32_t influx_batch_size = 1;
    std::int32_t influx_buffer_limit = 0;
    // The buffer kept in this SQLite file too, across restarts; empty: in memory only.
    std::string influx_buffer_file;
    bool influx_gzip = false;
    std::string influx_ca_file;
    bool influx_insecure_skip_verify = false;
    std::int32_t influx_timeout_seconds = 2; // for one POST; connecting has 1 s of it
};

// The largest config file read; the sample is some 5 KiB.
constexpr std::size_t kMaxConfigBytes = std::size_t{1} << 20;

// Bounds of the [influx] sizes; larger values are clamped to them with a warning.
constexpr std::int32_t kMaxInfluxBatchSize = 100000;
constexpr std::int32_t kMaxInfluxBufferLimit = 1000000;
constexpr std::int32_t kMaxInfluxTimeoutSeconds = 60;

struct ConfigError {
    int parse_error; // -1: file not readable, otherwise the first bad line; 0: a value refused
};

struct ConfigResult {
    std::optional<DaemonConfig> config;
    ConfigError error{0};
};

// Reads the INI file once; logs and returns the parse error when it cannot be used, or a value
// that cannot work (error 0).
ConfigResult load_config(const std::string& path);

// True for a text that may begin a Prometheus metric name: letters, digits, '_' and ':', not
// beginning with a digit (empty is allowed: the names then begin with '_').
bool valid_metric_name_start(const std::string& prefix);

} // namespace tarn
