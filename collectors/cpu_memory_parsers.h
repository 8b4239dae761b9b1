#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarn {

// Figures of `bhyvectl --get-all`; absent when the VM has no usable topology (no line, a zero
// factor, a factor or product beyond a signed 32-bit integer) or a memory figure does not fit.
struct VmTopologyMemory {
    std::int32_t vm_cpus = 0;
    std::uint64_t vm_rss = 0;
    std::uint64_t vm_wired = 0;
};
std::optional<VmTopologyMemory> parse_get_all(const std::string& text);

// The limit class of `bhyvectl --get-vcpu-class`; absent when the text does not begin with it.
std::optional<std::int32_t> parse_vcpu_class(const std::string& text);

// The VDC number of a "/vmc.vm.N" document: a JSON object whose "item" is the JSON text of an
// object holding "vdc". The document ends at its first NUL byte. Absent when a key is missing or
// the number does not fit; a malformed document throws the JSON library's exception.
std::optional<std::int32_t> parse_vdc_document(std::string_view bytes);

// Resource accounting of `rctl -u process:PID`; absent when a value does not fit 64 bits, which
// skips the VM like any other figure that cannot be represented.
struct VmResourceUse {
    std::uint64_t memoryuse = 0;
    std::uint64_t vmemoryuse = 0;
    std::uint64_t pcpu = 0;
};
std::optional<VmResourceUse> parse_rctl(const std::string& text);

// Counters of `bhyvectl --get-stats`; absent when a value does not fit 64 bits.
struct VmRunStats {
    std::uint64_t runtime = 0;
    std::uint64_t idle_ticks = 0;
    std::uint64_t limit_sleeps = 0;
};
std::optional<VmRunStats> parse_get_stats(const std::string& text);

// Whole seconds of idle time: ticks divided by the tick rate, truncated. A rate of 0 or below
// gives 0, and a quotient beyond 64 bits saturates, instead of an undefined conversion.
std::uint64_t idle_seconds(std::uint64_t idle_ticks, double kern_hz);

// vCPU time in seconds: TSC cycles divided by the TSC frequency; 0 when the frequency is 0.
double runtime_seconds(std::uint64_t runtime, double tsc_freq);

} // namespace tarn
