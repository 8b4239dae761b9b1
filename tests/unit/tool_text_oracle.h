#pragma once

// The standard engine with the patterns of the host tools' output: the oracle that the
// hand-written matchers are compared with, in the unit tests and the fuzz targets.
#include "collectors/cpu_memory_parsers.h"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace tarn::oracle {

template <typename A, typename B, typename C> std::string triple(A a, B b, C c) {
    return std::to_string(a) + "/" + std::to_string(b) + "/" + std::to_string(c);
}

constexpr auto kMultiline = std::regex::ECMAScript | std::regex::multiline;

template <typename T> std::optional<T> number(const std::ssub_match& digits) {
    T value{};
    const std::string text = digits.str();
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

inline std::optional<VmTopologyMemory> get_all(const std::string& text) {
    static const std::regex topology(
        R"(^cpu_topology:\s+sockets=(\d+), cores=(\d+), threads=(\d+), maxcpus=)", kMultiline);
    static const std::regex resident(R"(^Resident memory\s+(\d+)$)", kMultiline);
    static const std::regex wired(R"(^Wired memory\s+(\d+)$)", kMultiline);
    std::smatch match;
    if (!std::regex_search(text, match, topology))
        return std::nullopt;
    std::int64_t product = 1;
    for (int i = 1; i <= 3; ++i) {
        const auto factor = number<std::int32_t>(match[i]);
        if (!factor)
            return std::nullopt;
        product *= *factor;
        if (product == 0 || product > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
    }
    VmTopologyMemory result;
    result.vm_cpus = static_cast<std::int32_t>(product);
    for (auto [pattern, target] :
         {std::pair{&resident, &result.vm_rss}, {&wired, &result.vm_wired}}) {
        if (!std::regex_search(text, match, *pattern))
            continue;
        const auto value = number<std::uint64_t>(match[1]);
        if (!value)
            return std::nullopt;
        *target = *value;
    }
    return result;
}

inline std::optional<std::int32_t> vcpu_class(const std::string& text) {
    static const std::regex pattern(R"(^vcpu_class=(\d{1,2}))");
    std::smatch match;
    if (!std::regex_search(text, match, pattern))
        return std::nullopt;
    return number<std::int32_t>(match[1]);
}

// Every (name, value) match; absent when a value does not fit.
inline std::optional<std::vector<std::pair<std::string, std::uint64_t>>>
named_values(const std::string& text, const std::regex& pattern) {
    std::vector<std::pair<std::string, std::uint64_t>> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        const auto value = number<std::uint64_t>((*it)[2]);
        if (!value)
            return std::nullopt;
        out.emplace_back((*it)[1].str(), *value);
    }
    return out;
}

inline std::optional<VmResourceUse> rctl(const std::string& text) {
    static const std::regex line(R"(^([a-z]+)=(\d+)$)", kMultiline);
    const auto values = named_values(text, line);
    if (!values)
        return std::nullopt;
    VmResourceUse use;
    std::uint64_t ignored = 0;
    for (const auto& [name, value] : *values)
        (name == "memoryuse"    ? use.memoryuse
         : name == "vmemoryuse" ? use.vmemoryuse
         : name == "pcpu"       ? use.pcpu
                                : ignored) = value;
    return use;
}

inline std::optional<VmRunStats> get_stats(const std::string& text) {
    static const std::regex line(
        R"(^(vcpu total runtime|number of ticks vcpu was idle|sleeps in ms due to vcpu limit throttle)\s+(\d+)$)",
        kMultiline);
    const auto values = named_values(text, line);
    if (!values)
        return std::nullopt;
    VmRunStats stats;
    for (const auto& [name, value] : *values)
        (name == "vcpu total runtime"              ? stats.runtime
         : name == "number of ticks vcpu was idle" ? stats.idle_ticks
                                                   : stats.limit_sleeps) = value;
    return stats;
}

inline std::string show(const std::optional<VmTopologyMemory>& v) {
    return v ? triple(v->vm_cpus, v->vm_rss, v->vm_wired) : "absent";
}
inline std::string show(const std::optional<VmResourceUse>& v) {
    return v ? triple(v->memoryuse, v->vmemoryuse, v->pcpu) : "absent";
}
inline std::string show(const std::optional<VmRunStats>& v) {
    return v ? triple(v->runtime, v->idle_ticks, v->limit_sleeps) : "absent";
}

} // namespace tarn::oracle
