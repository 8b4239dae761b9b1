#include "collectors/tool_failure_report.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace tarn {
namespace {

// More VM numbers would make the line long on a host where a tool fails for every VM.
constexpr std::size_t kShownVms = 5;

const char* cause_words(ToolFailure cause) {
    switch (cause) {
    case ToolFailure::timeout:
        return "time-out";
    case ToolFailure::output_limit:
        return "output over its limit";
    case ToolFailure::exit_status:
        return "exit status";
    case ToolFailure::signal:
        return "killed by a signal";
    case ToolFailure::not_executable:
        return "not executable";
    case ToolFailure::none:
        break;
    }
    return "failure";
}

std::mutex g_noted_mutex;
std::vector<ToolFailureEvent> g_noted;

} // namespace

std::string describe_tool_failures(const std::vector<ToolFailureEvent>& events) {
    std::map<std::pair<std::string, ToolFailure>, std::set<std::int32_t>> vms;
    for (const ToolFailureEvent& event : events)
        vms[{event.tool, event.cause}].insert(event.vm_id);
    std::vector<std::pair<std::pair<std::string, ToolFailure>, std::set<std::int32_t>>> pairs(
        vms.begin(), vms.end());
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
        return a.second.size() > b.second.size();
    });
    std::vector<std::string> parts;
    for (const auto& [pair, ids] : pairs) {
        std::vector<std::int32_t> shown(ids.begin(), ids.end());
        const bool more = shown.size() > kShownVms;
        shown.resize(std::min(shown.size(), kShownVms));
        parts.push_back(fmt::format(
            "{} {} for {} VM{} ({}{})", pair.first, cause_words(pair.second), ids.size(),
            ids.size() == 1 ? "" : "s", fmt::join(shown, ", "), more ? ", ..." : ""));
    }
    return fmt::format("{}", fmt::join(parts, "; "));
}

std::optional<ToolFailureReport::Line>
ToolFailureReport::after_feed(const std::vector<ToolFailureEvent>& events) {
    std::set<std::pair<std::string, ToolFailure>> failing;
    for (const ToolFailureEvent& event : events)
        failing.emplace(event.tool, event.cause);
    if (failing == failing_)
        return std::nullopt;
    failing_ = std::move(failing);
    if (failing_.empty())
        return Line{false, "host tools working again"};
    return Line{true, "host tools failing: " + describe_tool_failures(events)};
}

void note_tool_failure(ToolFailureEvent event) {
    const std::lock_guard lock(g_noted_mutex);
    g_noted.push_back(std::move(event));
}

void report_feed_tool_failures() {
    static ToolFailureReport report; // the feeds run one after another, on one thread
    std::vector<ToolFailureEvent> events;
    {
        const std::lock_guard lock(g_noted_mutex);
        events.swap(g_noted);
    }
    if (const std::optional<ToolFailureReport::Line> line = report.after_feed(events)) {
        if (line->warning)
            spdlog::warn("{}", line->text);
        else
            spdlog::info("{}", line->text);
    }
}

} // namespace tarn
