// The bytes of a "/vmc.vm.N" segment. The JSON library's exception is the documented refusal of a
// malformed document; any other exception escapes and is a finding.
#include "collectors/cpu_memory_parsers.h"

#include <nlohmann/json.hpp>

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        (void)tarn::parse_vdc_document(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const nlohmann::json::exception&) {
    }
    return 0;
}
