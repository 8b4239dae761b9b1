#include "daemon/config.h"

#include <INIReader.h>
#include <spdlog/spdlog.h>

#include <limits>

namespace tarn {

ConfigResult load_config(const std::string& path) {
    INIReader reader(path);
    if (int error = reader.ParseError(); error != 0) {
        spdlog::error("Cannot parse config {} (error={})", path, error);
        return {std::nullopt, {error}};
    }
    DaemonConfig defaults;
    DaemonConfig config;
    config.prometheus_enabled =
        reader.GetBoolean("prometheus", "enabled", defaults.prometheus_enabled);
    config.listen_address = reader.Get("prometheus", "listen", defaults.listen_address);
    config.metrics_prefix = reader.Get("prometheus", "metrics_prefix", defaults.metrics_prefix);
    config.influx_enabled = reader.GetBoolean("influx", "enabled", defaults.influx_enabled);
    config.influx_user = reader.Get("influx", "user", defaults.influx_user);
    config.influx_password = reader.Get("influx", "password", defaults.influx_password);
    config.influx_url = reader.Get("influx", "url", defaults.influx_url);
    config.influx_database = reader.Get("influx", "database", defaults.influx_database);

    // Beyond the 32-bit range the interval saturates instead of wrapping to a different period.
    long interval = reader.GetInteger("influx", "interval", defaults.interval_seconds);
    if (interval > std::numeric_limits<std::int32_t>::max())
        interval = std::numeric_limits<std::int32_t>::max();
    if (interval < std::numeric_limits<std::int32_t>::min())
        interval = std::numeric_limits<std::int32_t>::min();
    config.interval_seconds = static_cast<std::int32_t>(interval);
    if (config.interval_seconds <= 0) {
        spdlog::warn("interval={} is invalid (must be >= 1s); clamping to {}",
                     config.interval_seconds, 1);
        config.interval_seconds = 1;
    }
    return {config, {0}};
}

} // namespace tarn
