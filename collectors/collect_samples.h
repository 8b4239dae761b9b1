#pragma once

#include "metrics/metric_sample.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarn {

// One complete collection: the host_cpu_limit sample first, then the per-VM samples.
std::vector<MetricSample> collect_samples(const std::string& hostname, std::uint64_t tsc_freq);

} // namespace tarn
