// Cost of one scrape's rendering for stores of realistic shape, and how it grows with the VMs.
#include "exporters/prometheus_text.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>

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

// Time, throughput and allocations per rendered line of one way of rendering the store.
template <std::string (*Render)(const MetricStore&)> void render_cost(benchmark::State& state) {
    MetricStore store("tarn_vm");
    store.replace(bench::host_of(static_cast<int>(state.range(0))));
    std::size_t bytes = 0;
    std::size_t lines = 0;
    std::size_t allocations = 0;
    for (auto _ : state) {
        const std::size_t before = bench::allocations();
        std::string document = Render(store);
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

std::string render_store(const MetricStore& store) {
    return render_prometheus(store);
}

// The same document built the simple way the daemon first did: every line formatted into a
// string of its own and kept per family, the document grown without a size. It shows what the
// buffer-per-family rendering saves; main checks that both agree byte for byte.
std::string render_line_by_line(const MetricStore& store) {
    const SampleSet set = store.snapshot();
    const std::vector<MetricSample>& samples = *set;
    struct Family {
        std::string name;
        MetricKind kind;
        std::string help;
        std::vector<std::string> lines;
    };
    std::vector<Family> families;
    std::unordered_map<std::string, std::size_t> index;
    for (const MetricSample& sample : samples) {
        std::string labels;
        for (const auto& [label, value] : sample.labels)
            fmt::format_to(std::back_inserter(labels), "{}{}=\"{}\"", labels.empty() ? "" : ",",
                           label, escape_label_value(value));
        for (const MetricField& field : sample.fields) {
            std::string name = full_metric_name(store.prefix(), sample.measurement, field);
            auto [it, created] = index.try_emplace(name, families.size());
            const char* kind = field.kind == MetricKind::counter ? "counter" : "gauge";
            if (created)
                families.push_back({name,
                                    field.kind,
                                    fmt::format("{} {} ({})", sample.measurement, field.name, kind),
                                    {}});
            const std::string value = prometheus_value(field);
            families[it->second].lines.push_back(
                labels.empty() ? fmt::format("{} {}", name, value)
                               : fmt::format("{}{{{}}} {}", name, labels, value));
        }
    }
    std::string document;
    for (const Family& family : families) {
        const char* kind = family.kind == MetricKind::counter ? "counter" : "gauge";
        fmt::format_to(std::back_inserter(document), "# HELP {} {}\n# TYPE {} {}\n", family.name,
                       family.help, family.name, kind);
        for (const std::string& line : family.lines)
            document.append(line).append("\n");
    }
    return document;
}

void BM_RenderPrometheus(benchmark::State& state) {
    render_cost<render_store>(state);
}

void BM_RenderLineByLine(benchmark::State& state) {
    render_cost<render_line_by_line>(state);
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
    auto* buffers = benchmark::RegisterBenchmark("BM_RenderLineByLine", tarn::BM_RenderLineByLine);
    buffers->Arg(500)->Unit(benchmark::kMillisecond);
    if (short_mode)
        buffers->MinTime(0.05);
    else
        buffers->Arg(5000);
    {
        tarn::MetricStore store("tarn_vm");
        store.replace(tarn::bench::host_of(50));
        if (tarn::render_line_by_line(store) != tarn::render_prometheus(store)) {
            std::fprintf(stderr, "the two renderings differ\n");
            return 1;
        }
    }
    tarn::bench::RecordingReporter reporter;
    if (!tarn::bench::run_benchmarks(argc, argv, reporter))
        return 1;
    reporter.print_ratio("render_prometheus / line by line, 500 VMs", "BM_RenderPrometheus/500",
                         "BM_RenderLineByLine/500");
    if (!short_mode) {
        reporter.print_ratio("render_prometheus / line by line, 5,000 VMs",
                             "BM_RenderPrometheus/5000", "BM_RenderLineByLine/5000");
        // Linear growth gives 10.
        reporter.print_ratio("time 5,000 VMs / time 500 VMs (linear: 10)",
                             "BM_RenderPrometheus/5000", "BM_RenderPrometheus/500");
    }
    return 0;
}
