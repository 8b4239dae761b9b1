#include "exporters/http_server.h"
#include "exporters/influx_line.h"
#include "exporters/influx_writer.h"
#include "exporters/listen_address.h"
#include "exporters/prometheus_text.h"
#include "exporters/scrape_cache.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
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

// Each scrape answers what rendering the store gives at that moment: during replacements one
// whole set, never an older one than a scrape before it saw.
TEST(ScrapeCacheTest, AnswersTheLatestWholeSetDuringReplacements) {
    MetricStore store("p");
    ScrapeCache cache(store);
    EXPECT_EQ(*cache.document(), "");
    constexpr int kRounds = 300;
    std::vector<std::string> expected;
    for (int round = 0; round <= kRounds; ++round)
        expected.push_back(render_prometheus(set_of(round, 5), "p"));
    store.replace(set_of(0, 5));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int round = 1; round <= kRounds; ++round)
            store.replace(set_of(round, 5));
        done = true;
    });
    std::size_t last = 0;
    for (int scrapes = 0; !done || scrapes < 10; ++scrapes) {
        const std::string document = *cache.document();
        while (last < expected.size() && expected[last] != document)
            ++last;
        ASSERT_LT(last, expected.size()) << "a document of no whole set, or an older one";
    }
    writer.join();
    EXPECT_EQ(*cache.document(), expected.back());
    EXPECT_EQ(store.generation(), kRounds + 1u);
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
    EXPECT_EQ(format_influx_timestamp(1, 999999), "1999999000");
}

TEST(PrometheusTextTest, NamesAndValuesOfFields) {
    const MetricKind G = MetricKind::gauge, C = MetricKind::counter;
    const std::vector<std::pair<MetricField, std::string>> cases = {
        {{"errors_total", "1", C}, "p_m_errors_total 1"},
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

// A credential or database holding '@', ':', '/' or '&' must not change the host, path or query
// of the write URL.
TEST(InfluxWriterTest, CredentialsAreEncodedExceptUnreservedCharacters) {
    EXPECT_EQ(percent_encode("Az09-._~"), "Az09-._~");
    EXPECT_EQ(percent_encode("a@b:c/d%e f\xc3\xa9"), "a%40b%3Ac%2Fd%25e%20f%C3%A9");
    EXPECT_EQ(percent_encode("tarn&precision=s"), "tarn%26precision%3Ds");
}

// Where each combination of [influx] keys writes, and what it adds to libcurl's headers.
TEST(InfluxEndpointTest, WriteUrlAndHeadersOfEachApi) {
    const auto target = [](std::string url, std::string token, std::string org, std::string rp,
                           bool batched, bool gzip) {
        InfluxTarget t;
        t.user = "u@x", t.password = "p:w", t.url = std::move(url), t.database = "d&b";
        t.token = std::move(token), t.org = std::move(org), t.bucket = "b/k";
        t.retention_policy = std::move(rp), t.batched = batched, t.gzip = gzip;
        return t;
    };
    const std::vector<std::pair<InfluxTarget, std::string>> cases = {
        {target("h:8086", "", "", "", false, false), "http://u%40x:p%3Aw@h:8086/write?db=d%26b"},
        {target("HTTP://h:8086", "", "", "", false, false),
         "http://u%40x:p%3Aw@h:8086/write?db=d%26b"},
        {target("https://[::1]:8086//", "", "o", "r p", true, true),
         "https://u%40x:p%3Aw@[::1]:8086/write?db=d%26b&rp=r%20p|Content-Encoding: gzip|Expect:"},
        {target("h/", "", "", "", false, false), "http://u%40x:p%3Aw@h//write?db=d%26b"},
        {target("Https://h", "t=k", "o&g", "r", false, true),
         "https://h/api/v2/write?org=o%26g&bucket=b%2Fk&precision=ns|Authorization: Token t=k|"
         "Content-Encoding: gzip"},
        {target("h", "t", "", "", true, false),
         "http://h/api/v2/write?bucket=b%2Fk&precision=ns|Authorization: Token t|Expect:"},
    };
    for (const auto& [t, expected] : cases) {
        const InfluxEndpoint endpoint = influx_endpoint(t);
        std::string shown = endpoint.write_url;
        for (const std::string& header : endpoint.headers)
            shown += "|" + header;
        EXPECT_EQ(shown, expected) << t.url;
        EXPECT_EQ(endpoint.gzip, t.gzip);
    }
    const std::vector<std::pair<std::string, UrlScheme>> schemes = {
        {"h:8086", UrlScheme::none},     {"[::1]:8086", UrlScheme::none},
        {"hTtPs://h", UrlScheme::https}, {"http://h", UrlScheme::http},
        {"ftp://h", UrlScheme::other},   {"git+ssh://h", UrlScheme::other},
        {"://h", UrlScheme::none},       {"1a://h", UrlScheme::none},
        {"h/a://b", UrlScheme::none},
    };
    for (const auto& [url, scheme] : schemes)
        EXPECT_EQ(url_scheme(url), scheme) << url;
}

// The host and port of "ADDR:PORT"; a port that is not 1 to 65535 in decimal would bind another.
TEST(ListenAddressTest, PortIsADecimalFrom1To65535) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"127.0.0.1:9273", "127.0.0.1|9273"},
        {":9273", "|9273"},
        {"::1:1", "::1|1"},
        {"h:65535", "h|65535"},
        {"h:99999", "-"},
        {"h:65536", "-"},
        {"h:0", "-"},
        {"h:", "-"},
        {"h:http", "-"},
        {"h:+80", "-"},
        {"h:0x50", "-"},
        {"127.0.0.1", "-"},
        {"h:000080", "-"},
        {"h:00080", "h|00080"},
    };
    for (const auto& [text, expected] : cases) {
        const auto split = split_listen_address(text);
        EXPECT_EQ(split ? split->host + "|" + split->port : "-", expected) << text;
    }
}

std::string answer(int status, const std::string& reason, const std::string& body,
                   const std::string& type = "text/plain; charset=utf-8") {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
           body;
}
const std::string kExposition = "text/plain; version=0.0.4; charset=utf-8";
const std::string kOk = answer(200, "OK", "m 1\n", kExposition);
const std::string kNotFound = answer(404, "Not Found", "404 Not Found\n");
const std::string kNotAllowed = answer(405, "Method Not Allowed", "405 Method Not Allowed\n");
const std::string kFailed = answer(500, "Internal Server Error", "500 Internal Server Error\n");

TEST(HttpServerTest, EachRequestGetsItsAnswer) {
    const RenderCallback render = [] { return std::make_shared<const std::string>("m 1\n"); };
    const RenderCallback throwing = []() -> Document { throw std::runtime_error("no memory"); };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", kOk},
        {"GET /metrics?name=x HTTP/1.1\r\n\r\n", kOk},
        {"GET /metrics", kOk},
        {"GET /Metrics HTTP/1.1\r\n\r\n", kNotFound},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", kNotFound},
        {"GET /metricsx HTTP/1.1\r\n\r\n", kNotFound},
        {"GET / HTTP/1.1\r\n\r\n", kNotFound},
        {"GET ?/metrics HTTP/1.1\r\n\r\n", kNotFound},
        {"GET /x\r\nGET /metrics HTTP/1.1\r\n\r\n", kNotFound},
        {"GET", kNotFound},
        {"POST /metrics HTTP/1.1\r\n\r\n", kNotAllowed},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", kNotAllowed},
        {"get /metrics HTTP/1.1\r\n\r\n", kNotAllowed},
        {"GETX /metrics HTTP/1.1\r\n\r\n", kNotAllowed},
        {" GET /metrics HTTP/1.1\r\n\r\n", kNotAllowed},
        {"\r\nGET /metrics HTTP/1.1\r\n\r\n", kNotAllowed},
        {"", kNotAllowed},
    };
    for (const auto& [request, response] : cases)
        EXPECT_EQ(respond_to_request(request, render), response) << request;
    EXPECT_EQ(kNotFound.substr(kNotFound.size() - 14), "404 Not Found\n");
    EXPECT_EQ(kNotAllowed.substr(kNotAllowed.size() - 23), "405 Method Not Allowed\n");
    EXPECT_EQ(respond_to_request("GET /metrics HTTP/1.1\r\n\r\n", throwing), kFailed);
    EXPECT_EQ(respond_to_request("GET / HTTP/1.1\r\n\r\n", throwing), kNotFound);
    // Before the first feed the store renders nothing: 200 with an empty body.
    for (const RenderCallback& empty :
         {RenderCallback([] { return Document(); }),
          RenderCallback([] { return std::make_shared<const std::string>(); })})
        EXPECT_EQ(respond_to_request("GET /metrics HTTP/1.1\r\n\r\n", empty),
                  answer(200, "OK", "", kExposition));
}

int connect_to(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

std::string read_all(int fd) {
    std::string out;
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

// Sends the request in pieces of `piece` bytes, a moment apart, and reads the answer.
std::string fetch(int port, const std::string& request, std::size_t piece = 1 << 20) {
    const int fd = connect_to(port);
    for (std::size_t at = 0; at < request.size(); at += piece) {
        ::send(fd, request.data() + at, std::min(piece, request.size() - at), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(piece < 100 ? 2 : 0));
    }
    std::string out = read_all(fd);
    ::close(fd);
    return out;
}

TEST(HttpServerTest, ServesConnectionsOverLoopback) {
    const Document small = std::make_shared<const std::string>("m 1\n");
    const Document large = std::make_shared<const std::string>(32 << 20, 'x');
    std::atomic<bool> big{false};
    RunFlag flag{1};
    // Port 0 is refused (it would bind a port nobody configured), so take one the kernel just
    // handed out and gave back.
    const int free_fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof any;
    ASSERT_EQ(::bind(free_fd, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ::getsockname(free_fd, reinterpret_cast<sockaddr*>(&any), &length);
    ::close(free_fd);
    const int port = ntohs(any.sin_port);
    HttpServer server(
        "127.0.0.1:" + std::to_string(port), [&] { return big ? large : small; }, &flag);
    ASSERT_TRUE(server.start());
    ASSERT_EQ(server.local_port(), port);
    std::thread serving([&] { EXPECT_EQ(server.serve(), 0); });
    EXPECT_FALSE(HttpServer("127.0.0.1:" + std::to_string(port), nullptr, &flag).start());
    const std::string scrape = "GET /metrics HTTP/1.1\r\n\r\n";
    EXPECT_EQ(fetch(port, "GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n", 1), kOk);
    EXPECT_EQ(fetch(port, "GET /a HTTP/1.1\r\nX: " + std::string(70000, 'a')), kNotFound);

    // An answer larger than the socket takes at once goes out whole, also when request bytes
    // are left unread (closing over them would reset the answer away); a scraper that vanishes
    // halfway, after its own shutdown, ends neither the server nor the process.
    big = true;
    const std::size_t whole = answer(200, "OK", *large, kExposition).size();
    EXPECT_EQ(fetch(port, scrape).size(), whole);
    EXPECT_EQ(fetch(port, scrape + std::string(60000, 'x')).size(), whole);
    const int vanishing = connect_to(port);
    ::send(vanishing, scrape.data(), scrape.size(), MSG_NOSIGNAL);
    ::shutdown(vanishing, SHUT_WR);
    char some[1000];
    EXPECT_GT(::recv(vanishing, some, sizeof some, MSG_WAITALL), 0);
    ::close(vanishing); // unread data: the peer is reset
    big = false;

    // Idle connections up to the cap delay no scrape; one more closes the one open longest.
    std::vector<int> idle;
    for (int i = 0; i < 64; ++i) {
        idle.push_back(connect_to(port));
        if (i < 63) { // answered while the idle ones wait, and it keeps them in order
            EXPECT_EQ(fetch(port, "GET / HTTP/1.1\r\n\r\n"), kNotFound);
        }
    }
    EXPECT_EQ(fetch(port, scrape), kOk);
    char byte;
    EXPECT_EQ(::recv(idle[0], &byte, 1, MSG_DONTWAIT), 0);
    EXPECT_EQ(::recv(idle[1], &byte, 1, MSG_DONTWAIT), -1); // still waiting
    flag.store(0);
    serving.join();
    for (const int fd : idle) {
        EXPECT_EQ(read_all(fd), "") << "closed unanswered on stop";
        ::close(fd);
    }
}

} // namespace
} // namespace tarn
