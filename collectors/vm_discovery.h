#pragma once

#include "collectors/vm_entry.h"

namespace tarn {

// The running VMs: every process named exactly "bhyve" whose arguments name a VM number, in
// process-table order, the first process winning when two name the same number.
VmList discover_vms();

} // namespace tarn
