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

// The label block of a sample, written once and shared by all its lines.
void append_label_text(const MetricSample& sample, std::string& out) {
    for (const auto& [name, value] : sample.labels) {
        if (!out.empty())
            out += ',';
        out.append(name).append("=\"").append(escape_label_value(value)).append("\"");
    }
}

// The full name of a field, built into a reused string so that the family lookup of every line
// costs no allocation.
void assign_full_name(std::string& name, const std::string& prefix, const std::string& measurement,
                      const MetricField& field, const std::optional<UnitConversion>& conversion) {
    name.assign(prefix).append("_").append(measurement).append("_");
    name.append(conversion ? conversion->exposed_name : field.name);
    if (field.kind == MetricKind::counter && !ends_with_total(name))
        name += "_total";
}

// The lines of one family go into one growing buffer, in order of arrival.
struct MetricFamily {
    std::string name;
    MetricKind kind;
    std::string help;
    std::string lines;
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
    std::string name;
    assign_full_name(name, prefix, measurement, field, find_unit_conversion(field.name));
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
    const SampleSet samples = store.snapshot();
    return render_prometheus(*samples, store.prefix());
}

std::string render_prometheus(const std::vector<MetricSample>& samples, const std::string& prefix) {
    std::vector<MetricFamily> families;
    std::unordered_map<std::string, std::size_t> index;
    std::string labels;
    std::string name;

    for (const auto& sample : samples) {
        labels.clear();
        append_label_text(sample, labels);
        for (const auto& field : sample.fields) {
            const auto conversion = find_unit_conversion(field.name);
            assign_full_name(name, prefix, sample.measurement, field, conversion);
            auto it = index.find(name);
            if (it == index.end()) {
                it = index.emplace(name, families.size()).first;
                families.push_back({name,
                                    field.kind,
                                    fmt::format("{} {} ({})", sample.measurement, field.name,
                                                kind_name(field.kind)),
                                    {}});
            }
            std::string& out = families[it->second].lines;
            out += name;
            if (!labels.empty())
                out.append("{").append(labels).append("}");
            out += ' ';
            if (conversion)
                out += converted_value(field.value, conversion->factor);
            else
                out += field.value;
            out += '\n';
        }
    }

    std::size_t size = 0;
    for (const auto& family : families)
        size += 2 * family.name.size() + family.help.size() + family.lines.size() + 32;
    std::string document;
    document.reserve(size);
    for (const auto& family : families) {
        fmt::format_to(std::back_inserter(document), "# HELP {} {}\n# TYPE {} {}\n", family.name,
                       family.help, family.name, kind_name(family.kind));
        document += family.lines;
    }
    return document;
}

} // namespace tarn
