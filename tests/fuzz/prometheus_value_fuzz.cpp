// The value texts the scrape converts to base units: rendered through a whole store.
#include "exporters/prometheus_text.h"
#include "metrics/metric_store.h"
#include "tests/fuzz/fuzz_util.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr const char* kConvertedFields[] = {"limit_mbps", "tx_limit_mbps", "rx_limit_mbps",
                                            "delay_ms", "burst_secs"};

// A sample value must be one number token: a float text strtod takes whole, or nan/inf.
bool is_number_token(const std::string& value) {
    if (value.empty() || value.find_first_of(" \t\r\n") != std::string::npos)
        return false;
    char* end = nullptr;
    errno = 0;
    std::strtod(value.c_str(), &end);
    return end == value.c_str() + value.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string value(reinterpret_cast<const char*>(data), size);

    tarn::MetricStore store("tarn_vm");
    std::vector<tarn::MetricSample> samples(1, tarn::MetricSample("virtio_net"));
    samples[0].add_label("vm_id", 1);
    for (const char* name : kConvertedFields)
        samples[0].add_gauge(name, std::string(value));
    store.replace(std::move(samples));
    const std::string document = tarn::render_prometheus(store);

    std::size_t lines = 0;
    for (std::size_t at = 0; at < document.size();) {
        const std::size_t end = document.find('\n', at);
        tarn::fuzz::check(end != std::string::npos, "a document that does not end in a newline");
        const std::string line = document.substr(at, end - at);
        at = end + 1;
        if (line.starts_with("#"))
            continue;
        ++lines;
        const std::size_t space = line.rfind(' ');
        tarn::fuzz::check(space != std::string::npos, "a sample line without a value");
        const std::string shown = line.substr(space + 1);
        if (!is_number_token(shown))
            tarn::fuzz::fail(fmt::format("value '{}' of input '{}' is no number", shown, value));
    }
    tarn::fuzz::check(lines == std::size(kConvertedFields), "a sample line lost or added");
    return 0;
}
