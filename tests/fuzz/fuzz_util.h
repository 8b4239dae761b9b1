#pragma once

#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace tarn::fuzz {

// Up to this size an input is also given to the standard regex engine for comparison; beyond it
// that engine's per-character recursion would be the finding, not the code under test.
constexpr std::size_t kDifferentialLimit = 4096;

// The parsers log refused input; at fuzzing speed that is only noise and time.
inline void silence_logging() {
    spdlog::set_level(spdlog::level::off);
}

// A broken property is a finding: print what differed and abort, so libFuzzer keeps the input.
[[noreturn]] inline void fail(std::string_view what) {
    std::fprintf(stderr, "FUZZ PROPERTY FAILED: %.*s\n", static_cast<int>(what.size()),
                 what.data());
    std::abort();
}

inline void check(bool condition, std::string_view what) {
    if (!condition)
        fail(what);
}

} // namespace tarn::fuzz
