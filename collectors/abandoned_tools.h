#pragma once

#include <sys/types.h>

#include <string>

namespace tarn {

// A killed tool normally ends at once. One that does not (stuck in the kernel, say on a FUSE
// request or an ioctl of a VM in trouble) is left behind here instead of being waited for, so
// that no collector thread, feed or shutdown blocks on it; it is reaped once it does end.

// Records the tool `pid` that ran `command` (the argument words joined by NUL bytes) and logs
// it once at warning level with the tool's path.
void abandon_tool(pid_t pid, const std::string& command, const std::string& tool);

// Reaps, without blocking, every abandoned tool that has ended since; true when one that ran
// `command` is still there. The same command is then not started again: a second copy would
// only get stuck behind the first, one more process per feed for as long as the fault lasts.
bool tool_still_abandoned(const std::string& command);

} // namespace tarn
