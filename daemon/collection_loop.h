#pragma once

#include "exporters/influx_writer.h"
#include "metrics/metric_sample.h"
#include "metrics/metric_store.h"
#include "platform/run_flag.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tarn {

struct CollectionSettings {
    std::string hostname;
    std::uint64_t tsc_freq = 0;
    std::int32_t interval_seconds = 10;
    bool prometheus_enabled = false;
    bool influx_enabled = false;
    bool dump_influx = false;
};

// What a feed calls outside itself; the defaults are the real collection, wall clock, line
// building, posting, monotonic clock and sleep, and tests replace them.
struct FeedHooks {
    std::function<std::vector<MetricSample>()> collect;
    std::function<std::string()> timestamp;
    std::function<std::string(const MetricSample&, const std::string&)> line;
    std::function<PostResult(const std::string&)> post; // empty when Influx is off
    std::function<std::int64_t()> monotonic_ns;
    std::function<void(std::int64_t)> sleep_us;
};

FeedHooks default_feed_hooks(const CollectionSettings& settings, InfluxWriter* writer);

// One feed: collect, store, build/log/post the lines, then sleep the rest of the interval in
// slices of at most one second while the run flag stays set. Posting stops for the rest of the
// feed after a post without any answer, once posting has taken a whole interval, or when the run
// flag is 0; the lines not posted are counted in one error message, and the next feed tries
// again.
void run_cycle(const CollectionSettings& settings, MetricStore& store, const FeedHooks& hooks,
               const RunFlag& run_flag);

// Feeds until the run flag is 0; the flag is tested before the first feed too.
void run_collection_loop(const CollectionSettings& settings, MetricStore& store,
                         InfluxWriter* writer, const RunFlag& run_flag = g_run_flag);

} // namespace tarn
