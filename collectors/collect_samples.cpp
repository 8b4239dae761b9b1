#include "collectors/collect_samples.h"

#include "collectors/host_cpu_limit.h"

namespace tarn {

std::vector<MetricSample> collect_samples(const std::string& hostname, std::uint64_t tsc_freq) {
    std::vector<MetricSample> result;
    const HostCpuLimit limit = read_host_cpu_limit();
    result.push_back(host_cpu_limit_sample(limit, hostname, tsc_freq));
    // Process discovery and the per-VM collectors are added here.
    return result;
}

} // namespace tarn
