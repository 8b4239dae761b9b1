#pragma once

#include "collectors/command_runner.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tarn {

// One failed run of a host tool for a VM.
struct ToolFailureEvent {
    std::string tool; // the tool's file name: "bhyvectl", "rctl"
    ToolFailure cause = ToolFailure::none;
    std::int32_t vm_id = 0;
};

// A feed's failures in one line: per (tool, cause), the number of VMs and the first few VM
// numbers, the pairs with the most VMs first ("rctl exit status for 2 VMs (7, 30); bhyvectl
// time-out for 1 VM (12)").
std::string describe_tool_failures(const std::vector<ToolFailureEvent>& events);

// Tells the log about host-tool failures without a line per feed: a warning when the set of
// failing (tool, cause) pairs differs from the last feed's, and one line once all work again.
// 500 VMs without resource accounting give one line, not 500 a feed.
class ToolFailureReport {
  public:
    struct Line {
        bool warning;
        std::string text;
    };
    // What to log after a feed with these failures; nothing while the pairs stay the same.
    std::optional<Line> after_feed(const std::vector<ToolFailureEvent>& events);

  private:
    std::set<std::pair<std::string, ToolFailure>> failing_;
};

// Notes a failure of the feed under way; safe from every collector thread.
void note_tool_failure(ToolFailureEvent event);

// At the end of a feed: hands the failures noted since the last call to the process's report
// and logs what it says.
void report_feed_tool_failures();

} // namespace tarn
