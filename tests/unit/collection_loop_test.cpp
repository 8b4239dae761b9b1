#include "daemon/collection_loop.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace tarn {
namespace {

class LogCapture {
  public:
    LogCapture() : previous_(spdlog::default_logger()) {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(stream_);
        auto logger = std::make_shared<spdlog::logger>("capture", sink);
        logger->set_pattern("%v");
        spdlog::set_default_logger(logger);
    }
    ~LogCapture() { spdlog::set_default_logger(previous_); }
    std::string text() const { return stream_.str(); }

  private:
    std::ostringstream stream_;
    std::shared_ptr<spdlog::logger> previous_;
};

// A feed on a fake clock: collecting takes feed_us, each sleep advances the clock.
struct FakeFeed {
    std::int64_t now_ns = 5'000'000'000;
    std::int64_t feed_us = 0;
    std::vector<std::int64_t> slices;
    std::vector<std::string> posted;
    std::vector<std::string> events; // order of log/post as seen by the hooks
    int collections = 0;
    RunFlag flag{1};
    int stop_after_slices = -1;

    FeedHooks hooks(bool with_post) {
        FeedHooks h;
        h.collect = [this] {
            ++collections;
            now_ns += feed_us * 1000;
            MetricSample host("host_cpu_limit");
            host.add_label("hostname", "h").add_gauge("delay_ms", std::uint64_t{250});
            MetricSample blk("virtio_blk");
            blk.add_label("vm_id", 3).add_counter("read_bytes", std::uint64_t{4096});
            return std::vector<MetricSample>{host, blk};
        };
        h.timestamp = [] { return std::string("1700000000000042000"); };
        if (with_post)
            h.post = [this](const std::string& line) {
                posted.push_back(line);
                return false; // a failed post changes nothing for the feed
            };
        h.monotonic_ns = [this] { return now_ns; };
        h.sleep_us = [this](std::int64_t us) {
            slices.push_back(us);
            now_ns += us * 1000;
            if (stop_after_slices >= 0 && static_cast<int>(slices.size()) == stop_after_slices)
                flag.store(0);
        };
        return h;
    }
};

CollectionSettings settings(bool prometheus, bool influx, bool dump, int interval = 10) {
    CollectionSettings s;
    s.hostname = "h";
    s.interval_seconds = interval;
    s.prometheus_enabled = prometheus;
    s.influx_enabled = influx;
    s.dump_influx = dump;
    return s;
}

TEST(RunCycle, SleepsTheRestInSlicesOfASecond) {
    FakeFeed feed;
    feed.feed_us = 2'500'000;
    MetricStore store("tarn_vm");
    run_cycle(settings(true, false, false), store, feed.hooks(false), feed.flag);
    const std::vector<std::int64_t> expected = {1000000, 1000000, 1000000, 1000000,
                                                1000000, 1000000, 1000000, 500000};
    EXPECT_EQ(feed.slices, expected);
    EXPECT_EQ(store.snapshot()->size(), 2u);
}

TEST(RunCycle, OverrunLogsAndDoesNotSleep) {
    for (const std::int64_t feed_us : {10'000'000LL, 12'345'678LL}) {
        FakeFeed feed;
        feed.feed_us = feed_us;
        MetricStore store("tarn_vm");
        LogCapture log;
        run_cycle(settings(true, false, false), store, feed.hooks(false), feed.flag);
        EXPECT_TRUE(feed.slices.empty());
        EXPECT_EQ(log.text(), "Feed took " + std::to_string(feed_us) + " us; overrun, resuming\n");
    }
}

TEST(RunCycle, StopDuringSleepEndsBeforeTheNextSlice) {
    FakeFeed feed;
    feed.stop_after_slices = 2;
    MetricStore store("tarn_vm");
    run_cycle(settings(true, false, false), store, feed.hooks(false), feed.flag);
    EXPECT_EQ(feed.slices.size(), 2u);
}

TEST(RunCycle, StopDuringFeedStillStoresAndPostsButDoesNotSleep) {
    FakeFeed feed;
    MetricStore store("tarn_vm");
    FeedHooks hooks = feed.hooks(true);
    auto collect = hooks.collect;
    hooks.collect = [&] {
        feed.flag.store(0);
        return collect();
    };
    run_cycle(settings(true, true, false), store, hooks, feed.flag);
    EXPECT_EQ(store.snapshot()->size(), 2u);
    EXPECT_EQ(feed.posted.size(), 2u);
    EXPECT_TRUE(feed.slices.empty());
}

TEST(RunCycle, TransportCombinations) {
    struct Case {
        bool prometheus, influx, dump;
        std::size_t stored, posted;
        std::string log;
    };
    const std::string line1 = "host_cpu_limit,hostname=h delay_ms=250 1700000000000042000";
    const std::string line2 = "virtio_blk,vm_id=3 read_bytes=4096 1700000000000042000";
    const std::string dumped = "[influx] " + line1 + "\n[influx] " + line2 + "\n";
    const Case cases[] = {
        {true, false, false, 2, 0, ""},
        {false, true, false, 0, 2, ""},
        {false, false, true, 0, 0, dumped},
        {true, true, true, 2, 2, dumped},
    };
    for (const Case& c : cases) {
        FakeFeed feed;
        MetricStore store("tarn_vm");
        LogCapture log;
        run_cycle(settings(c.prometheus, c.influx, c.dump), store, feed.hooks(c.influx), feed.flag);
        EXPECT_EQ(store.snapshot()->size(), c.stored);
        EXPECT_EQ(feed.posted.size(), c.posted);
        if (c.posted == 2) {
            EXPECT_EQ(feed.posted[0], line1);
            EXPECT_EQ(feed.posted[1], line2);
        }
        EXPECT_EQ(log.text(), c.log);
    }
}

TEST(RunCycle, EachLineIsLoggedJustBeforeItIsPosted) {
    FakeFeed feed;
    MetricStore store("tarn_vm");
    LogCapture log;
    FeedHooks hooks = feed.hooks(true);
    std::vector<std::string> log_at_post;
    hooks.post = [&](const std::string&) {
        log_at_post.push_back(log.text());
        return true;
    };
    run_cycle(settings(false, true, true), store, hooks, feed.flag);
    ASSERT_EQ(log_at_post.size(), 2u);
    EXPECT_EQ(std::count(log_at_post[0].begin(), log_at_post[0].end(), '\n'), 1);
    EXPECT_EQ(std::count(log_at_post[1].begin(), log_at_post[1].end(), '\n'), 2);
}

TEST(RunCollectionLoop, NoFeedWhenStoppedBeforeStart) {
    RunFlag flag{0};
    MetricStore store("tarn_vm");
    run_collection_loop(settings(true, false, false), store, nullptr, flag);
    EXPECT_TRUE(store.snapshot()->empty());
}

} // namespace
} // namespace tarn
