#pragma once

#include "collectors/device_records.h"
#include "collectors/vm_entry.h"
#include "metrics/metric_sample.h"

#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// The device samples of one VM's segment text: block, then network, then balloon, each in text
// order. A record whose device number does not fit a signed 32-bit integer yields nothing.
void append_device_samples(std::string_view text, std::int32_t vm_id, const std::string& hostname,
                           std::vector<MetricSample>& result);

// The device samples of every VM with a "/bhyve.vm.N.devices" segment, in list order. Stops
// before the next VM once the run flag is 0.
std::vector<MetricSample> collect_device_stats(const VmList& vms, const std::string& hostname);

} // namespace tarn
