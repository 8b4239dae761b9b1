#include "collectors/device_stats.h"

#include "random_text.h"

#include <gtest/gtest.h>

#include <regex>

namespace tarn {
namespace {

using Labels = std::vector<std::pair<std::string, std::string>>;
using Fields = std::vector<std::tuple<std::string, std::string, MetricKind>>;
constexpr MetricKind C = MetricKind::counter;
constexpr MetricKind G = MetricKind::gauge;

std::vector<MetricSample> samples_of(std::string_view text, std::int32_t vm_id = 7) {
    std::vector<MetricSample> result;
    append_device_samples(text, vm_id, "host", result);
    return result;
}

Fields fields_of(const MetricSample& sample) {
    Fields fields;
    for (const MetricField& f : sample.fields)
        fields.emplace_back(f.name, f.value, f.kind);
    return fields;
}

// measurement + slot label (or "-" without one), one string per sample, for compact tables.
std::vector<std::string> shape(const std::vector<MetricSample>& samples) {
    std::vector<std::string> out;
    for (const MetricSample& s : samples) {
        std::string slot = "-";
        for (const auto& [name, value] : s.labels)
            if (name == "slot")
                slot = value;
        out.push_back(s.measurement + ":" + slot);
    }
    return out;
}

const std::string kBlock9 = "block9:0 virtio-blk 1000/10 2000/20 0/0 100/500";
const std::string kNet4 = "net4:0 virtio-net 1000/10 2000/20 100/200 3/4";
const std::string kBalloon = "balloon0:0 virtio-balloon 1 2 3 4 5 6 7 8 9 10 11";

TEST(DeviceStatsTest, EachRecordTypeGivesItsSampleWithLabelsFieldsAndKinds) {
    const auto block = samples_of(kBlock9);
    ASSERT_EQ(block.size(), 1u);
    EXPECT_EQ(block[0].measurement, "virtio_blk");
    EXPECT_EQ(block[0].labels, (Labels{{"vm_id", "7"}, {"slot", "0"}, {"hostname", "host"}}));
    EXPECT_EQ(fields_of(block[0]), (Fields{{"read_bytes", "1000", C},
                                           {"read_iops", "10", C},
                                           {"write_bytes", "2000", C},
                                           {"write_iops", "20", C},
                                           {"trim_bytes", "0", C},
                                           {"trim_iops", "0", C},
                                           {"limit_mbps", "100", G},
                                           {"limit_iops", "500", G}}));

    const auto net = samples_of(kNet4);
    ASSERT_EQ(net.size(), 1u);
    EXPECT_EQ(net[0].measurement, "virtio_net");
    EXPECT_EQ(net[0].labels, (Labels{{"vm_id", "7"}, {"slot", "0"}, {"hostname", "host"}}));
    EXPECT_EQ(fields_of(net[0]), (Fields{{"tx_bytes", "1000", C},
                                         {"tx_pps", "10", C},
                                         {"rx_bytes", "2000", C},
                                         {"rx_pps", "20", C},
                                         {"tx_limit_mbps", "100", G},
                                         {"rx_limit_mbps", "200", G},
                                         {"tx_drops", "3", C},
                                         {"rx_drops", "4", C}}));

    const auto balloon = samples_of(kBalloon);
    ASSERT_EQ(balloon.size(), 1u);
    EXPECT_EQ(balloon[0].measurement, "virtio_balloon");
    EXPECT_EQ(balloon[0].labels, (Labels{{"vm_id", "7"}, {"hostname", "host"}}));
    EXPECT_EQ(fields_of(balloon[0]), (Fields{{"pages", "1", G},
                                             {"actual", "2", G},
                                             {"errors", "3", C},
                                             {"swap_in", "4", C},
                                             {"swap_out", "5", C},
                                             {"major_faults", "6", C},
                                             {"minor_faults", "7", C},
                                             {"free_memory", "8", G},
                                             {"total_memory", "9", G},
                                             {"avail_memory", "10", G},
                                             {"disk_caches", "11", G}}));
}

struct ShapeCase {
    std::string text;
    std::vector<std::string> expected;
};

TEST(DeviceStatsTest, RecordsAreFoundBySearchingAndOrderedByType) {
    using namespace std::string_literals;
    const std::vector<ShapeCase> cases = {
        {"block9:0 nvme 1/2 3/4 5/6 7/8", {"virtio_blk:0"}},
        {"block9:0 scsi 1/2 3/4 5/6 7/8", {}},
        {"block3:0 nvme 1/2 3/4 5/6 7/8", {"virtio_blk:-6"}},
        {"block09:0 nvme 1/2 3/4 5/6 7/8", {"virtio_blk:0"}},
        {"block10:1 nvme 1/2 3/4 5/6 7/8\nblock9:0 nvme 1/2 3/4 5/6 7/8",
         {"virtio_blk:1", "virtio_blk:0"}},
        {"block9:0\nvirtio-blk\n1/2\r\n3/4\t5/6\v7/8", {"virtio_blk:0"}},
        {"block9:0 nvme 1/2 3/4 5/6 7/8 9/10", {"virtio_blk:0"}},
        {"block9:0 nvme 1/2 3/4 5/6\nblock10:0 nvme 1/2 3/4 5/6 7/8", {"virtio_blk:1"}},
        {"block9:0 nvme 1/2 3/4 5/6", {}},
        {"block9:0 nvme 1 /2 3/4 5/6 7/8", {}},
        {"block 9:0 nvme 1/2 3/4 5/6 7/8", {}},
        {"blockx9:0 nvme 1/2 3/4 5/6 7/8", {}},
        {"block9:0 nvme 1/2 3/4 5/6 7/8x", {"virtio_blk:0"}},
        {"block9:0 nvme 1/2 3/4 5a/6 7/8", {}},
        {"xxblock9:0 nvme 1/2 3/4 5/6 7/8", {"virtio_blk:0"}},
        {"blockblock9:0 nvme 1/2 3/4 5/6 7/8", {"virtio_blk:0"}},
        {"nettap4:0 virtio-net 1/2 3/4 5/6 7/8", {"virtio_net:0"}},
        {"net1:0 virtio-net 1/2 3/4 5/6 7/8", {"virtio_net:-3"}},
        {"net14:0 virtio-net 1/2 3/4 5/6 7/8", {"virtio_net:10"}},
        {"netTap4:0 virtio-net 1/2 3/4 5/6 7/8", {}},
        {"net4:0 e1000 1/2 3/4 5/6 7/8", {}},
        {"balloon0:0 virtio-balloon 1 2 3 4 5 6 7 8 9 10", {}},
        {"balloon0:0 virtio-balloon 1 2 3 4 5 6 7 8 9 10\n" + kBalloon, {"virtio_balloon:-"}},
        {kBalloon + " " + kBalloon, {"virtio_balloon:-", "virtio_balloon:-"}},
        {"balloon0:0 virtio-balloon 1 2 3/4 5 6 7 8 9 10 11 12", {}},
        {kBalloon + "\n" + kNet4 + "\n" + kBlock9 + "\nnet5:0 virtio-net 1/1 1/1 1/1 1/1",
         {"virtio_blk:0", "virtio_net:0", "virtio_net:1", "virtio_balloon:-"}},
        {kBlock9 + std::string(4096, '\0'), {"virtio_blk:0"}},
        {std::string(100, '\0') + kNet4 + "\0\0"s + kBlock9, {"virtio_blk:0", "virtio_net:0"}},
        // Device numbers beyond a signed 32-bit integer skip that record only.
        {"block2147483648:0 nvme 1/2 3/4 5/6 7/8\n" + kBlock9, {"virtio_blk:0"}},
        {"block2147483647:0 nvme 1/2 3/4 5/6 7/8", {"virtio_blk:2147483638"}},
        {"net99999999999:0 virtio-net 1/2 3/4 5/6 7/8", {}},
        {"", {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(shape(samples_of(c.text)), c.expected) << ::testing::PrintToString(c.text);
}

TEST(DeviceStatsTest, ValuesAreCopiedAsWrittenWithoutLimit) {
    const auto samples = samples_of("block9:0 nvme 0042/00 99999999999999999999999/1 0/0 100/500");
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].fields[0].value, "0042");
    EXPECT_EQ(samples[0].fields[1].value, "00");
    EXPECT_EQ(samples[0].fields[2].value, "99999999999999999999999");
}

std::vector<std::vector<std::string>> regex_records(const std::regex& pattern,
                                                    const std::string& text) {
    std::vector<std::vector<std::string>> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
         it != std::sregex_iterator(); ++it) {
        std::vector<std::string> groups;
        for (std::size_t g = 1; g < it->size(); ++g)
            groups.push_back((*it)[g].str());
        out.push_back(groups);
    }
    return out;
}

std::vector<std::vector<std::string>> hand_records(const std::vector<DeviceRecord>& records,
                                                   bool with_number) {
    std::vector<std::vector<std::string>> out;
    for (const DeviceRecord& r : records) {
        std::vector<std::string> groups;
        if (with_number)
            groups.emplace_back(r.device_number);
        for (std::size_t i = 0; i < r.value_count; ++i)
            groups.emplace_back(r.values[i]);
        out.push_back(groups);
    }
    return out;
}

// The hand-written record search must find exactly what a regex iterator finds with the same
// patterns: the same records, the same captures, in the same order.
TEST(DeviceStatsTest, RecordSearchAgreesWithTheStandardEngineOnRandomTexts) {
    const std::regex block(kBlockRecordPattern);
    const std::regex net(kNetRecordPattern);
    const std::regex balloon(kBalloonRecordPattern);
    testing::TokenText texts({"block",
                              "net",
                              "nettap",
                              "balloon",
                              "1",
                              "23",
                              "0",
                              ":",
                              "/",
                              " ",
                              "\n",
                              "\t",
                              "virtio-blk",
                              "nvme",
                              "virtio-net",
                              "virtio-balloon",
                              "x",
                              "T",
                              std::string(1, '\0'),
                              " 1/2",
                              " 3 4",
                              "blockx",
                              "balloonx",
                              ":0 nvme",
                              ":0 virtio-net",
                              " 1/2 3/4 5/6 7/8",
                              "block9:0 nvme ",
                              "net4:0 virtio-net ",
                              "balloon0:0 virtio-balloon "},
                             4242);
    for (int i = 0; i < 20000; ++i) {
        const std::string text = texts.next(i % 4 == 0 ? 60 : 20);
        ASSERT_EQ(hand_records(find_block_records(text), true), regex_records(block, text))
            << ::testing::PrintToString(text);
        ASSERT_EQ(hand_records(find_net_records(text), true), regex_records(net, text))
            << ::testing::PrintToString(text);
        ASSERT_EQ(hand_records(find_balloon_records(text), false), regex_records(balloon, text))
            << ::testing::PrintToString(text);
    }
}

// A segment is as large as its publisher makes it; long runs of digits or white space inside a
// record would make a backtracking engine recurse per character.
TEST(DeviceStatsTest, LargeSegmentsAreSearchedWithoutRecursion) {
    std::string text = "block9:0 nvme " + std::string(8 << 20, '1') + "/2 3/4 5/6 7/8";
    text += "net4:0 virtio-net 1/2" + std::string(8 << 20, ' ') + "3/4 5/6 7/8";
    const auto samples = samples_of(text);
    ASSERT_EQ(shape(samples), (std::vector<std::string>{"virtio_blk:0", "virtio_net:0"}));
    EXPECT_EQ(samples[0].fields[0].value.size(), std::size_t{8 << 20});
}

TEST(DeviceStatsTest, EmptyVmListGivesNothing) {
    EXPECT_TRUE(collect_device_stats({}, "host").empty());
}

} // namespace
} // namespace tarn
