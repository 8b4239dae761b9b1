// The output of `bhyvectl --get-vcpu-class`.
// Compared with the standard engine on inputs small enough for its recursion.
#include "collectors/cpu_memory_parsers.h"
#include "tests/fuzz/fuzz_util.h"
#include "tests/unit/tool_text_oracle.h"

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto limit_class = tarn::parse_vcpu_class(text);
    if (limit_class)
        tarn::fuzz::check(*limit_class >= 0 && *limit_class <= 99,
                          "a limit class of more than two digits");
    if (size <= tarn::fuzz::kDifferentialLimit)
        tarn::fuzz::check(limit_class == tarn::oracle::vcpu_class(text),
                          "the limit class differs from the standard engine's");
    return 0;
}
