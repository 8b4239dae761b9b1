// The INI configuration file, read once at start-up.
#include "daemon/config.h"
#include "tests/fuzz/fuzz_util.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

std::string config_path;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarn::fuzz::silence_logging();
    const char* dir = std::getenv("TMPDIR");
    config_path = std::string(dir && *dir ? dir : "/tmp") + "/tarn_config_fuzz." +
                  std::to_string(::getpid()) + ".ini";
    std::atexit([] { std::remove(config_path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(config_path.c_str(), "wb");
    if (file == nullptr)
        tarn::fuzz::fail("cannot write the temporary config file");
    if (size > 0 && std::fwrite(data, 1, size, file) != size)
        tarn::fuzz::fail("cannot write the temporary config file");
    std::fclose(file);

    const tarn::ConfigResult result = tarn::load_config(config_path);
    tarn::fuzz::check(result.config.has_value() == (result.error.parse_error == 0),
                      "a config together with a parse error, or neither");
    if (result.config)
        tarn::fuzz::check(result.config->interval_seconds >= 1, "an interval below one second");
    else
        tarn::fuzz::check(result.error.parse_error > 0, "a parse error that names no line");
    return 0;
}
