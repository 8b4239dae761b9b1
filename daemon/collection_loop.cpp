#include "daemon/collection_loop.h"

#include "collectors/collect_samples.h"
#include "exporters/influx_line.h"

#include <spdlog/spdlog.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace tarn {
namespace {

constexpr std::int64_t kMaxSleepSliceUs = 1000000;

} // namespace

FeedHooks default_feed_hooks(const CollectionSettings& settings, InfluxWriter* writer) {
    FeedHooks hooks;
    hooks.collect = [&settings] { return collect_samples(settings.hostname, settings.tsc_freq); };
    hooks.timestamp = [] { return influx_timestamp(); };
    hooks.line = influx_line;
    if (writer != nullptr)
        hooks.post = [writer](const std::string& line) { return writer->post(line); };
    hooks.monotonic_ns = [] {
        return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                             std::chrono::steady_clock::now().time_since_epoch())
                                             .count());
    };
    hooks.sleep_us = [](std::int64_t us) { ::usleep(static_cast<useconds_t>(us)); };
    return hooks;
}

void run_cycle(const CollectionSettings& settings, MetricStore& store, const FeedHooks& hooks,
               const RunFlag& run_flag) {
    const std::int64_t t0 = hooks.monotonic_ns();
    {
        std::vector<MetricSample> samples = hooks.collect();
        const std::string timestamp = hooks.timestamp();
        std::vector<std::string> lines;
        if (settings.dump_influx || settings.influx_enabled) {
            lines.reserve(samples.size());
            for (const MetricSample& sample : samples)
                lines.push_back(hooks.line(sample, timestamp));
        }
        if (settings.prometheus_enabled)
            store.replace(std::move(samples));
        // An unreachable server would cost every remaining line its time-out, so the feed
        // gives up on it; an HTTP error answer costs only its own line. Posting may take one
        // interval, counted from its own start: a collection that alone outlasts the interval
        // (many VMs, a busy host) must not cost a healthy server every line.
        const std::int64_t post_until_ns =
            hooks.monotonic_ns() +
            static_cast<std::int64_t>(settings.interval_seconds) * 1000000000;
        bool posting = settings.influx_enabled && static_cast<bool>(hooks.post);
        std::size_t skipped = 0;
        for (const std::string& line : lines) {
            if (settings.dump_influx)
                spdlog::info("[influx] {}", line);
            if (!settings.influx_enabled || !hooks.post)
                continue;
            if (posting && (!running(run_flag) || hooks.monotonic_ns() >= post_until_ns))
                posting = false;
            if (!posting) {
                ++skipped;
                continue;
            }
            // Failures are logged by the writer and not retried.
            if (hooks.post(line) == PostResult::no_answer)
                posting = false;
        }
        if (skipped > 0)
            spdlog::error("Influx unreachable; skipped {} lines of this feed", skipped);
    } // lines and samples are released inside the measured time

    const std::int64_t elapsed_us = (hooks.monotonic_ns() - t0) / 1000;
    std::int64_t remaining_us =
        static_cast<std::int64_t>(settings.interval_seconds) * 1000000 - elapsed_us;
    if (remaining_us <= 0) {
        spdlog::info("Feed took {} us; overrun, resuming", elapsed_us);
        return;
    }
    while (running(run_flag) && remaining_us > 0) {
        const std::int64_t slice = std::min(remaining_us, kMaxSleepSliceUs);
        hooks.sleep_us(slice);
        remaining_us -= slice; // a slice cut short by a signal counts in full
    }
}

void run_collection_loop(const CollectionSettings& settings, MetricStore& store,
                         InfluxWriter* writer, const RunFlag& run_flag) {
    const FeedHooks hooks = default_feed_hooks(settings, writer);
    while (running(run_flag))
        run_cycle(settings, store, hooks, run_flag);
}

} // namespace tarn
