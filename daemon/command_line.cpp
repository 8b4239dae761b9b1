#include "daemon/command_line.h"

#include "collectors/text_scan.h"
#include "daemon/version.h"

#include <fmt/format.h>

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace tarn {

const char* const kHelpText =
    "tarn-vm-perfdata {OPTIONS}\n"
    "\n"
    "Tarn bhyve VM performance metrics collector\n"
    "\n"
    "USAGE:\n"
    "  tarn-vm-perfdata {OPTIONS}\n"
    "\n"
    "OPTIONS:\n"
    "  -c, --config PATH              Path to the INI config (default "
    "/usr/local/etc/tarn-node.conf)\n"
    "  -p, --dump-prometheus-metrics  Render one Prometheus scrape to stdout and exit\n"
    "  -i, --dump-influx-metrics      Periodically log InfluxDB line-protocol metrics\n"
    "  -t, --check-config             Check the config and every file it names, then exit\n"
    "      --log-file PATH            Daemon log file (default /var/log/tarn_vm_perfdata.log)\n"
    "      --log-size SIZE            Rotate the log at SIZE, K/M/G suffix (default 10M, min "
    "4096)\n"
    "  -v, --version                  Show version\n"
    "  -h, --help                     Show this help menu\n"
    "\n"
    "EXAMPLES:\n"
    "  tarn-vm-perfdata -c /usr/local/etc/tarn-node.conf\n"
    "  tarn-vm-perfdata --dump-prometheus-metrics | promtool check metrics\n"
    "  tarn-vm-perfdata --dump-influx-metrics\n"
    "  tarn-vm-perfdata -t -c /usr/local/etc/tarn-node.conf\n"
    "  tarn-vm-perfdata --log-size 50M\n"
    "\n";

namespace {

using scan::is_digit;

// Decimal digits only (the caller checked), 0 on overflow or a zero value.
std::uint64_t parse_digits(const std::string& digits) {
    errno = 0;
    unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
    if (errno != 0 || value == 0)
        return 0;
    return value;
}

} // namespace

std::uint64_t parse_size(std::string_view text) {
    if (text.empty())
        return 0;
    std::size_t i = 0;
    while (i < text.size() && is_digit(text[i]))
        ++i;
    if (i == text.size())
        return parse_digits(std::string(text));
    if (i == 0 || i + 1 != text.size())
        return 0;
    std::uint64_t multiplier = 0;
    switch (text[i]) {
    case 'k':
    case 'K':
        multiplier = 1024ULL;
        break;
    case 'm':
    case 'M':
        multiplier = 1048576ULL;
        break;
    case 'g':
    case 'G':
        multiplier = 1073741824ULL;
        break;
    default:
        return 0;
    }
    std::uint64_t value = parse_digits(std::string(text.substr(0, i)));
    if (value == 0 || value > std::numeric_limits<std::uint64_t>::max() / multiplier)
        return 0;
    return value * multiplier;
}

ParsedCommandLine parse_command_line(int argc, char** argv) {
    enum : int { kLogFile = 1000, kLogSize = 1001 };
    static const option long_options[] = {
        {"config", required_argument, nullptr, 'c'},
        {"dump-prometheus-metrics", no_argument, nullptr, 'p'},
        {"dump-influx-metrics", no_argument, nullptr, 'i'},
        {"check-config", no_argument, nullptr, 't'},
        {"log-file", required_argument, nullptr, kLogFile},
        {"log-size", required_argument, nullptr, kLogSize},
        {"version", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    ParsedCommandLine parsed;
    CommandLineOptions& options = parsed.options;
    optind = 1;
    for (;;) {
        int c = ::getopt_long(argc, argv, "c:hvpit", long_options, nullptr);
        if (c == -1)
            break;
        switch (c) {
        case 'c':
            options.config_path = optarg;
            break;
        case 'p':
            options.dump_prometheus = true;
            break;
        case 'i':
            options.dump_influx = true;
            break;
        case 't':
            options.check_config = true;
            break;
        case kLogFile:
            options.log_file = optarg;
            break;
        case kLogSize: {
            std::uint64_t size = parse_size(optarg);
            if (size >= kMinimumLogSize)
                options.log_size = size;
            else if (parsed.error.empty())
                parsed.error = fmt::format("Invalid --log-size value: {}; minimum is {} bytes",
                                           optarg, kMinimumLogSize);
            break;
        }
        case 'v':
            if (!parsed.error.empty())
                break;
            std::fputs(fmt::format("tarn-vm-perfdata version: {}\n", kVersion).c_str(), stdout);
            std::fflush(stdout);
            parsed.exit_status = 0;
            return parsed;
        case 'h':
            if (!parsed.error.empty())
                break;
            std::fputs(kHelpText, stdout);
            std::fflush(stdout);
            parsed.exit_status = 0;
            return parsed;
        default:
            if (parsed.error.empty()) {
                parsed.error = "Invalid command line option";
                parsed.show_help = true;
            }
            break;
        }
    }
    if (!parsed.error.empty())
        parsed.exit_status = 1;
    return parsed;
}

} // namespace tarn
