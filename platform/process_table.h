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
