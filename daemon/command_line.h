#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

inline constexpr std::uint64_t kMinimumLogSize = 4096;

struct CommandLineOptions {
    std::string config_path = "/usr/local/etc/tarn-node.conf";
    std::string log_file = "/var/log/tarn_vm_perfdata.log";
    std::uint64_t log_size = 10485760;
    bool dump_prometheus = false;
    bool dump_influx = false;
    bool check_config = false; // check what a start would refuse, then exit
};

// A byte count with an optional K/M/G suffix; 0 means the text is invalid.
std::uint64_t parse_size(std::string_view text);

extern const char* const kHelpText;

// Parses argv into options. Help and version are handled here: the result is then the exit status
// the process must end with. An error is left for the caller to log (with status 1), once the
// whole command line is read, so that it knows whether -t asks for the answer on stderr.
struct ParsedCommandLine {
    CommandLineOptions options;
    std::optional<int> exit_status;
    std::string error;      // the first one
    bool show_help = false; // after the error, on stderr
};
ParsedCommandLine parse_command_line(int argc, char** argv);

} // namespace tarn
