#pragma once

#include "metrics/metric_sample.h"

#include <cstdint>
#include <string>

namespace tarn {

// Nanoseconds since the epoch at microsecond resolution, from the wall clock.
std::string influx_timestamp();

// The same text for a given wall-clock time: seconds, six microsecond digits, "000".
std::string format_influx_timestamp(std::int64_t seconds, std::int64_t microseconds);

// One line-protocol point, without a trailing newline; texts go out unescaped.
std::string influx_line(const MetricSample& sample, const std::string& timestamp);

} // namespace tarn
