// The output of `rctl -u process:PID`.
// Compared with the standard engine on inputs small enough for its recursion.
#include "collectors/cpu_memory_parsers.h"
#include "tests/fuzz/fuzz_util.h"
#include "tests/unit/tool_text_oracle.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto parsed = tarn::parse_rctl(text);
    if (size <= tarn::fuzz::kDifferentialLimit)
        tarn::fuzz::check(tarn::oracle::show(parsed) ==
                              tarn::oracle::show(tarn::oracle::rctl(text)),
                          "the resource use differs from the standard engine's");
    return 0;
}
