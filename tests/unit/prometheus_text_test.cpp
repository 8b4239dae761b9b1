#include "exporters/prometheus_text.h"

#include <gtest/gtest.h>

namespace tarn {
namespace {

std::string render(std::vector<MetricSample> samples, const std::string& prefix = "tarn_vm") {
    MetricStore store(prefix);
    store.replace(std::move(samples));
    return render_prometheus(store);
}

TEST(PrometheusTextTest, WorkedExampleRendersByteForByte) {
    MetricSample a("virtio_net");
    a.add_label("vm_id", std::int32_t{12})
        .add_label("slot", std::int32_t{4})
        .add_counter("tx_bytes", std::uint64_t{1048576})
        .add_gauge("tx_limit_mbps", std::string("100"));
    MetricSample b("virtio_net");
    b.add_label("vm_id", std::int32_t{13})
        .add_label("slot", std::int32_t{4})
        .add_counter("tx_bytes", std::uint64_t{2048})
        .add_gauge("tx_limit_mbps", std::string("2.5"));
    EXPECT_EQ(render({a, b}),
              "# HELP tarn_vm_virtio_net_tx_bytes_total virtio_net tx_bytes (counter)\n"
              "# TYPE tarn_vm_virtio_net_tx_bytes_total counter\n"
              "tarn_vm_virtio_net_tx_bytes_total{vm_id=\"12\",slot=\"4\"} 1048576\n"
              "tarn_vm_virtio_net_tx_bytes_total{vm_id=\"13\",slot=\"4\"} 2048\n"
              "# HELP tarn_vm_virtio_net_tx_limit_bytes_per_second virtio_net tx_limit_mbps "
              "(gauge)\n"
              "# TYPE tarn_vm_virtio_net_tx_limit_bytes_per_second gauge\n"
              "tarn_vm_virtio_net_tx_limit_bytes_per_second{vm_id=\"12\",slot=\"4\"} 12500000\n"
              "tarn_vm_virtio_net_tx_limit_bytes_per_second{vm_id=\"13\",slot=\"4\"} 312500\n");
}

TEST(PrometheusTextTest, EmptyStoreAndFieldlessSamplesRenderNothing) {
    EXPECT_EQ(render({}), "");
    MetricSample bare("m");
    bare.add_label("a", "b");
    EXPECT_EQ(render({bare, bare}), "");
}

TEST(PrometheusTextTest, SampleWithoutLabelsHasNoBraces) {
    MetricSample s("m");
    s.add_gauge("g", std::int32_t{3});
    EXPECT_EQ(render({s}, "p"), "# HELP p_m_g m g (gauge)\n# TYPE p_m_g gauge\np_m_g 3\n");
}

TEST(PrometheusTextTest, FullNames) {
    struct Case {
        std::string field;
        MetricKind kind;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"errors_total", MetricKind::counter, "tarn_vm_m_errors_total"},
        {"drops", MetricKind::counter, "tarn_vm_m_drops_total"},
        {"drops", MetricKind::gauge, "tarn_vm_m_drops"},
        {"x_total", MetricKind::gauge, "tarn_vm_m_x_total"},
        {"delay_ms", MetricKind::gauge, "tarn_vm_m_delay_seconds"},
        {"burst_secs", MetricKind::gauge, "tarn_vm_m_burst_seconds"},
        {"limit_mbps", MetricKind::gauge, "tarn_vm_m_limit_bytes_per_second"},
        {"tx_limit_mbps", MetricKind::gauge, "tarn_vm_m_tx_limit_bytes_per_second"},
        {"rx_limit_mbps", MetricKind::counter, "tarn_vm_m_rx_limit_bytes_per_second_total"},
        {"Delay_ms", MetricKind::gauge, "tarn_vm_m_Delay_ms"},
        {"limit_mbps2", MetricKind::gauge, "tarn_vm_m_limit_mbps2"},
    };
    for (const auto& c : cases) {
        MetricField field{c.field, "1", c.kind};
        EXPECT_EQ(full_metric_name("tarn_vm", "m", field), c.expected) << c.field;
    }
    // Short names cannot end in the suffix; the prefix is used as it is.
    EXPECT_EQ(full_metric_name("", "", MetricField{"t", "1", MetricKind::counter}), "__t_total");
}

TEST(PrometheusTextTest, UnitConversionValues) {
    struct Case {
        std::string field;
        std::string value;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"delay_ms", "5", "0.005"},
        {"delay_ms", "0", "0"},
        {"delay_ms", "1500", "1.5"},
        {"delay_ms", "-250", "-0.25"},
        {"burst_secs", "3", "3"},
        {"limit_mbps", "100", "12500000"},
        {"limit_mbps", "2.5", "312500"},
        {"limit_mbps", "abc", "0"},
        {"limit_mbps", "", "0"},
        {"limit_mbps", "0042", "5250000"},
        {"limit_mbps", "16000000000", "2000000000000000"},
        {"burst_secs", "1.25", "1.25"},
        {"burst_secs", "1e15", "1000000000000000"},
        {"burst_secs", "999999999999999", "999999999999999"},
        {"burst_secs", "nan", "nan"},
        {"burst_secs", "inf", "inf"},
        {"burst_secs", "-inf", "-inf"},
        {"delay_ms", "0.0000001", "0"},
        {"pcpu", "abc", "abc"},
        {"pcpu", "0042", "0042"},
    };
    for (const auto& c : cases) {
        MetricField field{c.field, c.value, MetricKind::gauge};
        EXPECT_EQ(prometheus_value(field), c.expected) << c.field << "=" << c.value;
    }
}

TEST(PrometheusTextTest, UnitConversionTableLookupIsExact) {
    ASSERT_TRUE(find_unit_conversion("delay_ms"));
    EXPECT_EQ(find_unit_conversion("delay_ms")->exposed_name, "delay_seconds");
    EXPECT_DOUBLE_EQ(find_unit_conversion("rx_limit_mbps")->factor, 125000.0);
    EXPECT_FALSE(find_unit_conversion("DELAY_MS"));
    EXPECT_FALSE(find_unit_conversion("delay_ms "));
    EXPECT_FALSE(find_unit_conversion(""));
}

TEST(PrometheusTextTest, LabelValuesAreEscapedNamesAreNot) {
    MetricSample s("m");
    s.add_label("we\"ird\\name", std::string("a\"b\\c\nd\xc3\xa9\t"))
        .add_gauge("g", std::int32_t{1});
    EXPECT_EQ(render({s}, "p"), "# HELP p_m_g m g (gauge)\n# TYPE p_m_g gauge\n"
                                "p_m_g{we\"ird\\name=\"a\\\"b\\\\c\\nd\xc3\xa9\t\"} 1\n");
    EXPECT_EQ(escape_label_value(""), "");
    EXPECT_EQ(escape_label_value("\n\n"), "\\n\\n");
}

TEST(PrometheusTextTest, FamiliesGroupInOrderOfFirstAppearanceAndKeepFirstKindAndHelp) {
    MetricSample first("m");
    first.add_label("id", "1")
        .add_gauge("x_total", std::string("5"))
        .add_gauge("y", std::int32_t{1});
    MetricSample second("m");
    second.add_label("id", "2").add_counter("x", std::uint64_t{6}).add_gauge("y", std::int32_t{2});
    MetricSample other("n");
    other.add_gauge("z", std::int32_t{0});
    EXPECT_EQ(render({first, other, second, second}, "p"), "# HELP p_m_x_total m x_total (gauge)\n"
                                                           "# TYPE p_m_x_total gauge\n"
                                                           "p_m_x_total{id=\"1\"} 5\n"
                                                           "p_m_x_total{id=\"2\"} 6\n"
                                                           "p_m_x_total{id=\"2\"} 6\n"
                                                           "# HELP p_m_y m y (gauge)\n"
                                                           "# TYPE p_m_y gauge\n"
                                                           "p_m_y{id=\"1\"} 1\n"
                                                           "p_m_y{id=\"2\"} 2\n"
                                                           "p_m_y{id=\"2\"} 2\n"
                                                           "# HELP p_n_z n z (gauge)\n"
                                                           "# TYPE p_n_z gauge\n"
                                                           "p_n_z 0\n");
}

TEST(PrometheusTextTest, HelpNamesTheFieldBeforeConversion) {
    MetricSample s("host_cpu_limit");
    s.add_gauge("delay_ms", std::int32_t{5});
    EXPECT_EQ(render({s}), "# HELP tarn_vm_host_cpu_limit_delay_seconds host_cpu_limit delay_ms "
                           "(gauge)\n"
                           "# TYPE tarn_vm_host_cpu_limit_delay_seconds gauge\n"
                           "tarn_vm_host_cpu_limit_delay_seconds 0.005\n");
    // Samples of one measurement whose fields change order, count and kind: every value still
    // lands in its own family, converted where its name says so.
    MetricSample a("m"), b("m"), c("m");
    a.add_label("id", "a").add_gauge("delay_ms", std::int32_t{5}).add_gauge("g", std::int32_t{1});
    b.add_label("id", "b")
        .add_gauge("g", std::int32_t{2})
        .add_gauge("delay_ms", std::int32_t{1500});
    c.add_label("id", "c").add_counter("delay_ms", std::uint64_t{3});
    EXPECT_EQ(render({a, b, c}, "p"), "# HELP p_m_delay_seconds m delay_ms (gauge)\n"
                                      "# TYPE p_m_delay_seconds gauge\n"
                                      "p_m_delay_seconds{id=\"a\"} 0.005\n"
                                      "p_m_delay_seconds{id=\"b\"} 1.5\n"
                                      "# HELP p_m_g m g (gauge)\n"
                                      "# TYPE p_m_g gauge\n"
                                      "p_m_g{id=\"a\"} 1\n"
                                      "p_m_g{id=\"b\"} 2\n"
                                      "# HELP p_m_delay_seconds_total m delay_ms (counter)\n"
                                      "# TYPE p_m_delay_seconds_total counter\n"
                                      "p_m_delay_seconds_total{id=\"c\"} 0.003\n");
}

} // namespace
} // namespace tarn
