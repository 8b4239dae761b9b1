#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace tarn {

// Reads a kernel setting by name into exactly `size` bytes, as sysctlbyname does.
// False when the name is unknown or its value does not have that size.
bool sysctl_read(const char* name, void* value, std::size_t size);

// The two shapes the daemon reads: a 4-byte signed and an 8-byte unsigned integer.
std::optional<std::int32_t> sysctl_int32(const char* name);
std::optional<std::uint64_t> sysctl_uint64(const char* name);

} // namespace tarn
