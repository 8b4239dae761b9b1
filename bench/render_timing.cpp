// Times render_prometheus on the benchmark store on request, so that a script can alternate our
// renders with another tool's in one run:
//   render_timing VMS --print   prints the document of that store and exits;
//   render_timing VMS           renders once per line read from stdin and answers each line with
//                               "CPU_SECONDS WALL_SECONDS BYTES" of that render;
//   render_timing VMS --self    the same, the store also holding the daemon's own health figures
//                               (one failed tool run per VM among them), as self_metrics adds.
#include "daemon/self_metrics.h"
#include "exporters/prometheus_text.h"
#include "metrics/health_figures.h"

#include "sample_set.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

double seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::atoi(argv[1]) < 0) {
        std::fprintf(stderr, "usage: render_timing VMS [--print]\n");
        return 2;
    }
    tarn::MetricStore store("tarn_vm");
    std::vector<tarn::MetricSample> samples = tarn::bench::host_of(std::atoi(argv[1]));
    if (argc > 2 && std::strcmp(argv[2], "--self") == 0) {
        for (int vm = 0; vm < std::atoi(argv[1]); ++vm)
            tarn::health_figures().count(
                "tool_failures",
                {{"tool", "rctl"}, {"cause", "timeout"}, {"vm_id", std::to_string(vm)}});
        const tarn::InfluxCounters influx;
        tarn::add_self_metrics(samples, "bench", {1000000, "1700000000000000000", 10, &influx, 0});
    }
    store.replace(std::move(samples));
    if (argc > 2 && std::strcmp(argv[2], "--print") == 0) {
        std::cout << tarn::render_prometheus(store);
        return std::cout.good() ? 0 : 1;
    }
    std::string request;
    while (std::getline(std::cin, request)) {
        const double cpu0 = seconds(CLOCK_THREAD_CPUTIME_ID);
        const double wall0 = seconds(CLOCK_MONOTONIC);
        const std::string document = tarn::render_prometheus(store);
        const double wall1 = seconds(CLOCK_MONOTONIC);
        const double cpu1 = seconds(CLOCK_THREAD_CPUTIME_ID);
        std::printf("%.9f %.9f %zu\n", cpu1 - cpu0, wall1 - wall0, document.size());
        std::fflush(stdout);
    }
    return 0;
}
