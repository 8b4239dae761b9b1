#pragma once

#include "metrics/metric_sample.h"

#include <cstdint>
#include <string>

namespace tarn {

// The host kernel's vCPU-limit settings of class 1 and its tick rate, read every collection.
struct HostCpuLimit {
    std::int32_t kern_hz = 1000;
    std::int32_t delay_ms = 0;
    std::int32_t rate_limit = 0;
    std::int32_t burst_secs = 0;
};

// Each setting that cannot be read keeps its default.
HostCpuLimit read_host_cpu_limit();

MetricSample host_cpu_limit_sample(const HostCpuLimit& limit, const std::string& hostname,
                                   std::uint64_t tsc_freq);

} // namespace tarn
