#pragma once

#include "exporters/influx/influx_batcher.h"
#include "metrics/metric_sample.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarn {

// What one feed knows about itself.
struct FeedFigures {
    std::int64_t collection_ns = 0;         // how long collect_samples took
    std::string collection_end;             // line-protocol timestamp taken when it returned
    std::int32_t interval_seconds = 0;      // as configured
    const InfluxCounters* influx = nullptr; // with Influx on: what became of the lines so far
    std::size_t influx_buffer_limit = 0;
};

// Records the feed's figures and the build among the health figures, then appends every health
// figure to the feed's samples (after the collected ones, so that the scrape without them is
// byte for byte the same up to there).
void add_self_metrics(std::vector<MetricSample>& samples, const std::string& hostname,
                      const FeedFigures& feed);

// "1700000000000042000" (nanoseconds at microsecond resolution) as "1700000000.000042".
std::string unix_seconds_text(const std::string& timestamp_ns);

} // namespace tarn
