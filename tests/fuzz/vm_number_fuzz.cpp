// The joined argument vector of a process named bhyve: any local user chooses it.
#include "collectors/vm_number.h"
#include "tests/fuzz/fuzz_util.h"

#include <fmt/format.h>

#include <optional>
#include <regex>
#include <string>

namespace {

constexpr std::size_t kDifferentialLimit = 2048;

// The digits the pattern captures in group `group`, as a view into `text`, or absent.
std::optional<std::string_view> regex_capture(const std::string& text, const std::regex& expression,
                                              bool whole, std::size_t group) {
    std::smatch match;
    const bool found = whole ? std::regex_match(text, match, expression)
                             : std::regex_search(text, match, expression);
    if (!found)
        return std::nullopt;
    const auto offset = static_cast<std::size_t>(match[group].first - text.begin());
    return std::string_view(text).substr(offset, match[group].length());
}

void compare(const char* shape, std::optional<std::string_view> scanned,
             std::optional<std::string_view> expected) {
    if (scanned.has_value() != expected.has_value())
        tarn::fuzz::fail(fmt::format("{}: the scan {}, regex {}", shape,
                                     scanned ? "matches" : "does not match",
                                     expected ? "matches" : "does not match"));
    if (scanned && (scanned->data() != expected->data() || scanned->size() != expected->size()))
        tarn::fuzz::fail(
            fmt::format("{}: the scan captures '{}', regex '{}'", shape, *scanned, *expected));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto number = tarn::vm_number_from_arguments(text);
    const auto title = tarn::match_vm_title(text);
    const auto topology = tarn::search_vm_topology_command(text);
    const auto cpu_count = tarn::search_vm_cpu_count_command(text);
    if (number)
        tarn::fuzz::check(*number >= 0, "a negative VM number from a digit string");

    if (size <= kDifferentialLimit) {
        // Compiled once: building an expression costs more than matching a small input.
        static const std::regex title_pattern(tarn::kVmTitlePattern);
        static const std::regex topology_pattern(tarn::kVmTopologyCommandPattern);
        static const std::regex cpu_count_pattern(tarn::kVmCpuCountCommandPattern);
        compare("title", title, regex_capture(text, title_pattern, true, 1));
        compare("topology command", topology, regex_capture(text, topology_pattern, false, 2));
        compare("cpu count command", cpu_count, regex_capture(text, cpu_count_pattern, false, 2));
    }
    return 0;
}
