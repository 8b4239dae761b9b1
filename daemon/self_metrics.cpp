#include "daemon/self_metrics.h"

#include "daemon/version.h"
#include "metrics/health_figures.h"

#include <fmt/format.h>

namespace tarn {

std::string unix_seconds_text(const std::string& timestamp_ns) {
    std::string digits = timestamp_ns;
    if (digits.size() < 10)
        digits.insert(0, 10 - digits.size(), '0');
    const std::size_t seconds = digits.size() - 9;
    return digits.substr(0, seconds) + "." + digits.substr(seconds, 6);
}

void add_self_metrics(std::vector<MetricSample>& samples, const std::string& hostname,
                      const FeedFigures& feed) {
    HealthFigures& figures = health_figures();
    figures.set("build_info", "1", {{"version", kVersion}});
    figures.set("collection_duration_seconds",
                fmt::format("{:.6f}", static_cast<double>(feed.collection_ns) / 1e9));
    figures.set("collection_end_timestamp_seconds", unix_seconds_text(feed.collection_end));
    figures.set("collection_interval_seconds", std::to_string(feed.interval_seconds));
    if (feed.influx != nullptr) {
        const InfluxCounters& influx = *feed.influx;
        figures.set_count("influx_lines_sent", influx.sent);
        figures.set_count("influx_lines_refused", influx.refused);
        figures.set_count("influx_lines_dropped", influx.not_sent, {{"reason", "no_buffer"}});
        figures.set_count("influx_lines_dropped", influx.dropped_buffer_full,
                          {{"reason", "buffer_full"}});
        figures.set("influx_lines_buffered", std::to_string(influx.buffered));
        figures.set("influx_buffer_limit_lines", std::to_string(feed.influx_buffer_limit));
        if (influx.file != nullptr) {
            const InfluxSpoolFigures file = influx.file->figures();
            figures.set("influx_buffer_file_lines", std::to_string(file.lines));
            figures.set("influx_buffer_file_bytes", std::to_string(file.bytes));
            figures.set_count("influx_buffer_file_write_failures", file.write_failures);
            figures.set_count("influx_buffer_files_set_aside", file.set_aside);
        }
    }
    std::vector<MetricSample> own = figures.samples(hostname);
    samples.reserve(samples.size() + own.size());
    std::move(own.begin(), own.end(), std::back_inserter(samples));
}

} // namespace tarn
