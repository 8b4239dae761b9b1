#include "daemon/collection_loop.h"

#include "collectors/collect_samples.h"
#include "daemon/self_metrics.h"
#include "exporters/influx/influx_line.h"

#include <spdlog/spdlog.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace tarn {
namespace {

constexpr std::int64_t kMaxSleepSliceUs = 1000000;

// A post that keeps to its time: none after the stop (run_flag, when given, cleared) or once
// until_ns has come, and none given more than the time left. A POST cut short by that limit
// answered late, not "never": the server was given less than its time-out.
InfluxBatcher::Post post_within(const FeedHooks& hooks, const RunFlag* run_flag,
                                std::int64_t until_ns, std::int64_t timeout_ms) {
    return [&hooks, run_flag, until_ns, timeout_ms](const std::string& body) {
        if (run_flag != nullptr && !running(*run_flag))
            return InfluxAnswer{.cut = PostCut::stop};
        const std::int64_t now_ns = hooks.monotonic_ns();
        const std::int64_t left_ms = (until_ns - now_ns) / 1000000;
        if (left_ms <= 0)
            return InfluxAnswer{.cut = PostCut::no_time};
        InfluxAnswer answer = hooks.post(body, std::min(left_ms, timeout_ms));
        if (answer.status == 0 && !answer.tls_failure && answer.cut == PostCut::none &&
            left_ms <= timeout_ms && hooks.monotonic_ns() >= now_ns + left_ms * 1000000)
            answer.cut = PostCut::late;
        return answer;
    };
}

} // namespace

FeedHooks default_feed_hooks(const CollectionSettings& settings, InfluxWriter* writer) {
    FeedHooks hooks;
    hooks.collect = [&settings] { return collect_samples(settings.hostname, settings.tsc_freq); };
    hooks.timestamp = [] { return influx_timestamp(); };
    hooks.line = influx_line;
    if (writer != nullptr)
        hooks.post = [writer](const std::string& body, std::int64_t timeout_ms) {
            return writer->post(body, timeout_ms);
        };
    hooks.monotonic_ns = [] {
        return static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                             std::chrono::steady_clock::now().time_since_epoch())
                                             .count());
    };
    hooks.sleep_us = [](std::int64_t us) { ::usleep(static_cast<useconds_t>(us)); };
    return hooks;
}

void run_cycle(const CollectionSettings& settings, MetricStore& store, const FeedHooks& hooks,
               InfluxBatcher& influx, const RunFlag& run_flag) {
    const std::int64_t t0 = hooks.monotonic_ns();
    {
        std::vector<MetricSample> samples = hooks.collect();
        const std::int64_t collected_ns = hooks.monotonic_ns();
        const std::string timestamp = hooks.timestamp();
        std::vector<std::string> lines;
        if (settings.dump_influx || settings.influx_enabled) {
            lines.reserve(samples.size());
            for (const MetricSample& sample : samples)
                lines.push_back(hooks.line(sample, timestamp));
        }
        // The daemon's own figures are Prometheus-only: the lines above are built already. The
        // Influx figures are those up to the last feed's end.
        const InfluxCounters influx_counters = influx.counters();
        if (settings.prometheus_enabled && settings.self_metrics)
            add_self_metrics(samples, settings.hostname,
                             {collected_ns - t0, timestamp, settings.interval_seconds,
                              settings.influx_enabled ? &influx_counters : nullptr,
                              settings.influx_buffer_limit});
        if (settings.prometheus_enabled)
            store.replace(std::move(samples));
        // An unreachable server would cost every remaining batch its time-out, so the feed
        // gives up on it; an HTTP error answer costs only its own batch. Posting may take one
        // interval, counted from its own start: a collection that alone outlasts the interval
        // (many VMs, a busy host) must not cost a healthy server every line.
        const std::int64_t post_until_ns =
            hooks.monotonic_ns() +
            static_cast<std::int64_t>(settings.interval_seconds) * 1000000000;
        const bool posting = settings.influx_enabled && static_cast<bool>(hooks.post);
        const InfluxBatcher::Post post =
            post_within(hooks, &run_flag, post_until_ns, settings.influx_timeout_ms);
        // A batch is posted as soon as it is whole, so each line of a feed without batching is
        // logged just before its own post.
        const auto post_waiting = [&](bool partial) {
            while (influx.batch_waiting(partial))
                influx.post_batch(post);
        };
        influx.begin_feed();
        for (std::string& line : lines) {
            if (settings.dump_influx)
                spdlog::info("[influx] {}", line);
            if (!posting)
                continue;
            influx.add(std::move(line));
            if (!influx.writes_ahead())
                post_waiting(false);
        }
        if (posting) {
            influx.write_ahead(); // the feed is in the file before its first POST
            post_waiting(true);
            influx.end_feed();
        }
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

void send_buffered_at_exit(InfluxBatcher& influx, const FeedHooks& hooks, std::int64_t timeout_ms) {
    if (!influx.buffering() || influx.waiting() == 0 || !hooks.post)
        return;
    const InfluxBatcher::Post post = post_within(
        hooks, nullptr, hooks.monotonic_ns() + kInfluxExitAttemptMs * 1000000, timeout_ms);
    influx.begin_feed();
    while (influx.batch_waiting(true))
        influx.post_batch(post);
    influx.drop_at_exit();
}

void run_collection_loop(const CollectionSettings& settings, MetricStore& store,
                         InfluxWriter* writer, InfluxSpool* spool, const RunFlag& run_flag) {
    const FeedHooks hooks = default_feed_hooks(settings, writer);
    InfluxBatcher influx(settings.influx_batch_size, settings.influx_buffer_limit);
    if (spool != nullptr)
        influx.keep_in(*spool);
    while (running(run_flag))
        run_cycle(settings, store, hooks, influx, run_flag);
    send_buffered_at_exit(influx, hooks, settings.influx_timeout_ms);
}

} // namespace tarn
