// Cost of the scrape document's gzip form, made once per feed: CPU per compression at level 1
// and the size it saves, for the benchmark set and for the same set with every value random.
#include "exporters/gzip.h"
#include "exporters/prometheus_text.h"

#include <benchmark/benchmark.h>

#include "allocation_counter.h"
#include "bench_main.h"
#include "sample_set.h"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace tarn {
namespace {

// The benchmark set, or the same set with every value replaced by a random number of its own
// length (a counter or gauge of a busy host changes every digit between VMs).
std::string document_of(int vms, bool random_values) {
    std::vector<MetricSample> samples = bench::host_of(vms);
    if (random_values) {
        std::mt19937_64 generator(42);
        for (MetricSample& sample : samples) {
            for (MetricField& field : sample.fields) {
                for (char& c : field.value)
                    if (c >= '0' && c <= '9')
                        c = static_cast<char>('0' + generator() % 10);
                if (field.value.size() > 1 && field.value[0] == '0')
                    field.value[0] = '1';
            }
        }
    }
    return render_prometheus(samples, "tarn_vm");
}

void BM_GzipDocument(benchmark::State& state) {
    const std::string document = document_of(static_cast<int>(state.range(0)), state.range(1));
    const int level = static_cast<int>(state.range(2));
    std::size_t compressed = 0;
    for (auto _ : state) {
        std::string out = gzip_compress(document, level);
        compressed = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(document.size() * state.iterations()));
    state.counters["bytes_in"] = static_cast<double>(document.size());
    state.counters["bytes_out"] = static_cast<double>(compressed);
    state.counters["ratio"] =
        static_cast<double>(document.size()) / static_cast<double>(compressed);
}

} // namespace
} // namespace tarn

// Arguments: VMs, random values (0/1), level. --short runs 50 VMs briefly.
int main(int argc, char** argv) {
    const bool short_mode = tarn::bench::take_short_flag(argc, argv);
    auto* gzip = benchmark::RegisterBenchmark("BM_GzipDocument", tarn::BM_GzipDocument);
    gzip->ArgNames({"vms", "random", "level"})->Unit(benchmark::kMillisecond);
    if (short_mode) {
        gzip->Args({50, 1, 1})->MinTime(0.05);
    } else {
        for (const int random : {0, 1})
            for (const int level : {1, 6})
                gzip->Args({500, random, level});
    }
    tarn::bench::RecordingReporter reporter;
    if (!tarn::bench::run_benchmarks(argc, argv, reporter))
        return 1;
    if (!short_mode)
        reporter.print_ratio("level 6 / level 1, random values, 500 VMs",
                             "BM_GzipDocument/vms:500/random:1/level:6",
                             "BM_GzipDocument/vms:500/random:1/level:1");
    return 0;
}
