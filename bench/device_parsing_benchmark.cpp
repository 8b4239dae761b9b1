// The three record passes over devices segments of 1 KiB, 64 KiB and 1 MiB, against the same
// three patterns run with std::regex_iterator over the same texts.
//
// Two shapes per size: "sparse" is one VM's records at the start of the segment and NUL filler
// after them (what a host publishes: a fixed-size object with the text in front), "dense" repeats
// that record set until the segment is full and pads only the rest with NULs (the worst case for
// the searching).
#include "collectors/device_records.h"
#include "collectors/device_stats.h"

#include <benchmark/benchmark.h>

#include "bench_main.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace tarn {
namespace {

// One VM's records: two block devices (both models), a CD on another model that must not match,
// two network devices (plain and with letters after "net"), the balloon, and noise around them.
std::string record_set(int round) {
    const std::string n = std::to_string(round);
    return "devices of vm 7 round " + n +
           "\n"
           "block9:0 virtio-blk 123456789012/4567890 98765432100/3456789 0/0 100/500\n"
           "block10:1 nvme 2345678901/123456 3456789012/234567 1048576/64 0/0\n"
           "block3:0 ahci-cd 0/0 0/0 0/0 0/0\n"
           "net4:0 virtio-net 987654321098/765432109 123456789012/98765432 1000/1000 12/3\n"
           "nettap5:0 virtio-net 45678901/123456 56789012/234567 100/100 0/" +
           n +
           "\n"
           "lpc0:31 lpc com1=/dev/nmdm7A\n"
           "balloon0:0 virtio-balloon 262144 262144 0 12 34 567 89012 1073741824 4294967296 "
           "2147483648 536870912\n"
           "end\n";
}

constexpr std::size_t kBlocksPerSet = 2;
constexpr std::size_t kNetsPerSet = 2;
constexpr std::size_t kBalloonsPerSet = 1;

struct Segment {
    std::string text;
    std::size_t sets = 0; // record sets it holds
};

Segment make_segment(std::size_t size, bool dense) {
    Segment segment;
    for (int round = 0;; ++round) {
        const std::string set = record_set(round);
        if (segment.text.size() + set.size() > size || (!dense && segment.sets == 1))
            break;
        segment.text += set;
        ++segment.sets;
    }
    segment.text.resize(size, '\0');
    return segment;
}

std::vector<DeviceRecord> regex_records(std::string_view text, const std::regex& pattern,
                                        bool capture_device) {
    std::vector<DeviceRecord> records;
    const char* begin = text.data();
    const char* end = begin + text.size();
    for (std::cregex_iterator it(begin, end, pattern), last; it != last; ++it) {
        const std::cmatch& m = *it;
        DeviceRecord record;
        std::size_t group = 1;
        if (capture_device)
            record.device_number = std::string_view(m[group].first, m[group].length()), ++group;
        for (; group < m.size(); ++group)
            record.values[record.value_count++] =
                std::string_view(m[group].first, m[group].length());
        records.push_back(record);
    }
    return records;
}

// Compiled once, as the collector would.
const std::regex& block_regex() {
    static const std::regex pattern(kBlockRecordPattern);
    return pattern;
}
const std::regex& net_regex() {
    static const std::regex pattern(kNetRecordPattern);
    return pattern;
}
const std::regex& balloon_regex() {
    static const std::regex pattern(kBalloonRecordPattern);
    return pattern;
}

struct Passes {
    std::vector<DeviceRecord> block, net, balloon;
};

Passes hand_passes(std::string_view text) {
    return {find_block_records(text, SIZE_MAX).records, find_net_records(text, SIZE_MAX).records,
            find_balloon_records(text, SIZE_MAX).records};
}

Passes regex_passes(std::string_view text) {
    return {regex_records(text, block_regex(), true), regex_records(text, net_regex(), true),
            regex_records(text, balloon_regex(), false)};
}

bool same_records(const std::vector<DeviceRecord>& a, const std::vector<DeviceRecord>& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].device_number != b[i].device_number || a[i].value_count != b[i].value_count)
            return false;
        for (std::size_t v = 0; v < a[i].value_count; ++v)
            if (a[i].values[v] != b[i].values[v])
                return false;
    }
    return true;
}

// Both ways must find the same records, and as many as the segment holds, before any timing.
bool check(const std::string& name, const Segment& segment) {
    const Passes hand = hand_passes(segment.text);
    const Passes regex = regex_passes(segment.text);
    std::vector<MetricSample> samples;
    append_device_samples(segment.text, 7, "bench-host", samples);
    // Samples are built from the first kMaxDeviceRecords records of each kind.
    const auto taken = [&](std::size_t per_set) {
        return std::min(per_set * segment.sets, kMaxDeviceRecords);
    };
    const bool ok =
        hand.block.size() == kBlocksPerSet * segment.sets &&
        hand.net.size() == kNetsPerSet * segment.sets &&
        hand.balloon.size() == kBalloonsPerSet * segment.sets &&
        same_records(hand.block, regex.block) && same_records(hand.net, regex.net) &&
        same_records(hand.balloon, regex.balloon) &&
        samples.size() == taken(kBlocksPerSet) + taken(kNetsPerSet) + taken(kBalloonsPerSet);
    if (!ok)
        std::fprintf(stderr, "%s: matchers disagree (hand %zu/%zu/%zu, regex %zu/%zu/%zu)\n",
                     name.c_str(), hand.block.size(), hand.net.size(), hand.balloon.size(),
                     regex.block.size(), regex.net.size(), regex.balloon.size());
    return ok;
}

void set_bytes(benchmark::State& state, const Segment& segment) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(segment.text.size()));
    state.counters["records"] =
        static_cast<double>(segment.sets * (kBlocksPerSet + kNetsPerSet + kBalloonsPerSet));
}

} // namespace
} // namespace tarn

// --short runs the 1 KiB and 64 KiB segments briefly; the full run adds 1 MiB.
int main(int argc, char** argv) {
    using namespace tarn;
    const bool short_mode = bench::take_short_flag(argc, argv);
    struct Size {
        const char* name;
        std::size_t bytes;
    };
    std::vector<Size> sizes{{"1KiB", 1024}, {"64KiB", 64 * 1024}};
    if (!short_mode)
        sizes.push_back({"1MiB", 1024 * 1024});

    // Kept alive for the whole run: the benchmarks refer to them.
    static std::vector<Segment> segments;
    segments.reserve(sizes.size() * 2);
    std::vector<std::string> cases;
    for (const Size& size : sizes) {
        for (bool dense : {false, true}) {
            const std::string name = std::string(dense ? "dense/" : "sparse/") + size.name;
            segments.push_back(make_segment(size.bytes, dense));
            const Segment* segment = &segments.back();
            if (!check(name, *segment))
                return 1;
            cases.push_back(name);
            std::vector<benchmark::internal::Benchmark*> registered{
                benchmark::RegisterBenchmark(("BM_AppendDeviceSamples/" + name).c_str(),
                                             [segment](benchmark::State& state) {
                                                 for (auto _ : state) {
                                                     std::vector<MetricSample> samples;
                                                     append_device_samples(segment->text, 7,
                                                                           "bench-host", samples);
                                                     benchmark::DoNotOptimize(samples);
                                                 }
                                                 set_bytes(state, *segment);
                                             }),
                benchmark::RegisterBenchmark(("BM_HandMatchers/" + name).c_str(),
                                             [segment](benchmark::State& state) {
                                                 for (auto _ : state) {
                                                     Passes passes = hand_passes(segment->text);
                                                     benchmark::DoNotOptimize(passes);
                                                 }
                                                 set_bytes(state, *segment);
                                             }),
                benchmark::RegisterBenchmark(("BM_RegexIterator/" + name).c_str(),
                                             [segment](benchmark::State& state) {
                                                 for (auto _ : state) {
                                                     Passes passes = regex_passes(segment->text);
                                                     benchmark::DoNotOptimize(passes);
                                                 }
                                                 set_bytes(state, *segment);
                                             })};
            for (auto* b : registered) {
                b->Unit(benchmark::kMicrosecond);
                if (short_mode)
                    b->MinTime(0.05);
            }
        }
    }
    bench::RecordingReporter reporter;
    if (!bench::run_benchmarks(argc, argv, reporter))
        return 1;
    std::printf("\nstd::regex_iterator time / hand matchers time, same three patterns:\n");
    for (const std::string& name : cases)
        reporter.print_ratio(name.c_str(), "BM_RegexIterator/" + name, "BM_HandMatchers/" + name);
    std::printf("\nappend_device_samples time / hand matchers time (cost of building samples):\n");
    for (const std::string& name : cases)
        reporter.print_ratio(name.c_str(), "BM_AppendDeviceSamples/" + name,
                             "BM_HandMatchers/" + name);
    return 0;
}
