#include "collectors/abandoned_tools.h"

#include <spdlog/spdlog.h>

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

namespace tarn {
namespace {

struct AbandonedTool {
    pid_t pid;
    std::string command;
};

// Both collector threads and their workers run tools; the list is short (one entry per stuck
// command at most), so one lock around it costs nothing worth measuring.
std::mutex g_mutex;
std::vector<AbandonedTool> g_abandoned;

// True once the tool has been reaped here, or cannot be waited for any more.
bool ended(pid_t pid) {
    for (;;) {
        const pid_t r = ::waitpid(pid, nullptr, WNOHANG);
        if (r == 0)
            return false;
        if (r < 0 && errno == EINTR)
            continue;
        return true; // reaped, or no longer our child to wait for (ECHILD)
    }
}

} // namespace

void abandon_tool(pid_t pid, const std::string& command, const std::string& tool) {
    {
        const std::lock_guard<std::mutex> lock(g_mutex);
        g_abandoned.push_back({pid, command});
    }
    spdlog::warn("[cmd] {} (pid {}) did not end when killed; left behind", tool, pid);
}

bool tool_still_abandoned(const std::string& command) {
    const std::lock_guard<std::mutex> lock(g_mutex);
    if (g_abandoned.empty())
        return false;
    std::erase_if(g_abandoned, [](const AbandonedTool& tool) { return ended(tool.pid); });
    return std::any_of(g_abandoned.begin(), g_abandoned.end(),
                       [&](const AbandonedTool& tool) { return tool.command == command; });
}

} // namespace tarn
