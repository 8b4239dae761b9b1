#include "collectors/host_cpu_limit.h"

#include "platform/sysctl.h"

namespace tarn {

HostCpuLimit read_host_cpu_limit() {
    HostCpuLimit limit;
    limit.kern_hz = sysctl_int32("kern.hz").value_or(limit.kern_hz);
    limit.delay_ms = sysctl_int32("hw.vmm.vcpu_limit.class.1.delay_ms").value_or(limit.delay_ms);
    limit.rate_limit =
        sysctl_int32("hw.vmm.vcpu_limit.class.1.rate_limit").value_or(limit.rate_limit);
    limit.burst_secs =
        sysctl_int32("hw.vmm.vcpu_limit.class.1.burst_secs").value_or(limit.burst_secs);
    return limit;
}

MetricSample host_cpu_limit_sample(const HostCpuLimit& limit, const std::string& hostname,
                                   std::uint64_t tsc_freq) {
    MetricSample sample("host_cpu_limit");
    sample.add_label("hostname", hostname)
        .add_label("limit_class", std::int32_t{1})
        .add_gauge("delay_ms", limit.delay_ms)
        .add_gauge("rate_limit", limit.rate_limit)
        .add_gauge("burst_secs", limit.burst_secs)
        .add_gauge("hz", tsc_freq);
    return sample;
}

} // namespace tarn
