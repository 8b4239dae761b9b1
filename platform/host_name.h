#pragma once

#include <string>

namespace tarn {

// The host's name as gethostname gives it, up to the first NUL; empty if it cannot be read.
std::string read_host_name();

} // namespace tarn
