#include "exporters/prometheus_text.h"

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <unordered_map>
#include <vector>

namespace tarn {
namespace {

constexpr std::array<UnitConversion, 5> kUnitConversions{{
    {"delay_ms", "delay_seconds", 0.001},
    {"burst_secs", "burst_seconds", 1.0},
    {"limit_mbps", "limit_bytes_per_second", 125000.0},
    {"tx_limit_mbps", "tx_limit_bytes_per_second", 125000.0},
    {"rx_limit_mbps", "rx_limit_bytes_per_second", 125000.0},
}};

const char* kind_name(MetricKind kind) {
    return kind == MetricKind::counter ? "counter" : "gauge";
}

bool ends_with_total(const std::string& name) {
    constexpr std::string_view suffix = "_total";
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string converted_value(const std::string& text, double factor) {
    double x = std::strtod(text.c_str(), nullptr) * factor;
    if (x == std::floor(x) && std::fabs(x) < 1e15)
        return fmt::format("{}", static_cast<std::int64_t>(x));
    std::string out = fmt::format("{:.9f}", x);
    if (out.find('.') != std::string::npos) {
        out.erase(out.find_last_not_of('0') + 1);
        if (!out.empty() && out.back() == '.')
            out.pop_back();
    }
    return out;
}

std::string label_text(const MetricSample& sample) {
    std::string text;
    for (const auto& [name, value] : sample.labels)
        fmt::format_to(std::back_inserter(text), "{}{}=\"{}\"", text.empty() ? "" : ",", name,
                       escape_label_value(value));
    return text;
}

struct MetricFamily {
    std::string name;
    MetricKind kind;
    std::string help;
    std::vector<std::string> lines;
};

} // namespace

std::optional<UnitConversion> find_unit_conversion(std::string_view field_name) {
    for (const auto& row : kUnitConversions)
        if (row.source_name == field_name)
            return row;
    return std::nullopt;
}

std::string full_metric_name(const std::string& prefix, const std::string& measurement,
                             const MetricField& field) {
    auto conversion = find_unit_conversion(field.name);
    std::string name = conversion
                           ? fmt::format("{}_{}_{}", prefix, measurement, conversion->exposed_name)
                           : fmt::format("{}_{}_{}", prefix, measurement, field.name);
    if (field.kind == MetricKind::counter && !ends_with_total(name))
        name += "_total";
    return name;
}

std::string prometheus_value(const MetricField& field) {
    if (auto conversion = find_unit_conversion(field.name))
        return converted_value(field.value, conversion->factor);
    return field.value;
}

std::string escape_label_value(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string render_prometheus(const MetricStore& store) {
    const std::vector<MetricSample> samples = store.snapshot();
    std::vector<MetricFamily> families;
    std::unordered_map<std::string, std::size_t> index;

    for (const auto& sample : samples) {
        const std::string labels = label_text(sample);
        for (const auto& field : sample.fields) {
            std::string name = full_metric_name(store.prefix(), sample.measurement, field);
            auto [it, created] = index.try_emplace(name, families.size());
            if (created)
                families.push_back({name,
                                    field.kind,
                                    fmt::format("{} {} ({})", sample.measurement, field.name,
                                                kind_name(field.kind)),
                                    {}});
            MetricFamily& family = families[it->second];
            std::string value = prometheus_value(field);
            family.lines.push_back(labels.empty()
                                       ? fmt::format("{} {}", name, value)
                                       : fmt::format("{}{{{}}} {}", name, labels, value));
        }
    }

    std::string document;
    for (const auto& family : families) {
        fmt::format_to(std::back_inserter(document), "# HELP {} {}\n# TYPE {} {}\n", family.name,
                       family.help, family.name, kind_name(family.kind));
        for (const auto& line : family.lines) {
            document += line;
            document += '\n';
        }
    }
    return document;
}

} // namespace tarn
