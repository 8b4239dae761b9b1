#include "platform/sysctl.h"

namespace tarn {

std::optional<std::int32_t> sysctl_int32(const char* name) {
    std::int32_t value = 0;
    if (!sysctl_read(name, &value, sizeof value))
        return std::nullopt;
    return value;
}

std::optional<std::uint64_t> sysctl_uint64(const char* name) {
    std::uint64_t value = 0;
    if (!sysctl_read(name, &value, sizeof value))
        return std::nullopt;
    return value;
}

} // namespace tarn
