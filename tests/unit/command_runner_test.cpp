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

bool has_unreaped_child() {
    int status = 0;
    return ::waitpid(-1, &status, WNOHANG) > 0;
}

TEST(CommandRunnerTest, OutputAndStatusRules) {
    struct Case {
        std::string command;
        CommandOutput plain;
        CommandOutput strict;
    };
    const std::vector<Case> cases = {
        {"true", std::string(), std::string()},
        {"printf x; exit 1", std::string("x"), std::nullopt},
        {"printf 'a\\nb\\n\\n'", std::string("a\nb\n\n"), std::string("a\nb\n\n")},
        {"kill -9 $$", std::string(), std::nullopt},
        {"/nonexistent/tool 2>/dev/null", std::string(), std::nullopt},
        {"echo out; echo err >&2", std::string("out\n"), std::string("out\n")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run_command(c.command), c.plain) << c.command;
        EXPECT_EQ(run_command_strict(c.command), c.strict) << c.command;
    }
}

TEST(CommandRunnerTest, LongLinesAndLargeOutputArriveUnchanged) {
    auto line = run_command("head -c 10000 /dev/zero | tr '\\0' 'y'");
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, std::string(10000, 'y'));
    auto big = run_command_strict("seq 1 200000");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->size(), 1288895u);
    EXPECT_EQ(big->substr(big->size() - 7), "200000\n");
}

// Output up to the limit is kept whole; one byte more and the command counts as broken, also
// when it would print for ever.
TEST(CommandRunnerTest, OutputBeyondTheLimitIsRefusedAndTheCommandEnded) {
    const std::string limit = std::to_string(kCommandOutputLimit);
    const auto at_limit = run_command_strict("head -c " + limit + " /dev/zero");
    ASSERT_TRUE(at_limit);
    EXPECT_EQ(at_limit->size(), kCommandOutputLimit);
    EXPECT_EQ(run_command("head -c " + std::to_string(kCommandOutputLimit + 1) + " /dev/zero"),
              std::nullopt);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run_command("yes garbage"), std::nullopt);
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
        EXPECT_EQ(run_command(c.command), std::nullopt) << c.command;
        auto took = std::chrono::steady_clock::now() - start;
        // A bound on hanging, not a timing assertion on speed.
        EXPECT_LT(took, kCommandTimeLimit + std::chrono::seconds(5)) << c.command;
        EXPECT_FALSE(has_unreaped_child()) << c.command;
    }
    EXPECT_EQ(run_command_strict("printf x; sleep 60"), std::nullopt);
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
        ASSERT_TRUE(run_command("true"));
    EXPECT_EQ(open_descriptors(), before);
    // The child sees only the standard descriptors plus whatever the test runner left open
    // without close-on-exec; the runner's own pipe read end is not among them.
    auto fds = run_command("ls /proc/self/fd | wc -l");
    ASSERT_TRUE(fds);
    EXPECT_LE(std::stoi(*fds), before + 1);
}

} // namespace
} // namespace tarn
