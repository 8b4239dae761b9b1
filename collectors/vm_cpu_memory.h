#pragma once

#include "collectors/vm_entry.h"
#include "metrics/metric_sample.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarn {

// One bhyve_cpu sample per VM whose vCPU count, limit class and VDC number are all known, in list
// order. The VMs are served by up to min(8, hardware threads) workers at once, the calling thread
// among them; each worker stops before its next VM once the run flag is 0.
std::vector<MetricSample> collect_vm_cpu_memory(const VmList& vms, const std::string& hostname,
                                                std::uint64_t tsc_freq, std::int32_t kern_hz);

} // namespace tarn
