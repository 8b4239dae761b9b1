#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tarn {

struct DaemonConfig {
    bool prometheus_enabled = true;
    std::string listen_address = "127.0.0.1:9273";
    std::string metrics_prefix = "tarn_vm";
    bool influx_enabled = true;
    std::string influx_user;
    std::string influx_password;
    std::string influx_url;
    std::string influx_database;
    std::int32_t interval_seconds = 10;
};

struct ConfigError {
    int parse_error; // -1: file not readable, otherwise the first bad line
};

struct ConfigResult {
    std::optional<DaemonConfig> config;
    ConfigError error{0};
};

// Reads the INI file once; logs and returns the parse error when it cannot be used.
ConfigResult load_config(const std::string& path);

} // namespace tarn
