#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

namespace tarn {

// The three record layouts of a devices segment, written as the patterns they are equivalent to.
inline constexpr const char* kBlockRecordPattern =
    R"(block(\d+):\d+\s+(?:virtio-blk|nvme)\s+(\d+)/(\d+)\s+(\d+)/(\d+)\s+(\d+)/(\d+)\s+(\d+)/(\d+))";
inline constexpr const char* kNetRecordPattern =
    R"(net[a-z]*(\d+):\d+\s+virtio-net\s+(\d+)/(\d+)\s+(\d+)/(\d+)\s+(\d+)/(\d+)\s+(\d+)/(\d+))";
inline constexpr const char* kBalloonRecordPattern =
    R"(balloon\d+:\d+\s+virtio-balloon\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+)\s+(\d+))";

// One record found in the text: the device number's digits (empty for the balloon, whose number is
// not used) and the value digit strings in text order. All views point into the searched text.
struct DeviceRecord {
    std::string_view device_number;
    std::array<std::string_view, 11> values{};
    std::size_t value_count = 0;
};

// Successive non-overlapping records from left to right, each search starting where the previous
// record ended, exactly as a regex iterator with the pattern above finds them. Every quantifier of
// these patterns is followed by a character it cannot take, so each candidate start is decided by
// one forward scan: linear time on segments of any size, with no recursion.
std::vector<DeviceRecord> find_block_records(std::string_view text);
std::vector<DeviceRecord> find_net_records(std::string_view text);
std::vector<DeviceRecord> find_balloon_records(std::string_view text);

} // namespace tarn
