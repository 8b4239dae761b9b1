#include "collectors/collect_samples.h"

#include "collectors/device_stats.h"
#include "collectors/host_cpu_limit.h"
#include "collectors/tool_failure_report.h"
#include "collectors/vm_cpu_memory.h"
#include "collectors/vm_discovery.h"
#include "metrics/health_figures.h"

#include <spdlog/spdlog.h>

#include <system_error>
#include <thread>

namespace tarn {

std::vector<MetricSample> collect_samples(const std::string& hostname, std::uint64_t tsc_freq) {
    std::vector<MetricSample> result;
    const HostCpuLimit limit = read_host_cpu_limit();
    result.push_back(host_cpu_limit_sample(limit, hostname, tsc_freq));

    const VmList vms = discover_vms();
    health_figures().set("vms_found", std::to_string(vms.size()));
    std::vector<MetricSample> cpu_memory;
    std::vector<MetricSample> devices;
    std::thread thread_a;
    std::thread thread_b;
    try {
        thread_a = std::thread(
            [&] { cpu_memory = collect_vm_cpu_memory(vms, hostname, tsc_freq, limit.kern_hz); });
        thread_b = std::thread([&] { devices = collect_device_stats(vms, hostname); });
    } catch (const std::system_error& error) {
        // The started thread still reads this frame's data: it must end before the frame does.
        if (thread_a.joinable())
            thread_a.join();
        spdlog::error("Cannot start a collector thread: {}", error.what());
        throw CollectorThreadError(error.what());
    }
    thread_a.join();
    thread_b.join();
    report_feed_tool_failures();

    result.reserve(result.size() + cpu_memory.size() + devices.size());
    std::move(cpu_memory.begin(), cpu_memory.end(), std::back_inserter(result));
    std::move(devices.begin(), devices.end(), std::back_inserter(result));
    return result;
}

} // namespace tarn
