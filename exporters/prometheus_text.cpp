#include "exporters/prometheus_text.h"

#include <fmt/format.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

// Appends the exposed text of a converted value.
void append_converted_value(std::string& out, const std::string& text, double factor) {
    const double x = std::strtod(text.c_str(), nullptr) * factor;
    if (x == std::floor(x) && std::fabs(x) < 1e15) {
        const fmt::format_int digits(static_cast<std::int64_t>(x));
        out.append(digits.data(), digits.size());
        return;
    }
    const std::size_t start = out.size();
    fmt::format_to(std::back_inserter(out), "{:.9f}", x);
    if (out.find('.', start) != std::string::npos) {
        out.erase(out.find_last_not_of('0') + 1);
        if (out.size() > start && out.back() == '.')
            out.pop_back();
    }
}

void append_escaped(std::string& out, std::string_view value) {
    // Most values need no escape at all: copy them in one go.
    std::size_t special = value.find_first_of("\\\"\n");
    while (special != std::string_view::npos) {
        out.append(value.data(), special);
        const char c = value[special];
        out += '\\';
        out += c == '\n' ? 'n' : c;
        value.remove_prefix(special + 1);
        special = value.find_first_of("\\\"\n");
    }
    out.append(value.data(), value.size());
}

// The label block of a sample, written once and shared by all its lines.
void append_label_text(const MetricSample& sample, std::string& out) {
    for (const auto& [name, value] : sample.labels) {
        if (!out.empty())
            out += ',';
        out.append(name).append("=\"");
        append_escaped(out, value);
        out += '"';
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

// One family of the document. Its lines are counted on the first pass over the samples and
// written on the second, straight into the family's own stretch of the document.
struct MetricFamily {
    std::string name;
    MetricKind kind;
    std::string help;
    std::size_t line_bytes = 0; // first pass: the size of all its lines
    std::size_t cursor = 0;     // second pass: where its next line goes in the document
};

// Where one field of a measurement goes: everything about its line except the sample's labels
// and the value. The full name, and so the family, depends only on the measurement, the field's
// name and its kind.
struct FieldRoute {
    std::string field_name;
    MetricKind kind;
    std::size_t family;
    std::optional<UnitConversion> conversion;
};

// The samples of one measurement nearly always carry the same fields in the same order: the
// routes of the last such sample, checked field by field, spare the name building and the family
// lookup for all the others.
using MeasurementRoutes = std::vector<FieldRoute>;

// Renders in two passes over the samples: the first finds every line's family and size, the
// second copies the pieces of each line to its final place in a document allocated once at its
// exact size. No line is built twice and no buffer grows, so the memory touched is the document's.
class Renderer {
  public:
    explicit Renderer(const std::string& prefix) : prefix_(prefix) {}

    std::string render(const std::vector<MetricSample>& samples) {
        for (const auto& sample : samples)
            measure(sample);
        std::size_t size = 0;
        for (auto& family : families_) {
            family.cursor = size + header_size(family);
            size = family.cursor + family.line_bytes;
        }
        std::string document(size, '\0');
        char* const base = document.data();
        std::size_t at = 0;
        for (const auto& family : families_) {
            char* out = base + at;
            out = put(out, "# HELP ");
            out = put(out, family.name);
            out = put(out, " ");
            out = put(out, family.help);
            out = put(out, "\n# TYPE ");
            out = put(out, family.name);
            out = put(out, " ");
            out = put(out, kind_name(family.kind));
            out = put(out, "\n");
            at = family.cursor + family.line_bytes;
        }
        converted_at_ = 0;
        for (const auto& sample : samples)
            write(sample, base);
        return document;
    }

  private:
    static char* put(char* out, std::string_view text) {
        std::memcpy(out, text.data(), text.size());
        return out + text.size();
    }

    static std::size_t header_size(const MetricFamily& family) {
        return 7 + family.name.size() + 1 + family.help.size() + 8 + family.name.size() + 1 +
               std::strlen(kind_name(family.kind)) + 1;
    }

    // The routes of a sample's fields, resolved where the last sample of its measurement differs.
    const MeasurementRoutes& routes_of(const MetricSample& sample) {
        MeasurementRoutes& routes = routes_[sample.measurement];
        for (std::size_t i = 0; i < sample.fields.size(); ++i) {
            const MetricField& field = sample.fields[i];
            if (i < routes.size() && routes[i].kind == field.kind &&
                routes[i].field_name == field.name)
                continue;
            FieldRoute route = resolve(sample.measurement, field);
            if (i < routes.size())
                routes[i] = std::move(route);
            else
                routes.push_back(std::move(route));
        }
        return routes;
    }

    void measure(const MetricSample& sample) {
        if (sample.fields.empty())
            return;
        labels_.clear();
        append_label_text(sample, labels_);
        const std::size_t braces = labels_.empty() ? 0 : labels_.size() + 2;
        const MeasurementRoutes& routes = routes_of(sample);
        for (std::size_t i = 0; i < sample.fields.size(); ++i) {
            const FieldRoute& route = routes[i];
            MetricFamily& family = families_[route.family];
            std::size_t value_size = sample.fields[i].value.size();
            if (route.conversion) {
                // Formatted once here; the second pass copies the text.
                const std::size_t start = converted_.size();
                append_converted_value(converted_, sample.fields[i].value,
                                       route.conversion->factor);
                value_size = converted_.size() - start;
                converted_sizes_.push_back(value_size);
            }
            family.line_bytes += family.name.size() + braces + 1 + value_size + 1;
        }
    }

    void write(const MetricSample& sample, char* base) {
        if (sample.fields.empty())
            return;
        labels_.clear();
        append_label_text(sample, labels_);
        const MeasurementRoutes& routes = routes_of(sample);
        for (std::size_t i = 0; i < sample.fields.size(); ++i) {
            const FieldRoute& route = routes[i];
            MetricFamily& family = families_[route.family];
            char* out = base + family.cursor;
            out = put(out, family.name);
            if (!labels_.empty()) {
                *out++ = '{';
                out = put(out, labels_);
                *out++ = '}';
            }
            *out++ = ' ';
            if (route.conversion) {
                const std::size_t n = converted_sizes_[converted_index_++];
                out = put(out, std::string_view(converted_).substr(converted_at_, n));
                converted_at_ += n;
            } else {
                out = put(out, sample.fields[i].value);
            }
            *out++ = '\n';
            family.cursor = static_cast<std::size_t>(out - base);
        }
    }

    std::size_t resolve_family(const std::string& measurement, const MetricField& field,
                               const std::optional<UnitConversion>& conversion) {
        assign_full_name(name_, prefix_, measurement, field, conversion);
        auto it = index_.find(name_);
        if (it == index_.end()) {
            it = index_.emplace(name_, families_.size()).first;
            families_.push_back(
                {name_, field.kind,
                 fmt::format("{} {} ({})", measurement, field.name, kind_name(field.kind)), 0, 0});
        }
        return it->second;
    }

    FieldRoute resolve(const std::string& measurement, const MetricField& field) {
        const auto conversion = find_unit_conversion(field.name);
        return {field.name, field.kind, resolve_family(measurement, field, conversion), conversion};
    }

    const std::string& prefix_;
    std::vector<MetricFamily> families_;
    std::unordered_map<std::string, std::size_t> index_;
    std::unordered_map<std::string, MeasurementRoutes> routes_;
    std::string labels_;
    std::string name_;
    // The converted values in order of their lines, formatted by the first pass.
    std::string converted_;
    std::vector<std::size_t> converted_sizes_;
    std::size_t converted_index_ = 0;
    std::size_t converted_at_ = 0;
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
    if (auto conversion = find_unit_conversion(field.name)) {
        std::string out;
        append_converted_value(out, field.value, conversion->factor);
        return out;
    }
    return field.value;
}

std::string escape_label_value(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    append_escaped(out, value);
    return out;
}

std::string render_prometheus(const MetricStore& store) {
    const SampleSet samples = store.snapshot();
    return render_prometheus(*samples, store.prefix());
}

std::string render_prometheus(const std::vector<MetricSample>& samples, const std::string& prefix) {
    return Renderer(prefix).render(samples);
}

} // namespace tarn
