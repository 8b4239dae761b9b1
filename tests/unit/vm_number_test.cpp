#include "collectors/vm_number.h"

#include "random_text.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>

namespace tarn {
namespace {

struct ArgumentsCase {
    std::vector<std::string> arguments;
    std::optional<std::int32_t> vm_id;
};

TEST(VmNumberTest, EachShapeOfArgumentsNamesTheVmOrIsSkipped) {
    const std::vector<ArgumentsCase> cases = {
        {{"bhyve:", "12"}, 12},
        {{"bhyve:", "", "12"}, 12}, // empty argument: two spaces, still white space
        {{"/usr/sbin/bhyve", "-c", "cpus=4,sockets=1,cores=4,threads=1", "-m", "4G", "-H", "-P",
          "12"},
         12},
        {{"/usr/sbin/bhyve", "-c", "2", "-m", "1024M", "-H", "7"}, 7},
        // The count form without an end anchor: the last "blank, digits" after the count wins.
        {{"/usr/sbin/bhyve", "-c", "2", "-m", "1024M", "-H", "7", "-x"}, 7},
        {{"/usr/sbin/bhyve", "-c", "2", "-s", "3", "-l", "9", "vmname"}, 9},
        {{"bhyve:", "web01"}, std::nullopt},
        {{"bhyve", "-c", "2", "-m", "1024M", "7"}, std::nullopt},
        {{"bhyve:", "12 "}, std::nullopt},
        {{"bhyve:12"}, std::nullopt},
        {{}, std::nullopt},
        {{""}, std::nullopt},
        // Fits and does not fit a signed 32-bit integer.
        {{"bhyve:", "2147483647"}, 2147483647},
        {{"bhyve:", "2147483648"}, std::nullopt},
        {{"bhyve:", "99999999999999999999"}, std::nullopt},
        {{"bhyve:", "0007"}, 7},
        // The topology form needs digits at the very end.
        {{"/usr/sbin/bhyve", "-c", "cpus=4,sockets=1,cores=4,threads=1", "-m", "4G", "12", "x"},
         std::nullopt},
    };
    for (const auto& c : cases) {
        const std::string joined = join_arguments(c.arguments);
        EXPECT_EQ(vm_number_from_arguments(joined), c.vm_id) << '"' << joined << '"';
    }
}

TEST(VmNumberTest, JoinPutsOneSpaceBetweenArgumentsOnly) {
    EXPECT_EQ(join_arguments({}), "");
    EXPECT_EQ(join_arguments({"a"}), "a");
    EXPECT_EQ(join_arguments({"a", "b", "c"}), "a b c");
    EXPECT_EQ(join_arguments({"", "b"}), "b"); // nothing built yet, so no space
    EXPECT_EQ(join_arguments({"a", "", "b"}), "a  b");
}

std::optional<std::string> regex_capture(const std::regex& pattern, const std::string& text,
                                         bool whole, int group) {
    std::smatch match;
    const bool found =
        whole ? std::regex_match(text, match, pattern) : std::regex_search(text, match, pattern);
    if (!found)
        return std::nullopt;
    return match[group].str();
}

std::optional<std::string> as_string(std::optional<std::string_view> view) {
    if (!view)
        return std::nullopt;
    return std::string(*view);
}

// The hand-written matchers must capture exactly what the standard engine captures with the same
// patterns, including its backtracking choices.
constexpr int kScale = 1; // raise locally for a longer run
TEST(VmNumberTest, HandMatchersAgreeWithTheStandardEngineOnRandomTexts) {
    const std::regex title(kVmTitlePattern);
    const std::regex topology(kVmTopologyCommandPattern);
    const std::regex cpu_count(kVmCpuCountCommandPattern);
    testing::TokenText texts({"/usr/sbin/bhyve",
                              "/usr/sbin/bhyv",
                              " ",
                              " ",
                              "  ",
                              "\t",
                              "\n",
                              "\r",
                              "\v",
                              "-c",
                              "-c ",
                              "cpus=",
                              ",sockets=",
                              ",cores=",
                              ",threads=",
                              "1",
                              "23",
                              "0",
                              "x",
                              "bhyve:",
                              "bhyve: ",
                              "-m",
                              "4G",
                              "cpus=4,sockets=1,cores=4,threads=1",
                              " 7",
                              " 12"},
                             20261207);
    for (int i = 0; i < 20000 * kScale; ++i) {
        std::string text = texts.next(i % 3 == 0 ? 24 : 10);
        if (i % 2 == 0)
            text = "/usr/sbin/bhyve -c " + text;
        ASSERT_EQ(as_string(match_vm_title(text)), regex_capture(title, text, true, 1))
            << "title: \"" << text << '"';
        ASSERT_EQ(as_string(search_vm_topology_command(text)),
                  regex_capture(topology, text, false, 2))
            << "topology: \"" << text << '"';
        ASSERT_EQ(as_string(search_vm_cpu_count_command(text)),
                  regex_capture(cpu_count, text, false, 2))
            << "count: " << ::testing::PrintToString(text);
    }
}

// Any local user may start a process named bhyve with arguments up to the system's limit; the
// standard engine recurses per character on such texts, the hand matchers do not.
TEST(VmNumberTest, ArgumentVectorsOfSeveralHundredKibibytesAreHandled) {
    const std::string spaces(256 * 1024, ' ');
    const std::string digits(256 * 1024, '7');
    const std::vector<std::pair<std::string, std::optional<std::int32_t>>> cases = {
        {"/usr/sbin/bhyve -c 2" + spaces + "x" + spaces + "5", 5},
        {"/usr/sbin/bhyve -c 2 " + digits, std::nullopt}, // the number does not fit
        {"bhyve:" + spaces + "3", 3},
        {std::string(512 * 1024, '/') + "/usr/sbin/bhyve -c 1 a 4", 4},
    };
    std::string repeated;
    for (int i = 0; i < 20000; ++i)
        repeated += "/usr/sbin/bhyve -c 1 ";
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(vm_number_from_arguments(text), expected) << text.size();
    EXPECT_EQ(vm_number_from_arguments(repeated), 1); // the last " 1" after the first count
    EXPECT_EQ(vm_number_from_arguments(repeated + "9"), 9);
}

} // namespace
} // namespace tarn
