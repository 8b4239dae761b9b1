// Cost of one scrape's rendering for stores of realistic shape, and how it grows with the VMs.
#include "exporters/prometheus_text.h"

#include <benchmark/benchmark.h>

#include "allocation_counter.h"
#include "bench_main.h"
#include "sample_set.h"

#include <algorithm>
#include <string>

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
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    tarn::bench::RecordingReporter reporter;
    if (benchmark::RunSpecifiedBenchmarks(&reporter) == 0)
        return 1;
    benchmark::Shutdown();
    if (!short_mode) {
        // Linear growth gives 10.
        reporter.print_ratio("time 5,000 VMs / time 500 VMs (linear: 10)",
                             "BM_RenderPrometheus/5000", "BM_RenderPrometheus/500");
    }
    return 0;
}
