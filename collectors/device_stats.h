#pragma once

#include "collectors/device_records.h"
#include "collectors/vm_entry.h"
#include "metrics/metric_sample.h"

#include <string>
#include <string_view>
#include <vector>

namespace tarn {

// The device samples of one VM's segment text: block, then network, then balloon, each in text
// order, from the first kMaxDeviceRecords records of each kind. A record whose device number does
// not fit a signed 32-bit integer yields nothing. Returns the number of records past the bound.
std::size_t append_device_samples(std::string_view text, std::int32_t vm_id,
                                  const std::string& hostname, std::vector<MetricSample>& result);

// The device samples of every VM with a "/bhyve.vm.N.devices" segment, in list order; a segment
// with records past the bound is logged once per feed with their count. Stops before the next VM
// once the run flag is 0.
std::vector<MetricSample> collect_device_stats(const VmList& vms, const std::string& hostname);

} // namespace tarn
