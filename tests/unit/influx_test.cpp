#include "exporters/influx/influx_line.h"
#include "exporters/influx/influx_writer.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace tarn {
namespace {

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

} // namespace
} // namespace tarn
