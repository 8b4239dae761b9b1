#include "exporters/influx_line.h"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <string>

namespace tarn {
namespace {

TEST(InfluxLine, WorkedExample) {
    MetricSample sample("virtio_net");
    sample.add_label("vm_id", 12).add_label("slot", 4);
    sample.add_counter("tx_bytes", std::uint64_t{1048576});
    sample.add_gauge("tx_limit_mbps", std::uint64_t{100});
    EXPECT_EQ(influx_line(sample, format_influx_timestamp(1700000000, 42)),
              "virtio_net,vm_id=12,slot=4 tx_bytes=1048576,tx_limit_mbps=100 "
              "1700000000000042000");
}

TEST(InfluxLine, ShapesOfSamples) {
    struct Case {
        MetricSample sample;
        std::string line;
    };
    MetricSample bare("host_cpu_limit");
    bare.add_gauge("delay_ms", std::uint64_t{250});
    MetricSample raw("m");
    raw.add_label("name", "a b,c=d").add_counter("read_bytes", std::string("7"));
    raw.add_gauge("x", std::string("1.5"));
    const Case cases[] = {
        // No labels: measurement, space, fields; delay_ms keeps its name and milliseconds.
        {bare, "host_cpu_limit delay_ms=250 T"},
        // Counters keep their own name, and nothing is escaped or suffixed.
        {raw, "m,name=a b,c=d read_bytes=7,x=1.5 T"},
        {MetricSample("empty"), "empty  T"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(influx_line(c.sample, "T"), c.line);
}

TEST(InfluxTimestamp, PadsMicroseconds) {
    EXPECT_EQ(format_influx_timestamp(1700000000, 5), "1700000000000005000");
    EXPECT_EQ(format_influx_timestamp(1700000000, 999999), "1700000000999999000");
    EXPECT_EQ(format_influx_timestamp(1, 0), "1000000000");
}

TEST(InfluxTimestamp, FollowsTheWallClock) {
    timeval before{};
    ::gettimeofday(&before, nullptr);
    const std::string stamp = influx_timestamp();
    timeval after{};
    ::gettimeofday(&after, nullptr);
    ASSERT_EQ(stamp.size(), 19u);
    const long long ns = std::stoll(stamp);
    EXPECT_EQ(ns % 1000, 0);
    EXPECT_GE(ns, (before.tv_sec * 1000000LL + before.tv_usec) * 1000);
    EXPECT_LE(ns, (after.tv_sec * 1000000LL + after.tv_usec) * 1000);
}

} // namespace
} // namespace tarn
