#include "metrics/metric_sample.h"

#include <fmt/format.h>

namespace tarn {

MetricSample& MetricSample::add_label(std::string name, const std::string& value) {
    labels.emplace_back(std::move(name), value);
    return *this;
}

MetricSample& MetricSample::add_label(std::string name, const char* value) {
    return add_label(std::move(name), std::string(value));
}

MetricSample& MetricSample::add_label(std::string name, std::int32_t value) {
    labels.emplace_back(std::move(name), fmt::format("{}", value));
    return *this;
}

MetricSample& MetricSample::add_gauge(std::string name, std::int32_t value) {
    fields.push_back({std::move(name), fmt::format("{}", value), MetricKind::gauge});
    return *this;
}

MetricSample& MetricSample::add_gauge(std::string name, std::uint64_t value) {
    fields.push_back({std::move(name), fmt::format("{}", value), MetricKind::gauge});
    return *this;
}

MetricSample& MetricSample::add_gauge(std::string name, std::string&& value) {
    fields.push_back({std::move(name), std::move(value), MetricKind::gauge});
    return *this;
}

MetricSample& MetricSample::add_counter(std::string name, std::string&& value) {
    fields.push_back({std::move(name), std::move(value), MetricKind::counter});
    return *this;
}

MetricSample& MetricSample::add_counter(std::string name, std::uint64_t value) {
    fields.push_back({std::move(name), fmt::format("{}", value), MetricKind::counter});
    return *this;
}

MetricSample& MetricSample::add_counter(std::string name, double value, int precision) {
    fields.push_back(
        {std::move(name), fmt::format("{:.{}f}", value, precision), MetricKind::counter});
    return *this;
}

} // namespace tarn
