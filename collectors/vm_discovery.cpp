#include "collectors/vm_discovery.h"

#include "collectors/vm_number.h"
#include "platform/process_table.h"

#include <spdlog/spdlog.h>

#include <unordered_set>

namespace tarn {

VmList discover_vms() {
    VmList vms;
    ProcessTable table;
    if (!table.is_open()) {
        spdlog::error("kvm_openfiles: {}", table.error());
        return vms;
    }
    std::unordered_set<std::int32_t> seen;
    const bool listed = table.for_each_named("bhyve", [&](const ProcessInfo& process) {
        if (!process.arguments)
            return;
        const std::string joined = join_arguments(*process.arguments);
        if (joined.empty())
            return;
        const auto vm_id = vm_number_from_arguments(joined);
        if (!vm_id || !seen.insert(*vm_id).second)
            return;
        vms.push_back(VmEntry{*vm_id, process.pid});
    });
    if (!listed) {
        spdlog::error("kvm_getprocs failed");
        return {};
    }
    return vms;
}

} // namespace tarn
