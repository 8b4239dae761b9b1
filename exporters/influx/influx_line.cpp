#include "exporters/influx/influx_line.h"

#include <fmt/format.h>

#include <sys/time.h>

namespace tarn {

std::string influx_timestamp() {
    timeval now{};
    ::gettimeofday(&now, nullptr);
    return format_influx_timestamp(now.tv_sec, now.tv_usec);
}

std::string format_influx_timestamp(std::int64_t seconds, std::int64_t microseconds) {
    return fmt::format("{}{:06d}000", seconds, microseconds);
}

std::string influx_line(const MetricSample& sample, const std::string& timestamp) {
    std::string line = sample.measurement;
    for (const auto& [name, value] : sample.labels)
        line += fmt::format(",{}={}", name, value);
    line += ' ';
    bool first = true;
    for (const MetricField& field : sample.fields) {
        line += fmt::format("{}{}={}", first ? "" : ",", field.name, field.value);
        first = false;
    }
    line += fmt::format(" {}", timestamp);
    return line;
}

} // namespace tarn
