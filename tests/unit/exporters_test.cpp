#include "exporters/gzip.h"
#include "exporters/influx/influx_line.h"
#include "exporters/prometheus_text.h"
#include "exporters/scrape_cache.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <thread>

namespace tarn {
namespace {

std::vector<MetricSample> set_of(std::int32_t value, int vms) {
    std::vector<MetricSample> set;
    for (int vm = 0; vm < vms; ++vm)
        set.push_back(
            std::move(MetricSample("bhyve_cpu").add_label("vm_id", vm).add_gauge("pcpu", value)));
    return set;
}

// Families in order of first appearance with the first kind and help, counters ending in
// "_total", units converted, label values escaped; Influx lines copy every text as it is.
TEST(ExportTest, PrometheusFamiliesAndInfluxLinesOfOneSet) {
    MetricSample a("m"), b("m"), c("host");
    a.add_label("id", "a\"b\\c\nd").add_counter("x_total", std::uint64_t{5});
    a.add_gauge("delay_ms", std::int32_t{5});
    b.add_label("id", std::int32_t{-2}).add_gauge("delay_ms", std::uint64_t{1500});
    b.add_counter("x_total", 2.5, 6);
    c.add_gauge("limit_mbps", std::string("2.5")).add_counter("drops", std::string("1"));
    const std::vector<MetricSample> set = {a, c, b, MetricSample("none")};
    EXPECT_EQ(render_prometheus(set, "p"),
              "# HELP p_m_x_total m x_total (counter)\n# TYPE p_m_x_total counter\n"
              "p_m_x_total{id=\"a\\\"b\\\\c\\nd\"} 5\np_m_x_total{id=\"-2\"} 2.500000\n"
              "# HELP p_m_delay_seconds m delay_ms (gauge)\n# TYPE p_m_delay_seconds gauge\n"
              "p_m_delay_seconds{id=\"a\\\"b\\\\c\\nd\"} 0.005\np_m_delay_seconds{id=\"-2\"} 1.5\n"
              "# HELP p_host_limit_bytes_per_second host limit_mbps (gauge)\n"
              "# TYPE p_host_limit_bytes_per_second gauge\np_host_limit_bytes_per_second 312500\n"
              "# HELP p_host_drops_total host drops (counter)\n# TYPE p_host_drops_total counter\n"
              "p_host_drops_total 1\n");
    std::string lines;
    for (const MetricSample& sample : set)
        lines += influx_line(sample, format_influx_timestamp(1700000000, 42)) + "\n";
    EXPECT_EQ(lines, "m,id=a\"b\\c\nd x_total=5,delay_ms=5 1700000000000042000\n"
                     "host limit_mbps=2.5,drops=1 1700000000000042000\n"
                     "m,id=-2 delay_ms=1500,x_total=2.500000 1700000000000042000\n"
                     "none  1700000000000042000\n");
}

TEST(PrometheusTextTest, NamesAndValuesOfFields) {
    const MetricKind G = MetricKind::gauge, C = MetricKind::counter;
    const std::vector<std::pair<MetricField, std::string>> cases = {
        {{"drops", "0042", C}, "p_m_drops_total 0042"},
        {{"delay_ms", "-250", G}, "p_m_delay_seconds -0.25"},
        {{"burst_secs", "1e15", G}, "p_m_burst_seconds 1000000000000000"},
        {{"rx_limit_mbps", "16000000000", C},
         "p_m_rx_limit_bytes_per_second_total 2000000000000000"},
        {{"limit_mbps", "abc", G}, "p_m_limit_bytes_per_second 0"},
        {{"limit_mbps2", "5", G}, "p_m_limit_mbps2 5"},
    };
    for (const auto& [field, expected] : cases)
        EXPECT_EQ(full_metric_name("p", "m", field) + " " + prometheus_value(field), expected);
}

// The gzip member inflated (up to 16 MiB), which must be all of `data`.
std::string gunzip(const std::string& data) {
    z_stream stream{};
    EXPECT_EQ(::inflateInit2(&stream, 15 + 16), Z_OK);
    std::string out(1 << 24, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(::inflate(&stream, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(stream.avail_in, 0u) << "bytes after the gzip member";
    out.resize(stream.total_out);
    ::inflateEnd(&stream);
    return out;
}

// Each scrape answers one whole set while another thread replaces them, never an older one than
// a scrape before it saw. One gzip member per generation, made when first asked for and shared by
// every scrape until the store changes; it inflates to the plain document of the same moment.
TEST(ScrapeCacheTest, LatestWholeSetAndOneGzipMemberPerGeneration) {
    const std::string varied = render_prometheus(set_of(123456, 2000), "p");
    EXPECT_EQ(gunzip(gzip_compress(varied, 1)), varied);
    MetricStore store("p");
    ScrapeCache cache(store);
    EXPECT_EQ(gunzip(*cache.gzip_document()), ""); // the plain empty store: test_daemon's
    std::vector<std::string> expected;
    for (int round = 0; round <= 300; ++round)
        expected.push_back(render_prometheus(set_of(round, 5), "p"));
    store.replace(set_of(0, 5));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int round = 1; round <= 300; ++round)
            store.replace(set_of(round, 5));
        done = true;
    });
    for (std::size_t last = 0, scrapes = 0; !done || scrapes < 10; ++scrapes) {
        const std::string document = *cache.document();
        while (last < expected.size() && expected[last] != document)
            ++last;
        ASSERT_LT(last, expected.size()) << "a document of no whole set, or an older one";
    }
    writer.join();
    EXPECT_EQ(*cache.document(), expected.back());
    store.replace(set_of(7, 500));
    const Document gzip = cache.gzip_document();
    EXPECT_EQ(gunzip(*gzip), *cache.document());
    EXPECT_LT(gzip->size() * 8, cache.document()->size());
    EXPECT_EQ(cache.gzip_document(), gzip) << "compressed again within one generation";
    store.replace(set_of(8, 500));
    EXPECT_NE(cache.document()->find("} 8\n"), std::string::npos);
    EXPECT_NE(cache.gzip_document(), gzip);
    EXPECT_EQ(gunzip(*cache.gzip_document()), *cache.document());
}

} // namespace
} // namespace tarn
