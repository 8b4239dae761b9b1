#pragma once

// What every in-process benchmark program shares: the --short flag, and a console reporter that
// keeps each run's time per iteration so the program can print ratios of runs measured side by
// side in the same process.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace tarn::bench {

// Removes "--short" from the arguments; true when it was there.
inline bool take_short_flag(int& argc, char** argv) {
    bool found = false;
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strcmp(argv[i], "--short") == 0)
            found = true;
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    argv[argc] = nullptr;
    return found;
}

class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    RecordingReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

    struct Times {
        double real_seconds = 0; // per iteration
        double cpu_seconds = 0;
    };

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.iterations == 0 || run.run_type != Run::RT_Iteration)
                continue;
            const double n = static_cast<double>(run.iterations);
            // Keyed without the min_time and repetition decorations of the full name.
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty())
                name += "/" + run.run_name.args;
            times_[name] = {run.real_accumulated_time / n, run.cpu_accumulated_time / n};
        }
        ConsoleReporter::ReportRuns(runs);
    }

    const Times* find(const std::string& name) const {
        auto it = times_.find(name);
        return it == times_.end() ? nullptr : &it->second;
    }

    // Prints "label: a/b = x (cpu), y (wall)"; false when either run is missing.
    bool print_ratio(const char* label, const std::string& numerator,
                     const std::string& denominator) const {
        const Times* a = find(numerator);
        const Times* b = find(denominator);
        if (a == nullptr || b == nullptr || b->cpu_seconds <= 0 || b->real_seconds <= 0) {
            std::printf("%s: missing run %s or %s\n", label, numerator.c_str(),
                        denominator.c_str());
            return false;
        }
        std::printf("%-44s %8.2f (cpu)  %8.2f (wall)\n", label, a->cpu_seconds / b->cpu_seconds,
                    a->real_seconds / b->real_seconds);
        return true;
    }

  private:
    std::map<std::string, Times> times_;
};

// Runs the benchmarks the command line selects, reporting to `reporter`; false when an argument
// is not understood or nothing ran.
inline bool run_benchmarks(int& argc, char** argv, RecordingReporter& reporter) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return false;
    const bool ran = benchmark::RunSpecifiedBenchmarks(&reporter) != 0;
    benchmark::Shutdown();
    return ran;
}

} // namespace tarn::bench
