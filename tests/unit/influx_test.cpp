#include "exporters/influx/influx_answer.h"
#include "exporters/influx/influx_batcher.h"
#include "exporters/influx/influx_endpoint.h"
#include "log_capture.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <regex>

namespace tarn {
namespace {

// Where each combination of [influx] keys writes, and what it adds to libcurl's headers. A
// credential or database holding '@', ':', '/' or '&' must not change the host, path or query.
TEST(InfluxEndpointTest, WriteUrlAndHeadersOfEachApi) {
    EXPECT_EQ(percent_encode("Az09-._~"), "Az09-._~");
    EXPECT_EQ(percent_encode("a@b:c/d%e f\xc3\xa9"), "a%40b%3Ac%2Fd%25e%20f%C3%A9");
    const auto target = [](std::string url, std::string token, std::string org, std::string rp,
                           bool batched, bool gzip) {
        InfluxTarget t;
        t.user = "u@x", t.password = "p:w", t.url = std::move(url), t.database = "d&b";
        t.token = std::move(token), t.org = std::move(org), t.bucket = "b/k";
        t.retention_policy = std::move(rp), t.batched = batched, t.gzip = gzip;
        return t;
    };
    const std::vector<std::pair<InfluxTarget, std::string>> cases = {
        {target("HTTP://h:8086", "", "", "", false, false),
         "http://u%40x:p%3Aw@h:8086/write?db=d%26b"},
        {target("https://[::1]:8086//", "", "o", "r p", true, true),
         "https://u%40x:p%3Aw@[::1]:8086/write?db=d%26b&rp=r%20p|Content-Encoding: gzip|Expect:"},
        {target("h/", "", "", "", false, false), "http://u%40x:p%3Aw@h/write?db=d%26b"},
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

// Each answer's verdict for a batch of 5 lines, and the reason logged from its body.
TEST(InfluxAnswerTest, VerdictAndReasonOfEachAnswer) {
    const std::string x296(296, 'x');
    const std::vector<std::tuple<long, std::string, std::string, std::string>> cases = {
        {400, "unable to parse 'm x'", "refused 5", "unable to parse 'm x'"},
        {422, R"({"code":"invalid","message":"no\tfields"})", "refused 5", "no fields"},
        {400, R"({"error":"partial write: conflict \"x\" dropped=2"})", "refused 2",
         R"(partial write: conflict "x" dropped=2)"},
        {400, "partial write: dropped=9", "refused 5", "partial write: dropped=9"},
        {400, "dropped=1", "refused 5", "dropped=1"},
        {401, R"({"error":"authorization failed"})", "wait 0", "authorization failed"},
        {404, " database not found\n", "wait 0", "database not found"},
        {503, "\x01 a\r\n\r\nb\t ", "wait 0", "\\x01 a b"},
        // Controls, marks that turn text around and bytes that are not UTF-8 become escapes.
        {500, "\x1b[2J\xc2\x9bm\x9b\x7f", "wait 0", "\\x1b[2J\\u009bm\\x9b\\x7f"},
        {500, R"({"error":"a\u202eb\u2066\u200f\u061c"})", "wait 0",
         "a\\u202eb\\u2066\\u200f\\u061c"},
        {500,
         "\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 \xe2\x82",
         "wait 0",
         "\\xc0\\xaf \\xed\\xa0\\x80 \\xf4\\x90\\x80\\x80 \xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80 "
         "\\xe2\\x82"},
        {500, x296 + "\xc3\xa9\xe2\x82\xac", "wait 0", x296 + "\xc3\xa9"},
        {500, R"({"error":7})", "wait 0", R"({"error":7})"},
    };
    const char* kinds[] = {"sent", "refused", "too_large", "wait", "no_answer"};
    for (const auto& [status, text, verdict, reason] : cases) {
        const AnswerVerdict v = classify_answer({status, text}, 5);
        EXPECT_EQ(fmt::format("{} {}", kinds[static_cast<int>(v.kind)], v.refused), verdict)
            << status << " " << text;
        EXPECT_EQ(answer_reason(text), reason) << text;
    }
    for (const long status : {403, 429, 301, 100})
        EXPECT_EQ(classify_answer({status}, 5).kind, AnswerKind::wait) << status;
    EXPECT_EQ(classify_answer({413}, 1).kind, AnswerKind::refused); // a line alone cannot shrink
    EXPECT_EQ(classify_answer({299}, 1).kind, AnswerKind::sent);
    EXPECT_EQ(answer_reason(std::string(5000, 'y')).size(), kInfluxReasonBytes);
    EXPECT_EQ(answer_reason(std::string(299, 'y') + "\x1b"),
              std::string(299, 'y')); // no half escape
}

// What start-up says of each url (the start of it), and nothing for those libcurl can use.
TEST(InfluxEndpointTest, UrlProblems) {
    for (const char* url : {"h:8086", "https://influx.example.org:8086/", "10.0.0.1",
                            "http://vm-insert_1:8480/insert/0/influx", "[::1]:8086", "http://[::1]",
                            "[fe80::1:2:3:4:5:6]", "[1:2:3:4:5:6:7:8]", "[::ffff:10.0.0.1]:1"})
        EXPECT_EQ(url_problem(url), "") << url;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"::1:8086", "an IPv6 address needs brackets"},
        {"[::1:8086", "an IPv6 address lacks"},
        {"[::g]:8086", "'::g' is not an IPv6"},
        {"[1::2::3]", "'1::2::3' is not"},
        {"[1:2:3:4:5:6:7]", "'1:2:3:4:5:6:7' is not"},
        {"[::1.2.3.256]", "'::1.2.3.256' is not"},
        {"[1:2:3:4:5:6:7:8:9]", "'1:2:3:4:5:6:7:8:9' is"},
        {"[::12345]", "'::12345' is not"},
        {"[::1]8086", "only ':PORT' may follow"},
        {"h:0", "port '0' is not"},
        {"h:", "port '' is not"},
        {"[::1]:65536", "port '65536' is not a number"},
        {"h:8086 # prod", "' ' at position 7 is"},
        {"\"h:8086\"", "'\"' at position 1 is"},
        {"h:8086/write?db=t", "a query ('?') does not belong in it: the daemon adds /write and its "
                              "parameters"},
        {"http://u:p \"/#?x@h", "credentials belong"}, // before any check quoting a character
        {"http//127.0.0.1:8086", "'//' stands after the host"},
        {"http:///x", "it names no host"},
        {"h!x:1", "'!' is not allowed in a host"},
    };
    for (const auto& [url, problem] : cases)
        EXPECT_EQ(url_problem(url).substr(0, problem.size()), problem) << url;
}

// A batch over the server's body limit is posted again in halves at once, oldest first, down to
// a line alone that is refused; what passed caps the bodies (logged). The cap is tried higher
// after each feed that passed under it (doubling) and lifted once whole batches fit (said once);
// a cap tried higher that meets a 413 again waits twice as many clean feeds for the next try.
TEST(InfluxBatcherTest, TooLargeBatchesAreSplitAndTheCapRisesAgain) {
    // per feed the server's limit in bytes; the lines of each post (* too large, | a feed's end);
    // sent refused; the log (a body too large > the cap learned, "lifted")
    const std::vector<std::tuple<std::vector<std::size_t>, std::string, std::string, std::string>>
        cases = {
            {{20}, "8* 4 4 | ", "8 0", "23>11 "},
            {{2}, "8* 4* 2* 1 1 1 1 1 1 1 1 | ", "8 0", "5>2 "},
            {{1}, "8* 4* 2* 1* 7* 3* 1* 6* 3* 1* 5* 2* 1* 4* 2* 1* 3* 1* 2* 1* 1* | ", "0 8", ""},
            {{20, 99, 99, 99, 99}, "8* 4 4 | 4 4 | 7 1 | 8 | 8 | ", "40 0", "23>11 lifted "},
            {std::vector<std::size_t>(8, 15),
             "8* 4 4 | 4 4 | 7* 3 3 2 | 3 3 2 | 3 3 2 | 5 3 | 5 3 | 8* 4 4 | ", "64 0",
             "23>11 20>8 23>11 "},
        };
    const std::regex said(
        "refused a body of (\\d+) bytes as too large \\(413\\); posting bodies of "
        "at most (\\d+) bytes from now on|(bodies are no longer capped)");
    for (const auto& [limits, posts, counts, logged] : cases) {
        LogCapture log(spdlog::level::info);
        InfluxBatcher batcher(100, 0);
        std::string posted;
        for (const std::size_t limit : limits) {
            batcher.begin_feed();
            for (int n = 0; n < 8; ++n)
                batcher.add(fmt::format("l{}", n));
            while (batcher.batch_waiting(true))
                batcher.post_batch([&](const std::string& body) {
                    posted +=
                        fmt::format("{}{} ", (body.size() + 1) / 3, body.size() > limit ? "*" : "");
                    return InfluxAnswer{body.size() > limit ? 413 : 204};
                });
            batcher.end_feed();
            posted += "| ";
        }
        const InfluxCounters n = batcher.counters();
        EXPECT_EQ(posted + fmt::format("{} {}", n.sent, n.refused), posts + counts);
        std::string shown;
        const std::string text = log.text();
        for (std::sregex_iterator m(text.begin(), text.end(), said), end; m != end; ++m)
            shown +=
                (*m)[3].matched ? "lifted " : fmt::format("{}>{} ", (*m)[1].str(), (*m)[2].str());
        EXPECT_EQ(shown, logged) << text;
    }
}

} // namespace
} // namespace tarn
