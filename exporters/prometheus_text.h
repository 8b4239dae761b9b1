#pragma once

#include "metrics/metric_sample.h"
#include "metrics/metric_store.h"

#include <optional>
#include <string>
#include <string_view>

namespace tarn {

struct UnitConversion {
    std::string_view source_name;
    std::string_view exposed_name;
    double factor;
};

// The row for a field whose unit is converted on exposure, or nothing.
std::optional<UnitConversion> find_unit_conversion(std::string_view field_name);

std::string full_metric_name(const std::string& prefix, const std::string& measurement,
                             const MetricField& field);

// The exposed value of a field: converted when its unit is, else its text unchanged.
std::string prometheus_value(const MetricField& field);

// A label value with backslash, double quote and line feed escaped.
std::string escape_label_value(std::string_view value);

// The store's current set in the text exposition format 0.0.4.
std::string render_prometheus(const MetricStore& store);
// The same document for a set taken from a store with that prefix.
std::string render_prometheus(const std::vector<MetricSample>& samples, const std::string& prefix);

} // namespace tarn
