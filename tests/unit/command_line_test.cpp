#include "daemon/command_line.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace tarn {
namespace {

TEST(ParseSizeTest, AcceptedAndRejectedTexts) {
    const std::vector<std::pair<std::string, std::uint64_t>> cases = {
        {"4096", 4096},
        {"4k", 4096},
        {"4K", 4096},
        {"10M", 10485760},
        {"50m", 52428800},
        {"1G", 1073741824},
        {"1g", 1073741824},
        {"0010", 10},
        {"18446744073709551615", 18446744073709551615ULL},
        {"17179869183G", 17179869183ULL * 1073741824ULL},
        // invalid
        {"", 0},
        {"0", 0},
        {"0K", 0},
        {"K", 0},
        {"10MB", 0},
        {"1.5M", 0},
        {"+10", 0},
        {"-1", 0},
        {" 10M", 0},
        {"10M ", 0},
        {"10T", 0},
        {"10 ", 0},
        {"18446744073709551616", 0},
        {"17179869184G", 0},
        {"99999999999999999999K", 0},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(parse_size(text), expected) << "'" << text << "'";
}

// Runs the parser on an argument list; stdout/stderr of help and version are not checked here.
ParsedCommandLine parse(std::vector<std::string> args) {
    args.insert(args.begin(), "tarn-vm-perfdata");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // Help, version and the log messages go to /dev/null at the descriptor level.
    std::fflush(stdout);
    std::fflush(stderr);
    int saved_out = ::dup(STDOUT_FILENO);
    int saved_err = ::dup(STDERR_FILENO);
    int null_fd = ::open("/dev/null", O_WRONLY);
    ::dup2(null_fd, STDOUT_FILENO);
    ::dup2(null_fd, STDERR_FILENO);
    ParsedCommandLine parsed = parse_command_line(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out, STDOUT_FILENO);
    ::dup2(saved_err, STDERR_FILENO);
    ::close(saved_out);
    ::close(saved_err);
    ::close(null_fd);
    return parsed;
}

TEST(CommandLineTest, OptionsFillTheirMembersAndLaterOnesWin) {
    auto parsed = parse({"-c", "/a.conf", "--config=/b.conf", "-p", "-i", "--log-file", "/l",
                         "--log-size=4K", "--log-size", "50M", "operand"});
    ASSERT_FALSE(parsed.exit_status);
    EXPECT_EQ(parsed.options.config_path, "/b.conf");
    EXPECT_TRUE(parsed.options.dump_prometheus);
    EXPECT_TRUE(parsed.options.dump_influx);
    EXPECT_EQ(parsed.options.log_file, "/l");
    EXPECT_EQ(parsed.options.log_size, 52428800u);
}

TEST(CommandLineTest, DefaultsWithoutArguments) {
    auto parsed = parse({});
    ASSERT_FALSE(parsed.exit_status);
    EXPECT_EQ(parsed.options.config_path, "/usr/local/etc/tarn-node.conf");
    EXPECT_EQ(parsed.options.log_file, "/var/log/tarn_vm_perfdata.log");
    EXPECT_EQ(parsed.options.log_size, 10485760u);
    EXPECT_FALSE(parsed.options.dump_prometheus);
    EXPECT_FALSE(parsed.options.dump_influx);
}

TEST(CommandLineTest, EndingActionsTakeEffectAtOnce) {
    const std::vector<std::pair<std::vector<std::string>, int>> cases = {
        {{"-v", "-x"}, 0},
        {{"-x", "-v"}, 1},
        {{"-h"}, 0},
        {{"--help", "--log-size", "1"}, 0},
        {{"--log-size", "4095"}, 1},
        {{"--log-size", "3K", "-v"}, 1},
        {{"--log-size", "0"}, 1},
        {{"--log-size", "4096"}, -1},
        {{"-c"}, 1},
        {{"--nope"}, 1},
        {{"--version"}, 0},
    };
    for (const auto& [args, status] : cases) {
        auto parsed = parse(args);
        EXPECT_EQ(parsed.exit_status.value_or(-1), status) << args.front();
    }
}

TEST(CommandLineTest, HelpTextEndsWithAnEmptyLine) {
    std::string help = kHelpText;
    EXPECT_EQ(help.rfind("tarn-vm-perfdata {OPTIONS}\n\n", 0), 0u);
    EXPECT_EQ(help.substr(help.size() - 2), "\n\n");
    EXPECT_EQ(std::count(help.begin(), help.end(), '\n'), 22);
}

} // namespace
} // namespace tarn
