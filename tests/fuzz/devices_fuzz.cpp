// The text of a "/bhyve.vm.N.devices" segment: any process that can write the segment controls it.
#include "collectors/device_records.h"
#include "collectors/device_stats.h"
#include "tests/fuzz/fuzz_util.h"

#include <fmt/format.h>

#include <regex>
#include <string>
#include <vector>

namespace {

// The records a regex iterator finds, for comparison with the hand-written scan.
void compare_with_regex(const std::string& text, const std::vector<tarn::DeviceRecord>& records,
                        const std::regex& expression, bool captures_device, const char* kind) {
    std::size_t index = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), expression);
         it != std::sregex_iterator(); ++it, ++index) {
        const std::smatch& match = *it;
        if (index >= records.size())
            tarn::fuzz::fail(fmt::format("{}: regex finds record {} at {}, the scan only {}", kind,
                                         index, match.position(0), records.size()));
        const tarn::DeviceRecord& record = records[index];
        const std::size_t first_value = captures_device ? 2 : 1;
        const std::size_t values = match.size() - first_value;
        if (record.value_count != values)
            tarn::fuzz::fail(fmt::format("{} record {}: {} values, regex {}", kind, index,
                                         record.value_count, values));
        auto same = [&](std::string_view got, std::size_t group) {
            const auto& sub = match[group];
            const std::size_t offset = static_cast<std::size_t>(sub.first - text.begin());
            return got.data() == text.data() + offset && got.size() == std::size_t(sub.length());
        };
        if (captures_device && !same(record.device_number, 1))
            tarn::fuzz::fail(fmt::format("{} record {}: device number '{}', regex '{}'", kind,
                                         index, record.device_number, match[1].str()));
        for (std::size_t v = 0; v < values; ++v)
            if (!same(record.values[v], first_value + v))
                tarn::fuzz::fail(fmt::format("{} record {}: value {} '{}', regex '{}'", kind, index,
                                             v, record.values[v], match[first_value + v].str()));
    }
    if (index != records.size())
        tarn::fuzz::fail(
            fmt::format("{}: the scan finds {} records, regex {}", kind, records.size(), index));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarn::fuzz::silence_logging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    std::vector<tarn::MetricSample> samples;
    tarn::append_device_samples(text, 3, "host", samples);
    for (const tarn::MetricSample& sample : samples)
        for (const tarn::MetricField& field : sample.fields)
            tarn::fuzz::check(!field.value.empty() &&
                                  field.value.find_first_not_of("0123456789") == std::string::npos,
                              "a device field value that is not a digit string");

    const auto blocks = tarn::find_block_records(text);
    const auto nets = tarn::find_net_records(text);
    const auto balloons = tarn::find_balloon_records(text);
    tarn::fuzz::check(samples.size() <= blocks.size() + nets.size() + balloons.size(),
                      "more samples than records");

    if (size <= tarn::fuzz::kDifferentialLimit) {
        // Compiled once: building an expression costs more than matching a small input.
        static const std::regex block(tarn::kBlockRecordPattern);
        static const std::regex net(tarn::kNetRecordPattern);
        static const std::regex balloon(tarn::kBalloonRecordPattern);
        compare_with_regex(text, blocks, block, true, "block");
        compare_with_regex(text, nets, net, true, "net");
        compare_with_regex(text, balloons, balloon, false, "balloon");
    }
    return 0;
}
