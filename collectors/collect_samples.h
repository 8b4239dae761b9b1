#pragma once

#include "metrics/metric_sample.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarn {

// A collector thread could not be started; the daemon cannot collect and ends.
class CollectorThreadError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// One complete collection: the host_cpu_limit sample first, then the CPU and memory samples, then
// the device samples.
std::vector<MetricSample> collect_samples(const std::string& hostname, std::uint64_t tsc_freq);

} // namespace tarn
