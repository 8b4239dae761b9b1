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

// Runs the tool; the exit status is ignored. A tool that is missing or cannot be executed gives a
// present, empty output and a one-line complaint on stderr, as a shell would have.
CommandOutput run_command(const CommandLine& command);

// As run_command, but the output counts only when the tool exits with status 0.
CommandOutput run_command_strict(const CommandLine& command);

} // namespace tarn
