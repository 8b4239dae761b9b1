#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarn {

// One process of the host's process table.
struct ProcessInfo {
    std::int32_t pid = 0;
    std::string command_name;
    // Absent when the argument vector cannot be read (the process went away, or it has none).
    std::optional<std::vector<std::string>> arguments;
};

// Snapshot of the process table, one entry per process, in the kernel's order.
//
// Where the two implementations differ (tests run on the emulation, so do not read more into them):
// - Order: FreeBSD's kvm_getprocs walks the kernel's process list, which is mostly newest first
//   and not sorted; the /proc emulation visits processes by ascending pid. The VM list, and with
//   it the order of the per-VM samples, follows whichever order the platform gives.
// - Command name: FreeBSD's ki_comm holds up to 19 characters of the executable's name; Linux's
//   /proc/PID/comm holds up to 15 and can be renamed by the process itself.
// - Arguments: FreeBSD's kvm_getargv gives the vector as the process left it, or one string
//   holding the whole title after setproctitle(3); the emulation splits /proc/PID/cmdline at its
//   NUL bytes. A process without arguments gives an absent vector on Linux (empty cmdline); on
//   FreeBSD kvm_getargv may give an empty one. The caller joins the words with single spaces
//   either way, so a title and its words join to the same text.
class ProcessTable {
  public:
    // Opens the kernel's process interface; on failure `error()` holds its text.
    ProcessTable();
    ~ProcessTable();
    ProcessTable(const ProcessTable&) = delete;
    ProcessTable& operator=(const ProcessTable&) = delete;

    bool is_open() const { return open_; }
    const std::string& error() const { return error_; }

    // Calls `visit` for every process whose command name is exactly `command_name`; the
    // argument vector is fetched only for those. False when the table cannot be listed.
    bool for_each_named(const std::string& command_name,
                        const std::function<void(const ProcessInfo&)>& visit);

  private:
    bool open_ = false;
    std::string error_;
    void* handle_ = nullptr;
};

} // namespace tarn
