#include "collectors/vm_cpu_memory.h"

#include "collectors/command_runner.h"
#include "collectors/cpu_memory_parsers.h"
#include "collectors/shared_memory.h"
#include "collectors/tool_failure_report.h"
#include "metrics/health_figures.h"
#include "platform/run_flag.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace tarn {
namespace {

const char* const kBhyvectl = "/usr/sbin/bhyvectl";
const char* const kRctl = "/usr/bin/rctl";

// Nearly all of a VM's time is spent waiting for its four host tools, so a few VMs are served at
// once; more workers than hardware threads would only contend for them.
constexpr unsigned kMaxWorkers = 8;

std::optional<std::int32_t> read_vdc(std::int32_t vm_id) {
    SharedMemoryMapping mapping = read_shared_memory(fmt::format("/vmc.vm.{}", vm_id));
    if (!mapping)
        return std::nullopt;
    // Parsed from a copy: the publisher may shrink the object under the mapping.
    const std::optional<std::string> bytes = mapping.take_copy();
    if (!bytes)
        return std::nullopt;
    try {
        return parse_vdc_document(*bytes);
    } catch (const nlohmann::json::exception& error) {
        spdlog::error("[cpu] JSON parse error for vmc.vm.{}: {}", vm_id, error.what());
        return std::nullopt;
    }
}

// Runs one host tool for a VM; a failed run is counted for the daemon's own health figures.
CommandOutput run_for_vm(const CommandLine& command, std::int32_t vm_id, bool strict = false) {
    ToolFailure failure = ToolFailure::none;
    CommandOutput output =
        strict ? run_command_strict(command, &failure) : run_command(command, &failure);
    if (failure != ToolFailure::none) {
        const std::string& path = command.front();
        const std::string tool = path.substr(path.rfind('/') + 1);
        health_figures().count("tool_failures", {{"tool", tool},
                                                 {"cause", tool_failure_name(failure)},
                                                 {"vm_id", std::to_string(vm_id)}});
        note_tool_failure({tool, failure, vm_id});
    }
    return output;
}

// The sample of one VM, or absent when the VM is skipped this cycle.
std::optional<MetricSample> collect_one(const VmEntry& vm, const std::string& hostname,
                                        double tsc_freq, double kern_hz) {
    const CommandOutput all =
        run_for_vm({kBhyvectl, "--get-all", fmt::format("--vm={}", vm.vm_id)}, vm.vm_id);
    const auto topology = all ? parse_get_all(*all) : std::nullopt;
    if (!topology)
        return std::nullopt;

    const CommandOutput class_text =
        run_for_vm({kBhyvectl, "--get-vcpu-class", fmt::format("--vm={}", vm.vm_id)}, vm.vm_id);
    const auto limit_class = class_text ? parse_vcpu_class(*class_text) : std::nullopt;
    if (!limit_class)
        return std::nullopt;

    const auto vdc_id = read_vdc(vm.vm_id);
    if (!vdc_id)
        return std::nullopt;

    VmResourceUse use;
    if (const CommandOutput rctl =
            run_for_vm({kRctl, "-u", fmt::format("process:{}", vm.pid)}, vm.vm_id, true)) {
        const auto parsed = parse_rctl(*rctl);
        if (!parsed)
            return std::nullopt;
        use = *parsed;
    }

    VmRunStats stats;
    if (const CommandOutput text =
            run_for_vm({kBhyvectl, "--get-stats", fmt::format("--vm={}", vm.vm_id)}, vm.vm_id)) {
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

    // Each VM's sample goes into the slot of its position, so the result keeps the list order
    // whichever worker served it.
    std::vector<std::optional<MetricSample>> slots(vms.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (;;) {
            if (!running())
                return;
            const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= vms.size())
                return;
            slots[i] = collect_one(vms[i], hostname, tsc_freq_value, kern_hz_value);
        }
    };

    const unsigned hardware = std::max(1u, std::thread::hardware_concurrency());
    const std::size_t workers = std::min<std::size_t>({kMaxWorkers, hardware, vms.size()});
    std::vector<std::thread> helpers;
    helpers.reserve(workers - 1);
    for (std::size_t n = 1; n < workers; ++n) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break; // the workers that did start, and this thread, serve the list
        }
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();

    for (auto& slot : slots)
        if (slot)
            result.push_back(std::move(*slot));
    return result;
}

} // namespace tarn
