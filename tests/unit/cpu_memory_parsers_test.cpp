#include "collectors/cpu_memory_parsers.h"

#include "random_text.h"
#include "tool_text_oracle.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <limits>

namespace tarn {
namespace {

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

struct GetAllCase {
    std::string text;
    std::optional<std::int32_t> vm_cpus; // absent: the VM is skipped
    std::uint64_t rss = 0;
    std::uint64_t wired = 0;
};

TEST(CpuMemoryParsersTest, GetAllGivesTheVcpuCountAndMemoryOrSkips) {
    const std::string topology = "cpu_topology:  sockets=1, cores=4, threads=2, maxcpus=16\n";
    const std::vector<GetAllCase> cases = {
        {topology, 8},
        {"x\n" + topology + "Resident memory  1234\nWired memory\t56\n", 8, 1234, 56},
        {topology + "Resident memory 1\nResident memory 2\n", 8, 1},   // the first match counts
        {topology + "Resident memory 12 kB\nWired memory 5", 8, 0, 5}, // "$" after the digits
        {topology + " Resident memory 12\n", 8, 0},                    // "^" at a line start
        {topology + "Resident memory 12\r\n", 8, 12},                  // CR ends a line too
        {" cpu_topology:  sockets=1, cores=4, threads=2, maxcpus=16", std::nullopt},
        {"cpu_topology: sockets=1,cores=4, threads=2, maxcpus=16", std::nullopt},
        {"cpu_topology: sockets=0, cores=4, threads=2, maxcpus=16", std::nullopt},
        {"cpu_topology: sockets=2, cores=4, threads=2, maxcpus=", 16},
        {"", std::nullopt},
        // Beyond 32 bits: a factor, and a product that would overflow; beyond 64 bits: memory.
        {"cpu_topology: sockets=2147483648, cores=1, threads=1, maxcpus=1", std::nullopt},
        {"cpu_topology: sockets=65536, cores=65536, threads=1, maxcpus=1", std::nullopt},
        {"cpu_topology: sockets=1024, cores=1024, threads=2047, maxcpus=1", 2146435072},
        {topology + "Resident memory 18446744073709551615\n", 8, kMax64},
        {topology + "Resident memory 18446744073709551616\n", std::nullopt},
        {topology + "Wired memory 99999999999999999999\n", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_get_all(c.text);
        ASSERT_EQ(parsed.has_value(), c.vm_cpus.has_value()) << ::testing::PrintToString(c.text);
        if (!parsed)
            continue;
        EXPECT_EQ(parsed->vm_cpus, *c.vm_cpus) << c.text;
        EXPECT_EQ(parsed->vm_rss, c.rss) << c.text;
        EXPECT_EQ(parsed->vm_wired, c.wired) << c.text;
    }
}

TEST(CpuMemoryParsersTest, VcpuClassMustBeginTheOutput) {
    const std::vector<std::pair<std::string, std::optional<std::int32_t>>> cases = {
        {"vcpu_class=3", 3},
        {"vcpu_class=3\n", 3},
        {"vcpu_class=123", 12},
        {"vcpu_class=07x", 7},
        {" vcpu_class=3", std::nullopt},
        {"x\nvcpu_class=3", std::nullopt},
        {"vcpu_class=", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(parse_vcpu_class(text), expected) << ::testing::PrintToString(text);
}

// A document with "item" holding the text of `inner`.
std::string document(const std::string& inner) {
    return nlohmann::json{{"item", inner}, {"other", 1}}.dump();
}

TEST(CpuMemoryParsersTest, VdcDocumentIsParsedTwiceAndStrictly) {
    using namespace std::string_literals;
    const std::vector<std::pair<std::string, std::optional<std::int32_t>>> found = {
        {document(R"({"vdc": 7})"), 7},
        {document(R"({"vdc": 7})") + "\0\0\0garbage"s, 7}, // ends at the first NUL
        {document(R"({"vdc": 7.9})"), 7},
        {document(R"({"vdc": -7.9})"), -7},
        {document(R"({"vdc": true})"), 1},
        {document(R"({"vdc": -2147483648})"), std::numeric_limits<std::int32_t>::min()},
        {document(R"({})"), std::nullopt},
        {document("[1]"), std::nullopt},
        {R"({"items": "{\"vdc\": 7}"})", std::nullopt},
        {"[]", std::nullopt},
        // Out of range for a signed 32-bit integer: skipped rather than wrapped or undefined.
        {document(R"({"vdc": 2147483648})"), std::nullopt},
        {document(R"({"vdc": -2147483649})"), std::nullopt},
        {document(R"({"vdc": 1e300})"), std::nullopt},
        {document(R"({"vdc": 18446744073709551615})"), std::nullopt},
    };
    for (const auto& [text, expected] : found)
        EXPECT_EQ(parse_vdc_document(text), expected) << ::testing::PrintToString(text);

    const std::vector<std::string> malformed = {
        R"({"item": {"vdc": 7}})",   // the object itself instead of its text
        document(R"({"vdc": "7"})"), // a string is a type error
        document(R"({"vdc": null})"),
        document(R"({"vdc": 7} x)"),       // trailing text in the inner document
        document(R"({"vdc": 7} /* c */)"), // no comments
        document(R"({"vdc": 7})") + " x",  // trailing text in the outer document
        "",                                // empty mapping text
        "\0{}"s,
        R"({"item": "{\"vdc\": 7}")",
    };
    for (const std::string& text : malformed)
        EXPECT_THROW(parse_vdc_document(text), nlohmann::json::exception)
            << ::testing::PrintToString(text);
}

TEST(CpuMemoryParsersTest, RctlAndStatsLinesAreStoredByNameLaterWins) {
    const auto use = parse_rctl("memoryuse=5\npcpu=12\nvmemoryuse=7\ncputime=99\npcpu=13\nPcpu=1\n"
                                "memoryuse=6 \n");
    ASSERT_TRUE(use);
    EXPECT_EQ(use->memoryuse, 5u);
    EXPECT_EQ(use->vmemoryuse, 7u);
    EXPECT_EQ(use->pcpu, 13u);
    EXPECT_FALSE(parse_rctl("memoryuse=18446744073709551616\n"));
    ASSERT_TRUE(parse_rctl(""));
    EXPECT_EQ(parse_rctl("")->pcpu, 0u);

    const auto stats =
        parse_get_stats("vcpu total runtime  6\nnumber of ticks vcpu was idle\t2500\n"
                        "sleeps in ms due to vcpu limit throttle 40\n"
                        "vcpu total runtime 8\n vcpu total runtime 9\n");
    ASSERT_TRUE(stats);
    EXPECT_EQ(stats->runtime, 8u);
    EXPECT_EQ(stats->idle_ticks, 2500u);
    EXPECT_EQ(stats->limit_sleeps, 40u);
    EXPECT_FALSE(parse_get_stats("vcpu total runtime 99999999999999999999\n"));
}

TEST(CpuMemoryParsersTest, DivisionsGiveSoundResultsForEveryDivisor) {
    const std::vector<std::tuple<std::uint64_t, double, std::uint64_t>> idle = {
        {2500, 1000, 2},       {999, 1000, 0}, {0, 1000, 0},
        {100, 0, 0},           {100, -5, 0},   {kMax64, 1, kMax64}, // 2^64 as a double: saturates
        {kMax64, 0.5, kMax64},
    };
    for (const auto& [ticks, hz, expected] : idle)
        EXPECT_EQ(idle_seconds(ticks, hz), expected) << ticks << " / " << hz;
    EXPECT_DOUBLE_EQ(runtime_seconds(6, 4), 1.5);
    EXPECT_DOUBLE_EQ(runtime_seconds(6, 0), 0.0);
}

// The hand-written matchers must find what the standard engine finds with the tools' patterns,
// on texts built from the patterns' own pieces, near misses and every kind of line break.
TEST(CpuMemoryParsersTest, ToolTextMatchersAgreeWithTheStandardEngineOnRandomTexts) {
    testing::TokenText texts({"cpu_topology:",
                              " sockets=",
                              "sockets=",
                              "1",
                              "2",
                              "0",
                              "4096",
                              "99999999999",
                              ", cores=",
                              ", threads=",
                              ", maxcpus=",
                              ",",
                              " ",
                              "\t",
                              "\n",
                              "\r",
                              "\r\n",
                              "\v",
                              "x",
                              "=",
                              "Resident memory",
                              "Wired memory",
                              "Resident memory ",
                              "18446744073709551616",
                              "vcpu_class=",
                              "vcpu_class=1",
                              "memoryuse=",
                              "vmemoryuse",
                              "pcpu",
                              "pcpu=7",
                              "cputime=",
                              "Pcpu=",
                              "vcpu total runtime",
                              "number of ticks vcpu was idle",
                              "sleeps in ms due to vcpu limit throttle",
                              "vcpu total runtime 5",
                              "cpu_topology: sockets=1, cores=2, threads=1, maxcpus=",
                              std::string(1, '\0')},
                             777);
    for (int i = 0; i < 20000; ++i) {
        const std::string text = texts.next(i % 4 == 0 ? 50 : 15);
        const auto printed = ::testing::PrintToString(text);
        ASSERT_EQ(oracle::show(parse_get_all(text)), oracle::show(oracle::get_all(text)))
            << printed;
        ASSERT_EQ(parse_vcpu_class(text), oracle::vcpu_class(text)) << printed;
        ASSERT_EQ(oracle::show(parse_rctl(text)), oracle::show(oracle::rctl(text))) << printed;
        ASSERT_EQ(oracle::show(parse_get_stats(text)), oracle::show(oracle::get_stats(text)))
            << printed;
    }
}

// A tool may print megabytes on one line; the standard engine would recurse per character there.
TEST(CpuMemoryParsersTest, HugeRunsInToolOutputAreMatchedWithoutRecursion) {
    const std::string spaces(4 << 20, ' ');
    const std::string digits(4 << 20, '7');
    const std::string topology =
        "cpu_topology:" + spaces + "sockets=1, cores=2, threads=1, maxcpus=2\n";
    const auto all =
        parse_get_all(topology + "Resident memory" + spaces + "12\nWired memory 3\n" + digits);
    ASSERT_TRUE(all);
    EXPECT_EQ(all->vm_cpus, 2);
    EXPECT_EQ(all->vm_rss, 12u);
    EXPECT_EQ(all->vm_wired, 3u);
    EXPECT_FALSE(parse_get_all(topology + "Wired memory " + digits)); // beyond 64 bits: skipped
    EXPECT_EQ(parse_vcpu_class("vcpu_class=" + digits), 77);
    EXPECT_EQ(parse_rctl(std::string(4 << 20, 'a') + "=1\npcpu=4")->pcpu, 4u);
    EXPECT_EQ(parse_get_stats("vcpu total runtime" + spaces + "9" + spaces)->runtime, 0u);
    EXPECT_EQ(parse_get_stats(spaces + "\nvcpu total runtime" + spaces + "9")->runtime, 9u);
}

} // namespace
} // namespace tarn
