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

// Records of one kind taken from one VM's segment, well above any real VM's device count. A 30-byte
// record becomes a sample and a scrape line some fifty times its size, so without a bound a large
// segment of minimal records would cost the daemon gigabytes.
inline constexpr std::size_t kMaxDeviceRecords = 256;

// The first `limit` records found, and how many more the text holds past them.
struct FoundRecords {
    std::vector<DeviceRecord> records;
    std::size_t skipped = 0;
};

// Successive non-overlapping records from left to right, each search starting where the previous
// record ended, exactly as a regex iterator with the pattern above finds them. Every quantifier of
// these patterns is followed by a character it cannot take, so each candidate start is decided by
// one forward scan: linear time on segments of any size, with no recursion.
FoundRecords find_block_records(std::string_view text, std::size_t limit = kMaxDeviceRecords);
FoundRecords find_net_records(std::string_view text, std::size_t limit = kMaxDeviceRecords);
FoundRecords find_balloon_records(std::string_view text, std::size_t limit = kMaxDeviceRecords);

} // namespace tarn
