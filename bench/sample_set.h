#pragma once

// The store shape the rendering benchmarks share: per VM the CPU sample, two block, two network
// and one balloon sample, as a host publishes them, after one host_cpu_limit sample.
#include "metrics/metric_sample.h"

#include <string>
#include <vector>

namespace tarn::bench {

inline std::vector<MetricSample> host_of(int vms) {
    std::vector<MetricSample> samples;
    MetricSample host("host_cpu_limit");
    host.add_label("hostname", "bench-host")
        .add_label("limit_class", 1)
        .add_gauge("delay_ms", 250)
        .add_gauge("rate_limit", 40)
        .add_gauge("burst_secs", 3)
        .add_gauge("hz", std::uint64_t{2100000000});
    samples.push_back(host);
    for (int vm = 1; vm <= vms; ++vm) {
        MetricSample cpu("bhyve_cpu");
        cpu.add_label("vm_id", vm)
            .add_label("vdc_id", vm % 17)
            .add_label("hostname", "bench-host")
            .add_label("limit_class", 1)
            .add_gauge("memoryuse", std::uint64_t{4294967296})
            .add_gauge("vmemoryuse", std::uint64_t{8589934592})
            .add_gauge("pcpu", std::uint64_t{37})
            .add_gauge("vm_cpus", 4)
            .add_counter("idle_ticks", std::uint64_t{123456})
            .add_counter("limit_sleeps", std::uint64_t{789})
            .add_counter("vcpu_runtime", 98765.4321, 6)
            .add_gauge("vm_rss", std::uint64_t{2147483648})
            .add_gauge("vm_wired", std::uint64_t{1073741824});
        samples.push_back(cpu);
        for (int slot = 0; slot < 2; ++slot) {
            MetricSample blk("virtio_blk");
            blk.add_label("vm_id", vm).add_label("slot", slot).add_label("hostname", "bench-host");
            for (const char* f : {"read_bytes", "read_iops", "write_bytes", "write_iops",
                                  "trim_bytes", "trim_iops"})
                blk.add_counter(f, std::string("1234567890"));
            blk.add_gauge("limit_mbps", std::string("100"))
                .add_gauge("limit_iops", std::string("500"));
            samples.push_back(blk);
        }
        for (int slot = 0; slot < 2; ++slot) {
            MetricSample net("virtio_net");
            net.add_label("vm_id", vm).add_label("slot", slot).add_label("hostname", "bench-host");
            net.add_counter("tx_bytes", std::string("987654321"))
                .add_counter("tx_pps", std::string("4321"))
                .add_counter("rx_bytes", std::string("123456789"))
                .add_counter("rx_pps", std::string("1234"))
                .add_gauge("tx_limit_mbps", std::string("1000"))
                .add_gauge("rx_limit_mbps", std::string("1000"))
                .add_counter("tx_drops", std::string("3"))
                .add_counter("rx_drops", std::string("4"));
            samples.push_back(net);
        }
        MetricSample balloon("virtio_balloon");
        balloon.add_label("vm_id", vm).add_label("hostname", "bench-host");
        for (const char* f :
             {"pages", "actual", "errors", "swap_in", "swap_out", "major_faults", "minor_faults",
              "free_memory", "total_memory", "avail_memory", "disk_caches"})
            balloon.add_gauge(f, std::string("65536"));
        samples.push_back(balloon);
    }
    return samples;
}

} // namespace tarn::bench
