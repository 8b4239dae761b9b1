#include "daemon/collection_loop.h"

#include "log_capture.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace tarn {
namespace {

using testing::LogCapture;

// A feed on a fake clock: collecting takes feed_us, each post post_us, each sleep its length.
struct FakeFeed {
    std::int64_t now_ns = 5'000'000'000;
    std::int64_t feed_us = 0;
    std::int64_t post_us = 0;
    int extra_samples = 0;           // more virtio_blk samples after the first two
    std::vector<PostResult> results; // what each post gives, in order; accepted past the end
    int stop_at_post = 0;            // the run flag is cleared during this post (from 1), or
                                     // during the collection when -1
    std::vector<std::int64_t> slices;
    std::vector<std::string> posted;
    RunFlag flag{1};
    int stop_after_slices = -1;

    FeedHooks hooks(bool with_post) {
        FeedHooks h;
        h.collect = [this] {
            now_ns += feed_us * 1000;
            if (stop_at_post < 0)
                flag.store(0);
            MetricSample host("host_cpu_limit");
            host.add_label("hostname", "h").add_gauge("delay_ms", std::uint64_t{250});
            std::vector<MetricSample> samples{host};
            for (int vm = 3; vm < 4 + extra_samples; ++vm) {
                MetricSample blk("virtio_blk");
                blk.add_label("vm_id", vm).add_counter("read_bytes", std::uint64_t{4096});
                samples.push_back(blk);
            }
            return samples;
        };
        h.timestamp = [] { return std::string("1700000000000042000"); };
        if (with_post)
            h.post = [this](const std::string& line) {
                posted.push_back(line);
                now_ns += post_us * 1000;
                if (static_cast<int>(posted.size()) == stop_at_post)
                    flag.store(0);
                return posted.size() <= results.size() ? results[posted.size() - 1]
                                                       : PostResult::accepted;
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

TEST(RunCycle, PostingStopsForTheFeedWithoutAnAnswerOrTimeOrRunFlag) {
    const PostResult http = PostResult::rejected, none = PostResult::no_answer,
                     ok = PostResult::accepted;
    const auto skipped = [](int lines) {
        return "Influx unreachable; skipped " + std::to_string(lines) + " lines of this feed\n";
    };
    struct Case {
        std::string what;
        std::vector<PostResult> results;
        int stop_at_post;
        std::int64_t feed_us, post_us;
        std::vector<std::size_t> posted; // per feed
        std::string log;
    };
    const Case cases[] = {
        {"all accepted", {}, 0, 0, 1000, {4}, ""},
        {"HTTP errors cost only their line", {http, http, http, http}, 0, 0, 1000, {4}, ""},
        {"no answer", {ok, none}, 0, 0, 1000, {2}, skipped(2)},
        {"no answer to the last line", {ok, ok, ok, none}, 0, 0, 1000, {4}, ""},
        {"the next feed tries again", {none}, 0, 0, 1000, {1, 4}, skipped(3)},
        {"stop during a post", {}, 2, 0, 1000, {2}, skipped(2)},
        {"stop during the collection", {}, -1, 0, 1000, {0}, skipped(4)},
        {"interval used up by the posts",
         {},
         0,
         1'000'000,
         4'000'000,
         {3},
         skipped(1) + "Feed took 13000000 us; overrun, resuming\n"},
        {"a collection longer than the interval still posts",
         {},
         0,
         10'000'000,
         1000,
         {4},
         "Feed took 10004000 us; overrun, resuming\n"},
    };
    for (const Case& c : cases) {
        FakeFeed feed;
        feed.extra_samples = 2;
        feed.results = c.results;
        feed.stop_at_post = c.stop_at_post;
        feed.feed_us = c.feed_us;
        feed.post_us = c.post_us;
        MetricStore store("tarn_vm");
        LogCapture log;
        const FeedHooks hooks = feed.hooks(true);
        std::vector<std::size_t> posted;
        for (std::size_t i = 0; i < c.posted.size(); ++i) {
            const std::size_t before = feed.posted.size();
            run_cycle(settings(true, true, false), store, hooks, feed.flag);
            posted.push_back(feed.posted.size() - before);
        }
        EXPECT_EQ(posted, c.posted) << c.what;
        EXPECT_EQ(log.text(), c.log) << c.what;
        EXPECT_EQ(store.snapshot()->size(), 4u) << c.what; // stored whatever the posts did
        if (c.stop_at_post != 0) {
            EXPECT_TRUE(feed.slices.empty()) << c.what;
        }
    }
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
        return PostResult::accepted;
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
