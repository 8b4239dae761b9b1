#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tarn {

// The whole standard output of a host command; absent when there is no usable output.
using CommandOutput = std::optional<std::string>;

// A host tool that has not finished by then is killed with everything it started, so a hung tool
// costs one VM's figures for one feed instead of stalling the collection for good.
inline constexpr std::chrono::milliseconds kCommandTimeLimit{5000};

// A killed tool is waited for this long at most. One stuck in the kernel cannot die until its call
// returns; it is then left behind and reaped later (see abandoned_tools.h), so that its VM loses
// its figure for the feed but neither the feed nor a stop waits for it.
inline constexpr std::chrono::milliseconds kKillGrace{1000};

// Once the daemon is stopping, no tool is started and one that runs gets this much more time.
inline constexpr std::chrono::milliseconds kStopGrace{500};

// The host tools answer in kilobytes; one that prints more than this is broken and is treated
// like a hung one (killed, no output), so that it cannot make the daemon hold what it printed.
inline constexpr std::size_t kCommandOutputLimit = std::size_t{16} << 20;

// A host command: the tool's absolute path first, then its arguments. The tool is started directly
// (no shell, no search of PATH), so nothing in an argument is interpreted, with standard input
// and error those of the daemon and no other descriptor of it.
using CommandLine = std::vector<std::string>;

// Why a run failed, for the daemon's own health figures: the tool was killed at its time limit
// (or its last run is still stuck), printed too much, exited with another status than 0, was
// ended by a signal, or could not be executed at all.
enum class ToolFailure { none, timeout, output_limit, exit_status, signal, not_executable };

// The label value of a failure ("timeout", "exit_status", ...); empty for none.
const char* tool_failure_name(ToolFailure failure);

// Runs the tool; the exit status is ignored. A tool that is missing or cannot be executed gives a
// present, empty output and a one-line complaint on stderr, as a shell would have. `failure`, when
// given, says why the run failed, also where the output is still used.
CommandOutput run_command(const CommandLine& command, ToolFailure* failure = nullptr);

// As run_command, but the output counts only when the tool exits with status 0.
CommandOutput run_command_strict(const CommandLine& command, ToolFailure* failure = nullptr);

} // namespace tarn
