#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tarn {

enum class MetricKind : std::int32_t { gauge = 0, counter = 1 };

struct MetricField {
    std::string name;
    std::string value; // already formatted by the producer
    MetricKind kind = MetricKind::gauge;
};

// One measured entity at one moment, shaped like one line-protocol point.
struct MetricSample {
    std::string measurement;
    std::vector<std::pair<std::string, std::string>> labels;
    std::vector<MetricField> fields;

    MetricSample() = default;
    explicit MetricSample(std::string measurement_name)
        : measurement(std::move(measurement_name)) {}

    MetricSample& add_label(std::string name, const std::string& value);
    MetricSample& add_label(std::string name, const char* value);
    MetricSample& add_label(std::string name, std::int32_t value);

    MetricSample& add_gauge(std::string name, std::int32_t value);
    MetricSample& add_gauge(std::string name, std::uint64_t value);
    MetricSample& add_gauge(std::string name, std::string&& value);

    MetricSample& add_counter(std::string name, std::string&& value);
    MetricSample& add_counter(std::string name, std::uint64_t value);
    MetricSample& add_counter(std::string name, double value, int precision);
};

} // namespace tarn
