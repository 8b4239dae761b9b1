#pragma once

#include <cstdint>
#include <vector>

namespace tarn {

// One running VM: its number and the process id of its bhyve process.
struct VmEntry {
    std::int32_t vm_id = 0;
    std::int32_t pid = 0;

    bool operator==(const VmEntry&) const = default;
};

using VmList = std::vector<VmEntry>;

} // namespace tarn
