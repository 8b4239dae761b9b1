#include "collectors/vm_cpu_memory.h"

#include "collectors/command_runner.h"
#include "collectors/cpu_memory_parsers.h"
#include "collectors/shared_memory.h"
#include "platform/run_flag.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

namespace tarn {
namespace {

std::optional<std::int32_t> read_vdc(std::int32_t vm_id) {
    SharedMemoryMapping mapping = read_shared_memory(fmt::format("/vmc.vm.{}", vm_id));
    if (!mapping)
        return std::nullopt;
    // Parsed from a copy: the publisher may shrink the object under the mapping.
    const std::optional<std::string> bytes = mapping.copy();
    mapping.reset();
    if (!bytes)
        return std::nullopt;
    try {
        return parse_vdc_document(*bytes);
    } catch (const nlohmann::json::exception& error) {
        spdlog::error("[cpu] JSON parse error for vmc.vm.{}: {}", vm_id, error.what());
        return std::nullopt;
    }
}

// The sample of one VM, or absent when the VM is skipped this cycle.
std::optional<MetricSample> collect_one(const VmEntry& vm, const std::string& hostname,
                                        double tsc_freq, double kern_hz) {
    const CommandOutput all =
        run_command(fmt::format("/usr/sbin/bhyvectl --get-all --vm={}", vm.vm_id));
    const auto topology = all ? parse_get_all(*all) : std::nullopt;
    if (!topology)
        return std::nullopt;

    const CommandOutput class_text =
        run_command(fmt::format("/usr/sbin/bhyvectl --get-vcpu-class --vm={}", vm.vm_id));
    const auto limit_class = class_text ? parse_vcpu_class(*class_text) : std::nullopt;
    if (!limit_class)
        return std::nullopt;

    const auto vdc_id = read_vdc(vm.vm_id);
    if (!vdc_id)
        return std::nullopt;

    VmResourceUse use;
    if (const CommandOutput rctl =
            run_command_strict(fmt::format("/usr/bin/rctl -u process:{}", vm.pid))) {
        const auto parsed = parse_rctl(*rctl);
        if (!parsed)
            return std::nullopt;
        use = *parsed;
    }

    VmRunStats stats;
    if (const CommandOutput text =
            run_command(fmt::format("/usr/sbin/bhyvectl --get-stats --vm={}", vm.vm_id))) {
        const auto parsed = parse_get_stats(*text);
        if (!parsed)
            return std::nullopt;
        stats = *parsed;
    }

    MetricSample sample("bhyve_cpu");
    sample.add_label("vm_id", vm.vm_id)
        .add_label("vdc_id", *vdc_id)
        .add_label("hostname", hostname)
        .add_label("limit_class", *limit_class)
        .add_gauge("memoryuse", use.memoryuse)
        .add_gauge("vmemoryuse", use.vmemoryuse)
        .add_gauge("pcpu", use.pcpu)
        .add_gauge("vm_cpus", topology->vm_cpus)
        .add_counter("idle_ticks", idle_seconds(stats.idle_ticks, kern_hz))
        .add_counter("limit_sleeps", stats.limit_sleeps)
        .add_counter("vcpu_runtime", runtime_seconds(stats.runtime, tsc_freq), 6)
        .add_gauge("vm_rss", topology->vm_rss)
        .add_gauge("vm_wired", topology->vm_wired);
    return sample;
}

} // namespace

std::vector<MetricSample> collect_vm_cpu_memory(const VmList& vms, const std::string& hostname,
                                                std::uint64_t tsc_freq, std::int32_t kern_hz) {
    std::vector<MetricSample> result;
    if (vms.empty())
        return result;
    const double tsc_freq_value = static_cast<double>(tsc_freq);
    const double kern_hz_value = static_cast<double>(kern_hz);
    for (const VmEntry& vm : vms) {
        if (!running())
            break;
        if (auto sample = collect_one(vm, hostname, tsc_freq_value, kern_hz_value))
            result.push_back(std::move(*sample));
    }
    return result;
}

} // namespace tarn
