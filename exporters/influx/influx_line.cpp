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
    // Sized once: a line grown piece by piece holds up to twice its length, and the buffer may
    // keep a hundred thousand of them.
    std::size_t size = sample.measurement.size() + 2 + timestamp.size();
    for (const auto& [name, value] : sample.labels)
        size += 2 + name.size() + value.size();
    for (const MetricField& field : sample.fields)
        size += 2 + field.name.size() + field.value.size();
    std::string line;
    line.reserve(size);
    line += sample.measurement;
    for (const auto& [name, value] : sample.labels)
        line.append(",").append(name).append("=").append(value);
    line += ' ';
    bool first = true;
    for (const MetricField& field : sample.fields) {
        line.append(first ? "" : ",").append(field.name).append("=").append(field.value);
        first = false;
    }
    line.append(" ").append(timestamp);
    return line;
}

} // namespace tarn
