#include "collectors/abandoned_tools.h"
#include "collectors/command_runner.h"
#include "collectors/cpu_memory_parsers.h"
#include "collectors/device_stats.h"
#include "collectors/shared_memory.h"
#include "collectors/vm_number.h"
#include "log_capture.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <limits>

namespace tarn {
namespace {

// What each parser makes of a text, "-" when the VM is skipped: 'a' --get-all (cpus/rss/wired),
// 'c' --get-vcpu-class, 'd' the VDC of a /vmc.vm.N document ("!" and the JSON library's error
// when it throws), 'r' rctl (memoryuse/vmemoryuse/pcpu), 's' --get-stats
// (runtime/idle/sleeps), 'v' the VM number of a joined argument vector.
std::string parsed(char tool, const std::string& text) {
    std::optional<std::string> out;
    if (tool == 'd') {
        try {
            if (const auto v = parse_vdc_document(text))
                out = std::to_string(*v);
        } catch (const nlohmann::json::exception& error) {
            // A type error by its text, which names the type found; the others by their id.
            out = "!" + (error.id == 302 ? std::string(error.what()) : std::to_string(error.id));
        }
    } else if (tool == 'a') {
        if (const auto v = parse_get_all(text))
            out = fmt::format("{}/{}/{}", v->vm_cpus, v->vm_rss, v->vm_wired);
    } else if (tool == 'r') {
        if (const auto v = parse_rctl(text))
            out = fmt::format("{}/{}/{}", v->memoryuse, v->vmemoryuse, v->pcpu);
    } else if (tool == 's') {
        if (const auto v = parse_get_stats(text))
            out = fmt::format("{}/{}/{}", v->runtime, v->idle_ticks, v->limit_sleeps);
    } else if (const auto v =
                   tool == 'c' ? parse_vcpu_class(text) : vm_number_from_arguments(text)) {
        out = std::to_string(*v);
    }
    return out.value_or("-");
}

TEST(ToolTextTest, EachParserFindsItsFiguresOrSkipsTheVm) {
    const std::string topology = "cpu_topology:  sockets=1, cores=4, threads=2, maxcpus=16\n";
    const std::string spaces(1 << 20, ' '); // a backtracking engine would recurse per character
    const std::vector<std::tuple<char, std::string, std::string>> cases = {
        {'a', "x\n" + topology + "Resident memory  1234\nWired memory\t56\n", "8/1234/56"},
        {'a', topology + "Resident memory 12 kB\nWired memory 5", "8/0/5"},
        {'a', topology + "Resident memory 12\r\n", "8/12/0"},
        {'a', " " + topology, "-"},
        {'a', "cpu_topology: sockets=0, cores=4, threads=2, maxcpus=16", "-"},
        {'a', "cpu_topology: sockets=65536, cores=65536, threads=1, maxcpus=1", "-"},
        {'a', topology + "Resident memory 18446744073709551615\n", "8/18446744073709551615/0"},
        {'a', topology + "Wired memory 18446744073709551616\n", "-"},
        {'a', "cpu_topology:" + spaces + "sockets=1, cores=2, threads=1, maxcpus=2", "2/0/0"},
        {'c', "vcpu_class=123", "12"},
        {'c', " vcpu_class=3", "-"},
        // Other members, and "item" or "vdc" below the top level, are passed over.
        {'d',
         R"({"a": [1, {"item": "x"}], "b": {"item": "{\"vdc\": 1}"}, "item": )"
         R"("{\"x\": {\"vdc\": 2}, \"vdc\": 3, \"y\": [{}]}", "c": "z"})",
         "3"},
        {'d', R"({"item": "{\"vdc\": 1}", "item": "{\"vdc\": 2}"})", "2"}, // the last one
        {'d', R"({"item": "{\"vdc\": 1}", "item": []})",
         "![json.exception.type_error.302] type must be string, but is array"},
        {'d', R"({"item": "{\"vdc\": \"5\"}"})",
         "![json.exception.type_error.302] type must be number, but is string"},
        {'d', R"([{"item": "{\"vdc\": 1}"}])", "-"},
        {'d', R"({"item": "[{\"vdc\": 1}]"})", "-"},
        {'d', R"({"item": "{\"vdc\": 2147483648}"})", "-"},
        {'d', R"({"item": "{\"vdc\": -5.7}"})", "-5"},
        {'d', R"({"item": "{\"vdc\": true}"})", "1"},
        {'d', std::string(R"({"item": "{\"vdc\": 4}"})") + '\0' + "[", "4"},
        // A fault in a member passed over still refuses the document.
        {'d', R"({"item": "{\"vdc\": 1}", "x": [1, 2)", "!101"},
        {'d', "{\"x\": \"\xff\", \"item\": \"{\\\"vdc\\\": 1}\"}", "!101"},
        {'r', "memoryuse=5\npcpu=12\nvmemoryuse=7\ncputime=9\npcpu=13\nPcpu=1\nmemoryuse=6 \n",
         "5/7/13"},
        {'r', "memoryuse=18446744073709551616\n", "-"},
        {'s', "vcpu total runtime 6\nnumber of ticks vcpu was idle\t25\n vcpu total runtime 9\n",
         "6/25/0"},
        {'s', "vcpu total runtime 99999999999999999999\n", "-"},
        {'v', join_arguments({"bhyve:", "", "12"}), "12"},
        {'v', "bhyve:\r12", "12"},
        {'v', "bhyve:12", "-"},
        {'v', "bhyve: 2147483648", "-"},
        {'v', "bhyve:" + spaces + "3", "3"},
        {'v', "/usr/sbin/bhyve -c cpus=4,sockets=1,cores=4,threads=1 -m 4G -H -P 12", "12"},
        {'v', "/usr/sbin/bhyve -c cpus=4,sockets=1,cores=4,threads=1 -m 4G 12 x", "-"},
        {'v', "/usr/sbin/bhyve -c 2 -s 3 -l 9 vmname", "9"},
        {'v', "/usr/sbin/bhyve -c 2" + spaces + "x" + spaces + "5", "5"},
    };
    for (const auto& [tool, text, expected] : cases)
        EXPECT_EQ(parsed(tool, text), expected)
            << tool << ": " << ::testing::PrintToString(text.substr(0, 100));
}

TEST(ToolTextTest, DivisionsSaturateOrGiveZeroInsteadOfUndefinedConversions) {
    EXPECT_EQ(idle_seconds(2500, 1000.0), 2u);
    EXPECT_EQ(idle_seconds(100, 0.0), 0u);
    constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(idle_seconds(kMax64, 1.0), kMax64); // 2^64 as a double
    EXPECT_DOUBLE_EQ(runtime_seconds(6, 0), 0.0);
}

// Each sample as "measurement:slot".
std::vector<std::string> device_samples(const std::string& text) {
    std::vector<MetricSample> samples;
    append_device_samples(text, 7, "h", samples);
    std::vector<std::string> out;
    for (const MetricSample& s : samples)
        out.push_back(s.measurement + ":" + s.labels.at(1).second);
    return out;
}

const std::string kBlock9 = "block9:0 virtio-blk 1000/10 2000/20 0/0 100/500";
const std::string kNet4 = "net4:0 virtio-net 1000/10 2000/20 100/200 3/4";

// Records are searched for anywhere, and slots count from the first device number of their type
// (what their samples hold, and in which order, is test_dump's whole scrape).
TEST(DeviceStatsTest, RecordsAreSearchedForAndGiveTheirSamples) {
    using namespace std::string_literals;
    const std::string values = " 1/2 3/4 5/6 7/8";
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"block9:0 nvme" + values, {"virtio_blk:0"}},
        {"block9:0 scsi" + values, {}},
        {"block3:0 nvme" + values, {"virtio_blk:-6"}},
        {"block10:1 nvme" + values + "\nxxblock9:0 nvme" + values,
         {"virtio_blk:1", "virtio_blk:0"}},
        {"block9:0\rvirtio-blk\r1/2\r3/4\r5/6\r7/8", {"virtio_blk:0"}},
        {"block9:0 nvme 1/2 3/4 5/6\nblock10:0 nvme" + values, {"virtio_blk:1"}},
        {"block2147483648:0 nvme" + values + "\n" + kBlock9, {"virtio_blk:0"}},
        {"nettap4:0 virtio-net" + values, {"virtio_net:0"}},
        {"net1:0 virtio-net" + values, {"virtio_net:-3"}},
        {"balloon0:0 virtio-balloon 1 2 3 4 5 6 7 8 9 10", {}},
        {std::string(100, '\0') + kNet4 + "\0\0"s + kBlock9, {"virtio_blk:0", "virtio_net:0"}},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(device_samples(text), expected) << ::testing::PrintToString(text);
}

// Each kind is bounded on its own; the records past the bound are counted, not turned into samples.
TEST(DeviceStatsTest, RecordsPastTheBoundOfTheirKindAreCountedNotTaken) {
    std::string text;
    for (std::size_t i = 0; i < kMaxDeviceRecords + 44; ++i) // the limit pair tells them apart
        text += "block9:0 nvme 0/0 0/0 0/0 " + std::to_string(i) + "/0\n";
    std::vector<MetricSample> samples;
    EXPECT_EQ(append_device_samples(text + kNet4, 7, "h", samples), 44u);
    ASSERT_EQ(samples.size(), kMaxDeviceRecords + 1);
    EXPECT_EQ(samples[kMaxDeviceRecords - 1].fields[6].value,
              std::to_string(kMaxDeviceRecords - 1)); // the first ones, in text order
    EXPECT_EQ(samples.back().measurement, "virtio_net");
}

long open_descriptors() {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

std::string shown(const CommandOutput& output) {
    return output ? "'" + *output + "'" : "-";
}

// A tool that cannot be executed counts as run without output and complains on stderr, as through
// a shell; the arguments reach the tool unchanged. Output up to the limit is kept.
TEST(CommandRunnerTest, OutputAndExitStatus) {
    const std::string limit = std::to_string(kCommandOutputLimit), zeros(kCommandOutputLimit, '\0');
    const std::string over = std::to_string(kCommandOutputLimit + 1);
    // the command; plain and strict output and the failure as the health figures name it; stderr
    const std::vector<std::tuple<CommandLine, std::string, std::string>> cases = {
        {{"/bin/true"}, "'' '' ", ""}, // no output is not a failure
        {{"/bin/sh", "-c", "printf x; exit 1"}, "'x' - exit_status", ""},
        {{"/bin/sh", "-c", "printf y; kill -9 $$"}, "'y' - signal", ""},
        {{"/bin/echo", "$HOME", "a  b", ";"}, "'$HOME a  b ;\n' '$HOME a  b ;\n' ", ""},
        {{"/nonexistent/tool"}, "'' - not_executable", "/nonexistent/tool: not found\n"},
        {{"true"}, "'' - not_executable", "true: not found\n"}, // PATH is not searched
        {{"/usr/bin/head", "-c", limit, "/dev/zero"}, "'" + zeros + "' '" + zeros + "' ", ""},
        {{"/usr/bin/head", "-c", over, "/dev/zero"}, "- - output_limit", ""},
        // only the pipe and the daemon's stdin and stderr (3: the directory ls reads)
        {{"/bin/ls", "/proc/self/fd"}, "'0\n1\n2\n3\n' '0\n1\n2\n3\n' ", ""},
        {{}, "- - ", ""},
    };
    const long descriptors = open_descriptors();
    const int inheritable = ::open("/dev/null", O_RDONLY); // as a log or a socket without CLOEXEC
    for (const auto& [command, expected, complaint] : cases) {
        ::testing::internal::CaptureStderr();
        ToolFailure plain = ToolFailure::timeout, strict = ToolFailure::timeout;
        const std::string outputs =
            shown(run_command(command, &plain)) + " " + shown(run_command_strict(command, &strict));
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), complaint + complaint);
        EXPECT_EQ(tool_failure_name(plain), tool_failure_name(strict));
        EXPECT_EQ(outputs + " " + tool_failure_name(plain), expected)
            << ::testing::PrintToString(command);
    }
    ::close(inheritable);
    EXPECT_EQ(open_descriptors(), descriptors);
}

// A tool that outlives its kill (this one leaves its process group, as one stuck in the kernel
// cannot die) is left behind after the grace: the feed goes on, the same command is not started
// again while it lives, and a later run reaps it once it has ended.
TEST(CommandRunnerTest, ToolLeftBehindIsReapedLaterAndNotStartedAgain) {
    const CommandLine stuck = {"/usr/bin/perl", "-e", "setpgrp(0, getpgrp(getppid())); sleep 30"};
    std::string key;
    for (const std::string& word : stuck)
        key += word + '\0';
    LogCapture log;
    ToolFailure failure = ToolFailure::none;
    EXPECT_EQ(run_command(stuck, &failure), std::nullopt);
    EXPECT_EQ(failure, ToolFailure::timeout);
    int pid = 0;
    ASSERT_EQ(std::sscanf(log.text().c_str(), "[cmd] /usr/bin/perl (pid %d)", &pid), 1)
        << log.text();
    EXPECT_EQ(::kill(pid, 0), 0) << "waited for";
    EXPECT_EQ(run_command(stuck), std::nullopt);
    EXPECT_EQ(run_command({"/bin/echo", "y"}), "y\n");
    ::kill(pid, SIGKILL);
    for (int i = 0; i < 2000 && tool_still_abandoned(key); ++i)
        ::usleep(1000);
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1); // reaped already: no zombie is left
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(log.text(), fmt::format("[cmd] /usr/bin/perl (pid {}) did not end when killed; "
                                      "left behind\n",
                                      pid)); // once: the second run did not start it
}

// Objects are sparse beyond their first bytes, so that claiming any size costs nothing. An object
// over the limit is logged once for each size it keeps, and again after it was fine in between.
TEST(SharedMemoryTest, WholeObjectsUpToTheCopyLimitAreMapped) {
    using namespace std::string_literals;
    const std::string name = "/tarn-test." + std::to_string(::getpid());
    EXPECT_FALSE(read_shared_memory(name));
    const std::uint64_t limit = kSharedMemoryCopyLimit, huge = 1ULL << 40;
    // size of the object; logged as too large
    const std::vector<std::pair<std::uint64_t, bool>> cases = {
        {0, false},   {5, false},    {limit, false}, {limit + 1, true}, {limit + 1, false},
        {huge, true}, {huge, false}, {5, false},     {huge, true}};
    const long descriptors = open_descriptors();
    LogCapture log;
    for (const auto& [size, logged] : cases) {
        const int fd = ::shm_open(name.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0600);
        EXPECT_EQ(::write(fd, "a\0b", 3), 3);
        EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
        ::close(fd);
        log.stream.str("");
        SharedMemoryMapping mapping = read_shared_memory(name);
        const std::uint64_t mapped = size <= limit ? size : 0;
        EXPECT_EQ(mapping.size(), mapped) << size;
        EXPECT_EQ(mapping.bytes().substr(0, 3), mapped < 3 ? ""s : "a\0b"s) << size;
        const std::string said = fmt::format(
            "[shm] {} is {} bytes, over the {} byte limit; skipped\n", name, size, limit);
        EXPECT_EQ(log.text(), logged ? said : "") << size;
        if (size == 5) { // the copy takes the mapping with it
            EXPECT_EQ(mapping.take_copy(), "a\0b\0\0"s);
            EXPECT_FALSE(mapping);
        }
    }
    ::shm_unlink(name.c_str());
    EXPECT_EQ(open_descriptors(), descriptors);
}

} // namespace
} // namespace tarn
