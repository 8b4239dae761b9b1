// Linux stand-in for sysctlbyname. A file named after the setting in kSysctlOverrideDir holds its
// value in decimal text; the simulated host of the tests mounts that directory in a private mount
// namespace. Without a file, the few names the kernel can answer are derived from it.
#include "platform/sysctl.h"

#include <sys/utsname.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace tarn {
namespace {

constexpr const char* kSysctlOverrideDir = "/run/tarn-vm-perfdata/sysctl/";

std::optional<std::string> read_first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return std::nullopt;
    return line;
}

// Whole text must be one integer (surrounding blanks allowed).
std::optional<long long> parse_integer(const std::string& text, bool is_unsigned) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long long value = 0;
    if (is_unsigned) {
        while (*begin == ' ' || *begin == '\t')
            ++begin;
        if (*begin == '-')
            return std::nullopt;
        unsigned long long u = std::strtoull(begin, &end, 10);
        std::memcpy(&value, &u, sizeof value);
    } else {
        value = std::strtoll(begin, &end, 10);
    }
    if (errno != 0 || end == begin)
        return std::nullopt;
    while (*end == ' ' || *end == '\t' || *end == '\r')
        ++end;
    if (*end != '\0')
        return std::nullopt;
    return value;
}

std::optional<std::uint64_t> tsc_frequency_from_kernel() {
    if (auto khz = read_first_line("/sys/devices/system/cpu/cpu0/tsc_freq_khz")) {
        if (auto v = parse_integer(*khz, true); v && *v > 0)
            return static_cast<std::uint64_t>(*v) * 1000U;
    }
    // Without the sysfs file, "cpu MHz" is the TSC rate only when the CPU reports a constant TSC.
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    bool constant_tsc = false;
    double mhz = 0;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) == 0) {
            std::istringstream words(line.substr(line.find(':') + 1));
            std::string word;
            while (words >> word)
                constant_tsc = constant_tsc || word == "constant_tsc";
            break; // the first CPU's block is enough
        }
        if (line.rfind("cpu MHz", 0) == 0 && mhz == 0)
            mhz = std::strtod(line.c_str() + line.find(':') + 1, nullptr);
    }
    if (!constant_tsc || !(mhz > 0) || mhz > 1e6)
        return std::nullopt;
    return static_cast<std::uint64_t>(mhz * 1000.0 + 0.5) * 1000U;
}

std::optional<std::uint64_t> kernel_hz_from_config() {
    utsname uts{};
    if (uname(&uts) != 0)
        return std::nullopt;
    std::ifstream config(std::string("/boot/config-") + uts.release);
    std::string line;
    while (std::getline(config, line)) {
        if (line.rfind("CONFIG_HZ=", 0) == 0) {
            auto v = parse_integer(line.substr(10), false);
            if (v && *v > 0)
                return static_cast<std::uint64_t>(*v);
        }
    }
    return std::nullopt;
}

bool store(long long value, bool is_unsigned, void* out, std::size_t size) {
    if (size == sizeof(std::int32_t)) {
        if (is_unsigned
                ? static_cast<unsigned long long>(value) > std::numeric_limits<std::uint32_t>::max()
                : (value < std::numeric_limits<std::int32_t>::min() ||
                   value > std::numeric_limits<std::int32_t>::max()))
            return false;
        auto narrow = static_cast<std::int32_t>(value);
        std::memcpy(out, &narrow, size);
        return true;
    }
    if (size == sizeof(std::int64_t)) {
        std::memcpy(out, &value, size);
        return true;
    }
    return false;
}

} // namespace

bool sysctl_read(const char* name, void* value, std::size_t size) {
    const std::string key(name);
    if (key.empty() || key.find('/') != std::string::npos || key[0] == '.')
        return false;
    const bool is_unsigned = key == "machdep.tsc_freq";
    if (auto text = read_first_line(kSysctlOverrideDir + key)) {
        auto parsed = parse_integer(*text, is_unsigned);
        return parsed && store(*parsed, is_unsigned, value, size);
    }
    std::optional<std::uint64_t> derived;
    if (key == "machdep.tsc_freq")
        derived = tsc_frequency_from_kernel();
    else if (key == "kern.hz")
        derived = kernel_hz_from_config();
    if (!derived)
        return false;
    return store(static_cast<long long>(*derived), is_unsigned, value, size);
}

} // namespace tarn
