#include "metrics/metric_store.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <thread>

namespace tarn {
namespace {

MetricSample sample_with(const std::string& measurement, int fields) {
    MetricSample s(measurement);
    for (int i = 0; i < fields; ++i)
        s.add_gauge("f" + std::to_string(i), std::int32_t{i});
    return s;
}

TEST(MetricSampleTest, BuildersFormatValuesAndKeepOrderWithDuplicates) {
    MetricSample s("m");
    s.add_label("a", "x")
        .add_label("a", std::int32_t{-7})
        .add_gauge("g", std::int32_t{-5})
        .add_gauge("u", std::numeric_limits<std::uint64_t>::max())
        .add_gauge("t", std::string("0042"))
        .add_counter("c", std::uint64_t{3})
        .add_counter("d", 2.5, 6)
        .add_counter("e", std::string("9"))
        .add_gauge("g", std::int32_t{1});
    ASSERT_EQ(s.labels.size(), 2u);
    EXPECT_EQ(s.labels[0], (std::pair<std::string, std::string>{"a", "x"}));
    EXPECT_EQ(s.labels[1], (std::pair<std::string, std::string>{"a", "-7"}));
    const std::vector<std::tuple<std::string, std::string, MetricKind>> expected = {
        {"g", "-5", MetricKind::gauge},         {"u", "18446744073709551615", MetricKind::gauge},
        {"t", "0042", MetricKind::gauge},       {"c", "3", MetricKind::counter},
        {"d", "2.500000", MetricKind::counter}, {"e", "9", MetricKind::counter},
        {"g", "1", MetricKind::gauge},
    };
    ASSERT_EQ(s.fields.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(s.fields[i].name, std::get<0>(expected[i])) << i;
        EXPECT_EQ(s.fields[i].value, std::get<1>(expected[i])) << i;
        EXPECT_EQ(s.fields[i].kind, std::get<2>(expected[i])) << i;
    }
}

TEST(MetricStoreTest, EmptyUntilReplacedThenHoldsTheMovedSetInOrder) {
    MetricStore store("p");
    ASSERT_TRUE(store.snapshot());
    EXPECT_TRUE(store.snapshot()->empty());
    EXPECT_EQ(store.prefix(), "p");
    std::vector<MetricSample> v{sample_with("a", 1), sample_with("b", 2)};
    store.replace(std::move(v));
    EXPECT_TRUE(v.empty());
    const SampleSet held = store.snapshot();
    ASSERT_EQ(held->size(), 2u);
    EXPECT_EQ((*held)[0].measurement, "a");
    EXPECT_EQ((*held)[1].measurement, "b");
    EXPECT_EQ((*held)[1].fields.size(), 2u);
    // A set taken before a replacement stays whole while the store moves on.
    std::uint64_t generation = 0;
    store.replace({sample_with("c", 3)});
    EXPECT_EQ(store.snapshot(generation)->at(0).measurement, "c");
    EXPECT_EQ(generation, 2u);
    ASSERT_EQ(held->size(), 2u);
    EXPECT_EQ((*held)[0].measurement, "a");
    EXPECT_EQ((*held)[1].fields.size(), 2u);
}

// Each set is internally consistent (n samples, each named after n), so a torn read shows.
TEST(MetricStoreTest, SnapshotDuringReplaceSeesOneWholeSet) {
    MetricStore store("p");
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int round = 1; round <= 2000; ++round) {
            int n = 1 + round % 7;
            std::vector<MetricSample> set;
            for (int i = 0; i < n; ++i)
                set.push_back(sample_with(std::to_string(n), 1));
            store.replace(std::move(set));
        }
        done = true;
    });
    int checked = 0;
    while (!done || checked < 10) {
        const SampleSet set = store.snapshot();
        for (const auto& s : *set)
            ASSERT_EQ(s.measurement, std::to_string(set->size()));
        ++checked;
    }
    writer.join();
}

} // namespace
} // namespace tarn
