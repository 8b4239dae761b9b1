#include "exporters/scrape_cache.h"

#include "exporters/prometheus_text.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace tarn {
namespace {

std::vector<MetricSample> set_of(std::int32_t value, int vms = 1) {
    std::vector<MetricSample> set;
    for (int vm = 0; vm < vms; ++vm) {
        MetricSample sample("bhyve_cpu");
        sample.add_label("vm_id", vm);
        sample.add_gauge("pcpu", value);
        set.push_back(std::move(sample));
    }
    return set;
}

// Every answer must be what rendering the store at that moment gives, also when a replacement
// holds the same samples as before or none at all.
TEST(ScrapeCacheTest, AnswersWhatRenderingTheStoreGivesAfterEveryReplacement) {
    MetricStore store("tarn_vm");
    ScrapeCache cache(store);
    const std::vector<std::vector<MetricSample>> sets = {
        set_of(1), set_of(1), set_of(2, 3), {}, set_of(2, 3)};
    EXPECT_EQ(*cache.document(), "");
    for (const auto& set : sets) {
        std::vector<MetricSample> copy = set;
        store.replace(std::move(copy));
        const std::string expected = render_prometheus(store);
        EXPECT_EQ(*cache.document(), expected);
        EXPECT_EQ(*cache.document(), expected); // answered again from the same generation
    }
}

// A scrape while the collection replaces the store sees one whole set, never an older one than
// a scrape before it saw.
TEST(ScrapeCacheTest, ConcurrentReplacementsGiveWholeAndMonotonicDocuments) {
    MetricStore store("p");
    ScrapeCache cache(store);
    constexpr int kRounds = 300;
    std::vector<std::string> expected;
    for (int round = 0; round <= kRounds; ++round) {
        MetricStore reference("p");
        reference.replace(set_of(round, 5));
        expected.push_back(render_prometheus(reference));
    }
    store.replace(set_of(0, 5));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int round = 1; round <= kRounds; ++round)
            store.replace(set_of(round, 5));
        done = true;
    });
    std::size_t last = 0;
    int scrapes = 0;
    while (!done || scrapes < 10) {
        const std::string document = *cache.document();
        std::size_t found = last;
        while (found < expected.size() && expected[found] != document)
            ++found;
        ASSERT_LT(found, expected.size()) << "a document of no whole set, or an older one";
        last = found;
        ++scrapes;
    }
    writer.join();
    EXPECT_EQ(*cache.document(), expected.back());
}

} // namespace
} // namespace tarn
