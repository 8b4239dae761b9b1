#pragma once

#include <cstddef>

namespace tarn::bench {

// Number of operator new calls so far in this process.
std::size_t allocations();

} // namespace tarn::bench
