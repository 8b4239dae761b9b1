#include "collectors/cpu_memory_parsers.h"

#include "collectors/text_scan.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <regex>

namespace tarn {
namespace {

constexpr auto kMultiline = std::regex::ECMAScript | std::regex::multiline;

// First match of a multi-line expression; its groups as integers of type T, or absent when a
// group does not fit. `found` tells whether there was a match at all.
template <typename T, std::size_t N>
bool first_match(const std::string& text, const std::regex& pattern, T (&values)[N], bool& found) {
    std::smatch match;
    found = std::regex_search(text, match, pattern);
    if (!found)
        return true;
    for (std::size_t i = 0; i < N; ++i) {
        const auto value =
            scan::to_integer<T>(std::string_view(&*match[i + 1].first, match[i + 1].length()));
        if (!value)
            return false;
        values[i] = *value;
    }
    return true;
}

// Visits every "name value" match in order; false when a value does not fit 64 bits.
template <typename Store>
bool each_named_value(const std::string& text, const std::regex& pattern, Store store) {
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        const auto& match = *it;
        const auto value =
            scan::to_integer<std::uint64_t>(std::string_view(&*match[2].first, match[2].length()));
        if (!value)
            return false;
        store(match[1].str(), *value);
    }
    return true;
}

} // namespace

std::optional<VmTopologyMemory> parse_get_all(const std::string& text) {
    const std::regex topology(
        R"(^cpu_topology:\s+sockets=(\d+), cores=(\d+), threads=(\d+), maxcpus=)", kMultiline);
    const std::regex resident(R"(^Resident memory\s+(\d+)$)", kMultiline);
    const std::regex wired(R"(^Wired memory\s+(\d+)$)", kMultiline);

    VmTopologyMemory result;
    std::int32_t factors[3] = {};
    bool found = false;
    if (!first_match(text, topology, factors, found) || !found)
        return std::nullopt;
    std::int64_t product = 1;
    for (const std::int32_t factor : factors) {
        product *= factor;
        if (product == 0 || product > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
    }
    result.vm_cpus = static_cast<std::int32_t>(product);

    std::uint64_t memory[1] = {};
    if (!first_match(text, resident, memory, found))
        return std::nullopt;
    if (found)
        result.vm_rss = memory[0];
    if (!first_match(text, wired, memory, found))
        return std::nullopt;
    if (found)
        result.vm_wired = memory[0];
    return result;
}

std::optional<std::int32_t> parse_vcpu_class(const std::string& text) {
    const std::regex vcpu_class(R"(^vcpu_class=(\d{1,2}))");
    std::smatch match;
    if (!std::regex_search(text, match, vcpu_class))
        return std::nullopt;
    return scan::to_integer<std::int32_t>(std::string_view(&*match[1].first, match[1].length()));
}

std::optional<std::int32_t> parse_vdc_document(std::string_view bytes) {
    const std::size_t end = bytes.find('\0');
    if (end != std::string_view::npos)
        bytes = bytes.substr(0, end);
    const nlohmann::json outer = nlohmann::json::parse(bytes.begin(), bytes.end());
    if (!outer.is_object() || !outer.contains("item"))
        return std::nullopt;
    const nlohmann::json inner = nlohmann::json::parse(outer["item"].get<std::string>());
    if (!inner.is_object() || !inner.contains("vdc"))
        return std::nullopt;
    const nlohmann::json& vdc = inner["vdc"];
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    // Checked before converting: the library's own conversion of an out-of-range number is a
    // plain cast, undefined for floating point.
    if (vdc.is_number_float()) {
        const double value = std::trunc(vdc.get<double>());
        if (!(value >= kMin && value <= kMax))
            return std::nullopt;
        return static_cast<std::int32_t>(value);
    }
    if (vdc.is_number_unsigned()) {
        const auto value = vdc.get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(kMax))
            return std::nullopt;
        return static_cast<std::int32_t>(value);
    }
    if (vdc.is_number_integer()) {
        const auto value = vdc.get<std::int64_t>();
        if (value < kMin || value > kMax)
            return std::nullopt;
        return static_cast<std::int32_t>(value);
    }
    return vdc.get<std::int32_t>(); // a boolean gives 1 or 0; other types throw a type error
}

std::optional<VmResourceUse> parse_rctl(const std::string& text) {
    const std::regex line(R"(^([a-z]+)=(\d+)$)", kMultiline);
    VmResourceUse use;
    const bool ok =
        each_named_value(text, line, [&use](const std::string& name, std::uint64_t value) {
            if (name == "memoryuse")
                use.memoryuse = value;
            else if (name == "vmemoryuse")
                use.vmemoryuse = value;
            else if (name == "pcpu")
                use.pcpu = value;
        });
    if (!ok)
        return std::nullopt;
    return use;
}

std::optional<VmRunStats> parse_get_stats(const std::string& text) {
    const std::regex line(
        R"(^(vcpu total runtime|number of ticks vcpu was idle|sleeps in ms due to vcpu limit throttle)\s+(\d+)$)",
        kMultiline);
    VmRunStats stats;
    const bool ok =
        each_named_value(text, line, [&stats](const std::string& name, std::uint64_t value) {
            if (name == "vcpu total runtime")
                stats.runtime = value;
            else if (name == "number of ticks vcpu was idle")
                stats.idle_ticks = value;
            else
                stats.limit_sleeps = value;
        });
    if (!ok)
        return std::nullopt;
    return stats;
}

std::uint64_t idle_seconds(std::uint64_t idle_ticks, double kern_hz) {
    if (!(kern_hz > 0))
        return 0;
    const double seconds = static_cast<double>(idle_ticks) / kern_hz;
    // 2^64 exactly: the first double that no longer fits.
    constexpr double kLimit = 18446744073709551616.0;
    if (seconds >= kLimit)
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(seconds);
}

double runtime_seconds(std::uint64_t runtime, double tsc_freq) {
    if (!(tsc_freq > 0))
        return 0.0;
    return static_cast<double>(runtime) / tsc_freq;
}

} // namespace tarn
