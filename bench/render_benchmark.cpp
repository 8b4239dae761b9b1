// Cost of one scrape's rendering for stores of realistic shape, and how it grows with the VMs.
#include "exporters/prometheus_text.h"

#include <benchmark/benchmark.h>

#include "allocation_counter.h"
#include "bench_main.h"
#include "sample_set.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarn {
namespace {

void BM_RenderPrometheus(benchmark::State& state) {
    MetricStore store("tarn_vm");
    store.replace(bench::host_of(static_cast<int>(state.range(0))));
    std::size_t bytes = 0;
    std::size_t lines = 0;
    std::size_t allocations = 0;
    for (auto _ : state) {
        const std::size_t before = bench::allocations();
        std::string document = render_prometheus(store);
        allocations += bench::allocations() - before;
        bytes += document.size();
        lines += static_cast<std::size_t>(std::count(document.begin(), document.end(), '\n'));
        benchmark::DoNotOptimize(document);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["allocs_per_line"] =
        static_cast<double>(allocations) / static_cast<double>(lines ? lines : 1);
    state.counters["lines"] =
        benchmark::Counter(static_cast<double>(lines) / static_cast<double>(state.iterations()));
}

// The same document written with fewer allocations: each family's lines go straight into one
// growing buffer, and the full name is built in a reused string and looked up without a copy.
// It exists to show what the rendering costs beyond its output; main checks that both agree.
std::string render_with_family_buffers(const MetricStore& store) {
    const std::vector<MetricSample> samples = store.snapshot();
    struct Family {
        std::string name;
        MetricKind kind;
        std::string help;
        std::string lines;
    };
    std::vector<Family> families;
    std::unordered_map<std::string, std::size_t> index;
    std::string labels;
    std::string name;
    for (const MetricSample& sample : samples) {
        labels.clear();
        for (const auto& [label, value] : sample.labels) {
            if (!labels.empty())
                labels += ',';
            labels += label;
            labels += "=\"";
            labels += escape_label_value(value);
            labels += '"';
        }
        for (const MetricField& field : sample.fields) {
            const auto conversion = find_unit_conversion(field.name);
            name.assign(store.prefix()).append("_").append(sample.measurement).append("_");
            if (conversion)
                name.append(conversion->exposed_name);
            else
                name.append(field.name);
            if (field.kind == MetricKind::counter &&
                !(name.size() >= 6 && name.compare(name.size() - 6, 6, "_total") == 0))
                name += "_total";
            auto it = index.find(name);
            if (it == index.end()) {
                it = index.emplace(name, families.size()).first;
                families.push_back(
                    {name,
                     field.kind,
                     sample.measurement + " " + field.name +
                         (field.kind == MetricKind::counter ? " (counter)" : " (gauge)"),
                     {}});
            }
            std::string& out = families[it->second].lines;
            out += name;
            if (!labels.empty())
                out.append("{").append(labels).append("}");
            out += ' ';
            if (conversion)
                out += prometheus_value(field);
            else
                out += field.value;
            out += '\n';
        }
    }
    std::size_t size = 0;
    for (const Family& family : families)
        size += 2 * family.name.size() + family.help.size() + family.lines.size() + 32;
    std::string document;
    document.reserve(size);
    for (const Family& family : families) {
        const char* kind = family.kind == MetricKind::counter ? "counter" : "gauge";
        document.append("# HELP ").append(family.name).append(" ").append(family.help);
        document.append("\n# TYPE ").append(family.name).append(" ").append(kind).append("\n");
        document += family.lines;
    }
    return document;
}

void BM_RenderWithFamilyBuffers(benchmark::State& state) {
    MetricStore store("tarn_vm");
    store.replace(bench::host_of(static_cast<int>(state.range(0))));
    std::size_t bytes = 0;
    std::size_t allocations = 0;
    std::size_t lines = 0;
    for (auto _ : state) {
        const std::size_t before = bench::allocations();
        std::string document = render_with_family_buffers(store);
        allocations += bench::allocations() - before;
        bytes += document.size();
        lines += static_cast<std::size_t>(std::count(document.begin(), document.end(), '\n'));
        benchmark::DoNotOptimize(document);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["allocs_per_line"] =
        static_cast<double>(allocations) / static_cast<double>(lines ? lines : 1);
}

} // namespace
} // namespace tarn

// --short renders only the 500-VM store, briefly; the full run also prints how the cost grows.
int main(int argc, char** argv) {
    const bool short_mode = tarn::bench::take_short_flag(argc, argv);
    auto* render = benchmark::RegisterBenchmark("BM_RenderPrometheus", tarn::BM_RenderPrometheus);
    render->Arg(500)->Unit(benchmark::kMillisecond);
    if (short_mode)
        render->MinTime(0.05);
    else
        render->Arg(5000);
    auto* buffers = benchmark::RegisterBenchmark("BM_RenderWithFamilyBuffers",
                                                 tarn::BM_RenderWithFamilyBuffers);
    buffers->Arg(500)->Unit(benchmark::kMillisecond);
    if (short_mode)
        buffers->MinTime(0.05);
    else
        buffers->Arg(5000);
    {
        tarn::MetricStore store("tarn_vm");
        store.replace(tarn::bench::host_of(50));
        if (tarn::render_with_family_buffers(store) != tarn::render_prometheus(store)) {
            std::fprintf(stderr, "the two renderings differ\n");
            return 1;
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    tarn::bench::RecordingReporter reporter;
    if (benchmark::RunSpecifiedBenchmarks(&reporter) == 0)
        return 1;
    benchmark::Shutdown();
    reporter.print_ratio("render_prometheus / family buffers, 500 VMs", "BM_RenderPrometheus/500",
                         "BM_RenderWithFamilyBuffers/500");
    if (!short_mode) {
        reporter.print_ratio("render_prometheus / family buffers, 5,000 VMs",
                             "BM_RenderPrometheus/5000", "BM_RenderWithFamilyBuffers/5000");
        // Linear growth gives 10.
        reporter.print_ratio("time 5,000 VMs / time 500 VMs (linear: 10)",
                             "BM_RenderPrometheus/5000", "BM_RenderPrometheus/500");
    }
    return 0;
}
