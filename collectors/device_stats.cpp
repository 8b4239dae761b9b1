#include "collectors/device_stats.h"

#include "collectors/shared_memory.h"
#include "collectors/text_scan.h"
#include "metrics/health_figures.h"
#include "platform/run_flag.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <array>
#include <limits>

namespace tarn {
namespace {

struct FieldSpec {
    const char* name;
    MetricKind kind;
};

constexpr MetricKind C = MetricKind::counter;
constexpr MetricKind G = MetricKind::gauge;

constexpr std::array<FieldSpec, 8> kBlockFields{{{"read_bytes", C},
                                                 {"read_iops", C},
                                                 {"write_bytes", C},
                                                 {"write_iops", C},
                                                 {"trim_bytes", C},
                                                 {"trim_iops", C},
                                                 {"limit_mbps", G},
                                                 {"limit_iops", G}}};
constexpr std::array<FieldSpec, 8> kNetFields{{{"tx_bytes", C},
                                               {"tx_pps", C},
                                               {"rx_bytes", C},
                                               {"rx_pps", C},
                                               {"tx_limit_mbps", G},
                                               {"rx_limit_mbps", G},
                                               {"tx_drops", C},
                                               {"rx_drops", C}}};
constexpr std::array<FieldSpec, 11> kBalloonFields{{{"pages", G},
                                                    {"actual", G},
                                                    {"errors", C},
                                                    {"swap_in", C},
                                                    {"swap_out", C},
                                                    {"major_faults", C},
                                                    {"minor_faults", C},
                                                    {"free_memory", G},
                                                    {"total_memory", G},
                                                    {"avail_memory", G},
                                                    {"disk_caches", G}}};

template <std::size_t N>
void add_fields(MetricSample& sample, const DeviceRecord& record,
                const std::array<FieldSpec, N>& fields) {
    for (std::size_t i = 0; i < N; ++i) {
        std::string value(record.values[i]);
        if (fields[i].kind == MetricKind::counter)
            sample.add_counter(fields[i].name, std::move(value));
        else
            sample.add_gauge(fields[i].name, std::move(value));
    }
}

// The slot label: device number minus the model's offset, computed where it cannot overflow.
std::optional<std::int32_t> slot_of(std::string_view device_number, std::int32_t offset) {
    const auto number = scan::to_integer<std::int32_t>(device_number);
    if (!number)
        return std::nullopt;
    return *number - offset; // a non-negative int32 minus a small offset stays in range
}

template <std::size_t N>
std::size_t append_slotted(std::vector<MetricSample>& result, const FoundRecords& found,
                           const char* measurement, std::int32_t offset, std::int32_t vm_id,
                           const std::string& hostname, const std::array<FieldSpec, N>& fields) {
    for (const DeviceRecord& record : found.records) {
        const auto slot = slot_of(record.device_number, offset);
        if (!slot)
            continue;
        MetricSample sample(measurement);
        sample.add_label("vm_id", vm_id).add_label("slot", *slot).add_label("hostname", hostname);
        add_fields(sample, record, fields);
        result.push_back(std::move(sample));
    }
    return found.skipped;
}

} // namespace

std::size_t append_device_samples(std::string_view text, std::int32_t vm_id,
                                  const std::string& hostname, std::vector<MetricSample>& result) {
    std::size_t skipped = append_slotted(result, find_block_records(text), "virtio_blk", 9, vm_id,
                                         hostname, kBlockFields);
    skipped += append_slotted(result, find_net_records(text), "virtio_net", 4, vm_id, hostname,
                              kNetFields);
    const FoundRecords balloons = find_balloon_records(text);
    for (const DeviceRecord& record : balloons.records) {
        MetricSample sample("virtio_balloon");
        sample.add_label("vm_id", vm_id).add_label("hostname", hostname);
        add_fields(sample, record, kBalloonFields);
        result.push_back(std::move(sample));
    }
    return skipped + balloons.skipped;
}

std::vector<MetricSample> collect_device_stats(const VmList& vms, const std::string& hostname) {
    std::vector<MetricSample> result;
    for (const VmEntry& vm : vms) {
        if (!running())
            break;
        const std::string name = fmt::format("/bhyve.vm.{}.devices", vm.vm_id);
        SharedMemoryMapping mapping = read_shared_memory(name);
        if (!mapping)
            continue;
        // A snapshot: the publisher may rewrite the segment while it is being searched.
        const std::optional<std::string> text = mapping.take_copy();
        if (!text)
            continue; // shrunk under the mapping: no segment this feed
        if (const std::size_t skipped = append_device_samples(*text, vm.vm_id, hostname, result)) {
            health_figures().count("shm_skipped", {{"cause", "over_records"}});
            spdlog::warn("[devices] {}: {} records past the first {} of their kind; skipped", name,
                         skipped, kMaxDeviceRecords);
        }
    }
    return result;
}

} // namespace tarn
