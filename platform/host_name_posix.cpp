#include "platform/host_name.h"

#include <unistd.h>

#include <cstring>

namespace tarn {

std::string read_host_name() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer) != 0)
        return std::string();
    // POSIX leaves termination open when the name was truncated.
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

} // namespace tarn
