#include "platform/sysctl.h"

#include <sys/sysctl.h>
#include <sys/types.h>

namespace tarn {

bool sysctl_read(const char* name, void* value, std::size_t size) {
    std::size_t length = size;
    return sysctlbyname(name, value, &length, nullptr, 0) == 0;
}

} // namespace tarn
