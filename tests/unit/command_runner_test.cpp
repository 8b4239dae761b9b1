#include "collectors/command_runner.h"

#include "open_descriptors.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

namespace tarn {
namespace {

using testing::open_descriptors;

// Test output comes from ordinary tools, the shell among them.
CommandLine sh(const std::string& script) {
    return {"/bin/sh", "-c", script};
}

bool has_unreaped_child() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) > 0;
}

std::string describe(const CommandLine& command) {
    std::string text;
    for (const auto& word : command)
        text.append(text.empty() ? "" : " ").append(word);
    return text;
}

// A tool that cannot be executed counts as run without output, as through a shell, and says so
// on stderr; the arguments reach the tool unchanged, shell characters included.
TEST(CommandRunnerTest, OutputAndStatusRules) {
    struct Case {
        CommandLine command;
        CommandOutput plain;
        CommandOutput strict;
        std::string complaint; // on stderr, once per run
    };
    const std::vector<Case> cases = {
        {{"/bin/true"}, std::string(), std::string(), ""},
        {sh("printf x; exit 1"), std::string("x"), std::nullopt, ""},
        {sh("printf 'a\\nb\\n\\n'"), std::string("a\nb\n\n"), std::string("a\nb\n\n"), ""},
        {sh("kill -9 $$"), std::string(), std::nullopt, ""},
        {{"/bin/echo", "$HOME", "a b", "'q'", ";", "*"},
         std::string("$HOME a b 'q' ; *\n"),
         std::string("$HOME a b 'q' ; *\n"),
         ""},
        {sh("echo out; echo err >&2"), std::string("out\n"), std::string("out\n"), "err\n"},
        {{"/nonexistent/tool", "--vm=1"},
         std::string(),
         std::nullopt,
         "/nonexistent/tool: not found\n"},
        {{"/dev/null"}, std::string(), std::nullopt, "/dev/null: Permission denied\n"},
        {{"true"}, std::string(), std::nullopt, "true: not found\n"}, // PATH is not searched
        {{}, std::nullopt, std::nullopt, ""},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(run_command(c.command), c.plain) << describe(c.command);
        EXPECT_EQ(run_command_strict(c.command), c.strict) << describe(c.command);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.complaint + c.complaint)
            << describe(c.command);
    }
}

TEST(CommandRunnerTest, LongLinesAndLargeOutputArriveUnchanged) {
    auto line = run_command(sh("head -c 10000 /dev/zero | tr '\\0' 'y'"));
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, std::string(10000, 'y'));
    auto big = run_command_strict({"/usr/bin/seq", "1", "200000"});
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size(), 1288895u);
    EXPECT_EQ(big->substr(big->size() - 7), "200000\n");
}

// Output up to the limit is kept whole; one byte more and the command counts as broken, also
// when it would print for ever.
TEST(CommandRunnerTest, OutputBeyondTheLimitIsRefusedAndTheCommandEnded) {
    const std::string limit = std::to_string(kCommandOutputLimit);
    const auto at_limit = run_command_strict({"/usr/bin/head", "-c", limit, "/dev/zero"});
    ASSERT_TRUE(at_limit);
    EXPECT_EQ(at_limit->size(), kCommandOutputLimit);
    EXPECT_EQ(
        run_command({"/usr/bin/head", "-c", std::to_string(kCommandOutputLimit + 1), "/dev/zero"}),
        std::nullopt);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_command({"/usr/bin/yes", "garbage"}), std::nullopt);
    // Ended at the limit, not by the time limit.
    EXPECT_LT(std::chrono::steady_clock::now() - start, kCommandTimeLimit);
    EXPECT_FALSE(has_unreaped_child());
}

TEST(CommandRunnerTest, HungCommandsAreKilledWithTheirChildrenAndLeaveNothingBehind) {
    const int before = open_descriptors();
    const std::string marker = "/tmp/tarn-runner-orphan-" + std::to_string(::getpid());
    struct Case {
        std::string command;
    };
    const std::vector<Case> cases = {
        {"sleep 60"},                                              // never ends
        {"printf partial; sleep 60"},                              // output, then hangs
        {"(sleep 60; touch " + marker + ") & exec >&-; sleep 60"}, // closes stdout, then hangs
        {"trap '' TERM INT; sleep 60"},                            // ignores polite signals
    };
    for (const auto& c : cases) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(run_command(sh(c.command)), std::nullopt) << c.command;
        auto took = std::chrono::steady_clock::now() - start;
        // A bound on hanging, not a timing assertion on speed.
        EXPECT_LT(took, kCommandTimeLimit + std::chrono::seconds(5)) << c.command;
        EXPECT_FALSE(has_unreaped_child()) << c.command;
    }
    EXPECT_EQ(run_command_strict(sh("printf x; sleep 60")), std::nullopt);
    EXPECT_FALSE(has_unreaped_child());
    EXPECT_EQ(open_descriptors(), before);
    // The background child of the third case was killed with its group, so it never wrote.
    ::sleep(1);
    EXPECT_FALSE(std::ifstream(marker).good());
    std::remove(marker.c_str());
}

TEST(CommandRunnerTest, DescriptorsDoNotLeakIntoCommandsOrStayOpen) {
    const int before = open_descriptors();
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(run_command({"/bin/true"}));
    EXPECT_EQ(open_descriptors(), before);
    // The child sees only the standard descriptors plus whatever the test runner left open
    // without close-on-exec; the runner's own pipe read end is not among them.
    auto fds = run_command(sh("ls /proc/self/fd | wc -l"));
    ASSERT_TRUE(fds);
    EXPECT_LE(std::stoi(*fds), before + 1);
}

} // namespace
} // namespace tarn
