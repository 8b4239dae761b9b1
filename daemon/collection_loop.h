#pragma once

#include "exporters/influx/influx_batcher.h"
#include "exporters/influx/influx_writer.h"
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
    bool self_metrics = false;           // the daemon's own health figures join the scrape
    std::size_t influx_batch_size = 1;   // lines per POST
    std::size_t influx_buffer_limit = 0; // lines kept across feeds when posting fails; 0: none
    std::int64_t influx_timeout_ms = kInfluxPostTimeoutMs; // of one POST
};

// What a feed calls outside itself; the defaults are the real collection, wall clock, line
// building, posting, monotonic clock and sleep, and tests replace them.
struct FeedHooks {
    std::function<std::vector<MetricSample>()> collect;
    std::function<std::string()> timestamp;
    std::function<std::string(const MetricSample&, const std::string&)> line;
    std::function<InfluxAnswer(const std::string& body, std::int64_t timeout_ms)>
        post; // empty when Influx is off
    std::function<std::int64_t()> monotonic_ns;
    std::function<void(std::int64_t)> sleep_us;
};

FeedHooks default_feed_hooks(const CollectionSettings& settings, InfluxWriter* writer);

// One feed: collect, store, build/log the lines and hand them to `influx` to post, then sleep the
// rest of the interval in slices of at most one second while the run flag stays set. Posting
// stops for the rest of the feed after a post without any answer (with a buffer also after a
// 5xx or 429), once posting has taken a whole interval, or when the run flag is 0; no POST (the
// halves of a batch too large included) starts after that or gets more than the time left. What
// was not posted is counted in one error message and, with a buffer, kept for the next feed.
void run_cycle(const CollectionSettings& settings, MetricStore& store, const FeedHooks& hooks,
               InfluxBatcher& influx, const RunFlag& run_flag);

// With a buffer, the last attempt at exit: what it holds is posted within kInfluxExitAttemptMs
// in all, and what is left then is logged with its count.
void send_buffered_at_exit(InfluxBatcher& influx, const FeedHooks& hooks,
                           std::int64_t timeout_ms = kInfluxPostTimeoutMs);

// Feeds until the run flag is 0 (tested before the first feed too), then sends what is buffered;
// with `spool` the buffer is kept in that file too (see InfluxBatcher::keep_in).
void run_collection_loop(const CollectionSettings& settings, MetricStore& store,
                         InfluxWriter* writer, InfluxSpool* spool = nullptr,
                         const RunFlag& run_flag = g_run_flag);

} // namespace tarn
