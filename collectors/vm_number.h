#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// The three shapes of a bhyve process's joined argument vector that name its VM number, tried in
// this order: the whole text matches the first; the others are searched for anywhere in it.
inline constexpr const char* kVmTitlePattern = R"(^bhyve:\s+(\d+)$)";
inline constexpr const char* kVmTopologyCommandPattern =
    R"(/usr/sbin/bhyve\s+-c\s+cpus=(\d+),sockets=\d+,cores=\d+,threads=\d+\s+.*\s+(\d+)$)";
inline constexpr const char* kVmCpuCountCommandPattern =
    R"(/usr/sbin/bhyve\s+-c\s+(\d+)\s+.*\s+(\d+))";

// Arguments joined with single spaces; an empty vector gives an empty text.
std::string join_arguments(const std::vector<std::string>& arguments);

// The captured VM number digits of each shape, exactly as the patterns above capture them. The
// matching is done by hand in linear time: any local user can start a process named bhyve with
// arguments up to the system's limit, and a backtracking engine recurses per character.
std::optional<std::string_view> match_vm_title(std::string_view text);
std::optional<std::string_view> search_vm_topology_command(std::string_view text);
std::optional<std::string_view> search_vm_cpu_count_command(std::string_view text);

// The VM number named by the joined text; absent when no shape fits or the number does not fit a
// signed 32-bit integer.
std::optional<std::int32_t> vm_number_from_arguments(std::string_view text);

} // namespace tarn
