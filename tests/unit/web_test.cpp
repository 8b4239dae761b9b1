#include "exporters/web/credential_check.h"
#include "exporters/web/http_server.h"
#include "exporters/web/listen_address.h"
#include "exporters/web/rate_limit.h"
#include "exporters/web/request_headers.h"
#include "exporters/web/tls_context.h"
#include "exporters/web/web_config.h"
#include "exporters/web/web_config_reloader.h"
#include "log_capture.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace tarn {
namespace {

// The host and port of "ADDR:PORT"; a port that is not 1 to 65535 in decimal would bind another.
// Only loopback hosts keep the plain scrape on this machine; the others earn a warning.
TEST(ListenAddressTest, PortIsADecimalFrom1To65535) {
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"127.0.0.1:9273", "127.0.0.1|9273"}, {":9273", "|9273"}, {"::1:1", "::1|1"},
        {"h:65535", "h|65535"}, {"h:00080", "h|00080"}, {"[::1]:9273", "::1|9273"},
        {"[::]:1", "::|1"}, {"h:65536", "-"}, {"h:0", "-"}, {"h:", "-"}, {"h:http", "-"},
        {"h:+80", "-"}, {"h:0x50", "-"}, {"127.0.0.1", "-"}, {"h:000080", "-"}, {"[]:1", "-"},
        {"[::1]", "-"}, {"[::1:1", "-"}, {"::1]:1", "-"}, {"[::1]9273", "-"}}; // a URL: test_dump
    const std::vector<std::pair<std::string, bool>> hosts = {
        {"localhost", true}, {"127.0.0.1", true}, {"127.255.0.9", true}, {"::1", true},
        {"::ffff:127.0.0.1", true}, {"", false}, {"0.0.0.0", false}, {"::", false},
        {"128.0.0.1", false}, {"::ffff:10.0.0.1", false}, {"host.example", false}};
    // clang-format on
    for (const auto& [text, expected] : cases) {
        const auto split = split_listen_address(text);
        EXPECT_EQ(split ? split->host + "|" + split->port : "-", expected) << text;
    }
    for (const auto& [host, loopback] : hosts)
        EXPECT_EQ(loopback_host(host), loopback) << host;
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

// The gzip form, the 401 answer and an empty store's answer are the end-to-end tests' (gzip and
// headers in test_scrape_security, the empty store in test_daemon).
TEST(HttpServerTest, EachRequestGetsItsAnswer) {
    const RenderCallback render = [] { return std::make_shared<const std::string>("m 1\n"); };
    const RenderCallback throwing = []() -> Document { throw std::runtime_error("no memory"); };
    const std::string kNotAllowed = answer(405, "Method Not Allowed", "405 Method Not Allowed\n");
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", kOk}, {"GET /metrics", kOk},
        {"GET /metrics?name=x HTTP/1.1\r\n\r\n", kOk}, {"GET /Metrics HTTP/1.1\r\n\r\n", kNotFound},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", kNotFound}, {"GET /metricsx HTTP/1.1\r\n\r\n", kNotFound},
        {"GET ?/metrics HTTP/1.1\r\n\r\n", kNotFound}, {"GET", kNotFound},
        {"GET /x\r\nGET /metrics HTTP/1.1\r\n\r\n", kNotFound}, {"", kNotAllowed},
        {"POST /metrics HTTP/1.1\r\n\r\n", kNotAllowed}, {"get /metrics HTTP/1.1\r\n\r\n", kNotAllowed},
        {"GETX /metrics HTTP/1.1\r\n\r\n", kNotAllowed}, {" GET /metrics HTTP/1.1\r\n\r\n", kNotAllowed}};
    // clang-format on
    for (const auto& [request, response] : cases)
        EXPECT_EQ(respond_to_request(request, render), response) << request;
    EXPECT_EQ(respond_to_request("GET /metrics HTTP/1.1\r\n\r\n", throwing),
              answer(500, "Internal Server Error", "500 Internal Server Error\n"));
    EXPECT_EQ(respond_to_request("GET / HTTP/1.1\r\n\r\n", throwing), kNotFound);
}

// A TCP socket bound (port 0: the kernel picks one) or connected to 127.0.0.1:port.
int loopback_socket(int port, bool bind = false) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const auto to = reinterpret_cast<sockaddr*>(&address);
    EXPECT_EQ(bind ? ::bind(fd, to, sizeof address) : ::connect(fd, to, sizeof address), 0);
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
    const int fd = loopback_socket(port);
    for (std::size_t at = 0; at < request.size(); at += piece) {
        ::send(fd, request.data() + at, std::min(piece, request.size() - at), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(piece < 100 ? 2 : 0));
    }
    std::string out = read_all(fd);
    ::close(fd);
    return out;
}

// An answer larger than the socket takes at once and a head past the read limit are
// test_daemon's (a scrape of about 1 MB to clients with small windows, an endless header).
TEST(HttpServerTest, ServesConnectionsOverLoopback) {
    const Document document = std::make_shared<const std::string>("m 1\n");
    RunFlag flag{1};
    // Port 0 is refused (it would bind a port nobody configured): take one the kernel handed out.
    const int free_fd = loopback_socket(0, true);
    sockaddr_in any{};
    socklen_t length = sizeof any;
    ::getsockname(free_fd, reinterpret_cast<sockaddr*>(&any), &length);
    ::close(free_fd);
    const int port = ntohs(any.sin_port);
    HttpServer server(
        "127.0.0.1:" + std::to_string(port), [&] { return document; }, &flag);
    ASSERT_TRUE(server.start());
    ASSERT_EQ(server.local_port(), port);
    std::thread serving([&] { EXPECT_EQ(server.serve(), 0); });
    EXPECT_EQ(fetch(port, "GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n", 1), kOk);

    // Idle connections up to the cap delay no scrape; one more closes the one open longest.
    std::vector<int> idle;
    for (int i = 0; i < 64; ++i) {
        idle.push_back(loopback_socket(port));
        if (i < 63) { // answered while the idle ones wait, and it keeps them in order
            EXPECT_EQ(fetch(port, "GET / HTTP/1.1\r\n\r\n"), kNotFound);
        }
    }
    EXPECT_EQ(fetch(port, "GET /metrics HTTP/1.1\r\n\r\n"), kOk);
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
TEST(RequestHeadersTest, FieldsGzipAndBasicCredentials) {
    // clang-format off
    const std::vector<std::pair<std::optional<std::string_view>, bool>> encodings = {
        {std::nullopt, false}, {"", false}, {"GZip", true}, {"x-gzip", true}, {"*", true},
        {"br;q=1.0, gzip;q=0.8, *;q=0.1", true}, {"gzip; q=0.000", false}, {"gzip;q=0.001", true},
        {"*;q=0", false}, {"*, gzip;q=0", false}, {"identity;q=0, gzip", true},
        {"identity;q=0.5, gzip;q=0.5", true}, {"gzip;q=2", false}, {"gzip;q=abc", false},
        {"gzip;level=9", true}, {"gzipx, deflate", false}, {" , ,gzip , ", true}};
    for (const auto& [value, gzip] : encodings)
        EXPECT_EQ(accepts_gzip(value), gzip) << value.value_or("(absent)");
    const std::string request =
        "GET /metrics HTTP/1.1\r\nHost: h\r\nauthorization:  Basic eDp5 \r\n"
        "Accept-Encoding:\r\nAuthorization: Basic other\r\n\r\nX: body\r\n";
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"Authorization", "Basic eDp5"}, {"ACCEPT-ENCODING", ""}, {"Host", "h"},
        {"X", "(absent)"}, {"GET /metrics HTTP/1.1\r\nHost", "(absent)"}, {"Accept", "(absent)"}};
    for (const auto& [name, value] : fields)
        EXPECT_EQ(header_value(request, name).value_or("(absent)"), value) << name;
    for (const char* broken :
         {"GET / HTTP/1.1\r\nHost: cut off", // no end of line
          "GET / HTTP/1.1\r\nX: 1\nHost: a\r\n\r\n", "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n"})
        EXPECT_FALSE(header_value(broken, "Host")) << broken;
    EXPECT_EQ(header_value("GET / HTTP/1.1\r\nHost: a\r\n", "Host").value_or(""), "a");
    // "-": refused (no ':', unpadded, bits under the padding, padding inside, another scheme).
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Basic c2NyYXBlcjpyaWdodCBob3JzZQ==", "scraper|right horse"}, {"basic   YTpiOmM=", "a|b:c"},
        {"BASIC Og==", "|"}, {"Basic w6k6w6k=", "\xc3\xa9|\xc3\xa9"}, {"Basic YWI=", "-"},
        {"Basic YTpiYw", "-"}, {"Basic YTpiYx==", "-"}, {"Basic YTpi=Yw==", "-"},
        {"Basic YTp!", "-"}, {"Bearer YTpi", "-"}, {"Basic", "-"}, {"BasicYTpi", "-"}, {"", "-"}};
    // clang-format on
    for (const auto& [value, expected] : cases) {
        const auto credentials = parse_basic_authorization(value);
        EXPECT_EQ(credentials ? credentials->user + "|" + credentials->password : "-", expected)
            << value;
    }
}

const std::string kHash = "$2y$04$ARL5jO7cXTKZFFjmOWjkIONhlX969pkEhdda1sXgl7ERZ287XMMtm";

// Each web config text gives its settings, or one error naming the file, then the key (checked
// up to the reason's first words; files with certificates are rows of the end-to-end table).
TEST(WebConfigTest, SettingsAndErrorsOfFiles) {
    const std::string e = "Web config /etc/t/w.yml: ";
    const auto shown = [&e](const WebConfigResult& result) {
        if (!result.config)
            return result.error.starts_with(e) ? result.error.substr(e.size()) : result.error;
        const WebConfig& c = *result.config;
        std::string out = "plain";
        if (const auto& t = c.tls)
            out = fmt::format(
                "tls {}{} {}{} {} {}{} {}-{} [{}] [{}] [{}]{}", t->cert_file, t->cert.substr(0, 5),
                t->key_file, t->key.substr(0, 5), static_cast<int>(t->client_auth),
                t->client_ca_file, t->client_ca.substr(0, 5), static_cast<int>(t->min_version),
                static_cast<int>(t->max_version), fmt::join(t->client_allowed_sans, ","),
                fmt::join(t->cipher_suites, ","), fmt::join(t->curves, ","),
                t->prefer_server_cipher_suites ? "" : " client-order");
        for (const auto& [user, hash] : c.users)
            out += " " + user + (hash == kHash ? "=h" : "=?");
        for (const auto& [name, value] : c.headers)
            out += " " + name + "=" + value;
        if (c.rate_limit.interval.count() > 0)
            out += fmt::format(" rate {}ns/{}", c.rate_limit.interval.count(), c.rate_limit.burst);
        out += c.http2_asked ? " h2" : "";
        for (const std::string& warning : result.warnings)
            out += " | " + warning;
        return out;
    };
    const std::string tls = "tls_server_config:\n  cert_file: c.pem\n  key_file: /k.pem\n";
    const std::string auth = tls + "  client_auth_type: ", users = "basic_auth_users:\n  ";
    const std::string headers = "http_server_config:\n  headers:\n    ";
    const std::string pem = "'-----BEGIN X-----\n\n    x'";
    const std::string hash10 = "$2y$10$" + kHash.substr(7), hash17 = "$2y$17$" + kHash.substr(7);
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"tls_server_config:\nbasic_auth_users: {}\nhttp_server_config:\nrate_limit:\n", "plain"},
        {"rate_limit:\n  interval: 0\n  burst: 0\n", "plain"},
        {tls, "tls /etc/t/c.pem /k.pem 0  2-3 [] [] []"},
        {auth + "RequestClientCert\n", "tls /etc/t/c.pem /k.pem 1  2-3 [] [] []"},
        {auth + "RequireAnyClientCert\n", "tls /etc/t/c.pem /k.pem 2  2-3 [] [] []"},
        {auth + "RequireAndVerifyClientCert\n  client_ca_file: ca/ca.pem\n  min_version: TLS13\n"
                "  client_allowed_sans: [a.example, 10.0.0.1]\n",
         "tls /etc/t/c.pem /k.pem 4 /etc/t/ca/ca.pem 3-3 [a.example,10.0.0.1] [] []"},
        {auth + "NoClientCert\n  min_version: TLS10\n  max_version: TLS11\n"
                "  cipher_suites: [TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256]\n"
                "  prefer_server_cipher_suites: false\n  curve_preferences: [X25519, CurveP256]\n",
         "tls /etc/t/c.pem /k.pem 0  0-1 [] [TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256] "
         "[X25519,P-256] client-order"},
        {"tls_server_config:\n  cert: " + pem + "\n  key: " + pem +
             "\n  client_auth_type: VerifyClientCertIfGiven\n  client_ca: " + pem + "\n",
         "tls ----- ----- 3 ----- 2-3 [] [] []"},
        {users + "scraper: " + kHash + "\n  'b c': '" + kHash + "'\n", "plain b c=h scraper=h"},
        {"http_server_config:\n  http2: true\n  headers:\n    X-Frame-Options: DENY\n"
         "    Content-Security-Policy: ''\n    Strict-Transport-Security: max-age=31536000\n"
         "rate_limit:\n  interval: 1m30s\n  burst: 5\n",
         "plain X-Frame-Options=DENY Strict-Transport-Security=max-age=31536000 "
         "rate 90000000000ns/5 h2"},
        {users + "a: '" + kHash + "'\n  b: '" + hash10 + "'\n",
         "plain a=h b=? | " + e + "basic_auth_users: the users' bcrypt costs differ (4, 10): the "
         "time of a refusal tells which user names exist; make every hash at one cost"},
        {"web_listen_address: x\n", "web_listen_address: unknown key"},
        {headers + "X-Content-Type-Options: sniff\n",
         "http_server_config.headers.X-Content-Type-Options: 'sniff' is not nosniff"},
        {headers + "X-XSS-Protection: \"1\\rSet-Cookie: a\"\n",
         "http_server_config.headers.X-XSS-Protection: a header value cannot hold control"},
        {"rate_limit:\n  interval: 1s\n", "rate_limit.burst: must be at least 1 when interval"},
        {"rate_limit:\n  burst: -1\n", "rate_limit.burst: '-1' is not a whole number"},
        {tls + "  curve_preferences: [CurveP224]\n", "tls_server_config.curve_preferences: 'Cur"},
        {tls + "  cert: " + pem + "\n", "tls_server_config.cert: give cert_file or cert, not"},
        {"tls_server_config:\n  cert_file: c\n", "tls_server_config.key_file: missing (or key)"},
        {auth + "Yes\n", "tls_server_config.client_auth_type: 'Yes' is not NoClientCert,"},
        {tls + "  client_ca_file: ca.pem\n", "tls_server_config.client_auth_type: client_ca_file"},
        {auth + "RequireAnyClientCert\n  client_allowed_sans: [a]\n",
         "tls_server_config.client_allowed_sans: needs client_auth_type RequireAndVerifyClientCert"},
        {tls + "  min_version: TLS14\n", "tls_server_config.min_version: 'TLS14' is not TLS10"},
        {tls + "  min_version: TLS13\n  max_version: TLS12\n",
         "tls_server_config.min_version: above max_version"},
        {users + "a: '" + hash17 + "'\n",
         "basic_auth_users.a: bcrypt cost 17 is above 14, the most accepted (one check would "
         "take seconds); make the hash with htpasswd -nBC 12"},
        {users + "'a:b': '" + kHash + "'\n", "basic_auth_users.a:b: a user name cannot hold ':'"},
        {users + "'': '" + kHash + "'\n", "basic_auth_users: a user name must be a non-empty"},
        {"tls_server_config:\n  cert_file: [\n", "line 3, column 1: end of sequence flow not"},
        // A key given twice, in any mapping, whichever of the two would win.
        {auth + "A\n  client_auth_type: B\n", "tls_server_config.client_auth_type: given twice (lines 4 and 5)"},
        {"http_server_config: {http2: true, http2: false}\n", "http_server_config.http2: given twice (line 1)"}};
    for (const auto& [text, expected] : cases) {
        const WebConfigResult result = parse_web_config(text, "/etc/t/w.yml");
        const std::string got = shown(result);
        EXPECT_EQ(result.config ? got : got.substr(0, expected.size()), expected) << text;
    }
    const std::string rest = kHash.substr(7);
    for (const auto& [hash, valid] : std::vector<std::pair<std::string, bool>>{
             {kHash, true}, {"$2a$31$" + rest, true}, {"$2b$10$" + rest, true},
             {"$2x$10$" + rest, false}, {"$2y$03$" + rest, false}, {"$2y$32$" + rest, false},
             {kHash.substr(0, 59), false}, {kHash + "x", false}, {kHash.substr(0, 59) + "!", false}})
        EXPECT_EQ(is_bcrypt_hash(hash), valid) << hash;
    for (const auto& [text, nanoseconds] : std::vector<std::pair<std::string, long long>>{
             {"0", 0}, {"1s", 1000000000}, {"250ms", 250000000}, {"1m30s", 90000000000},
             {"1.5h", 5400000000000}, {"2us", 2000}, {"", -1}, {"1", -1}, {"s", -1},
             {"1x", -1}, {"1s2", -1}, {"9999999h", -1}}) {
        // clang-format on
        const auto parsed = parse_go_duration(text);
        EXPECT_EQ(parsed ? parsed->count() : -1, nanoseconds) << text;
    }
}

// Waits for verdicts from the worker until `count` have come or a few seconds passed.
using Verdicts = std::map<std::uint64_t, bool>;
Verdicts verdicts(CredentialCheck& check, std::size_t count) {
    Verdicts got;
    for (int round = 0; round < 100 && got.size() < count; ++round) {
        pollfd ready{check.ready_fd(), POLLIN, 0};
        ::poll(&ready, 1, 100);
        for (const auto& [ticket, allowed] : check.take_verdicts())
            EXPECT_TRUE(got.emplace(ticket, allowed).second) << "two verdicts for " << ticket;
    }
    return got;
}

// bcrypt runs off the calling thread; a verified pair is then answered at once, and connections
// that send the same pair share one check.
TEST(CredentialCheckTest, VerdictsComeFromTheWorkerAndAreRemembered) {
    using V = CredentialCheck::Verdict;
    CredentialCheck check({{"scraper", kHash}});
    ASSERT_TRUE(check.start());
    const std::string right = "Basic c2NyYXBlcjpyaWdodCBob3JzZQ=="; // scraper:right horse
    const std::string wrong = "Basic c2NyYXBlcjp3cm9uZw==";         // scraper:wrong
    const std::string stranger = "Basic bm9ib2R5OnJpZ2h0IGhvcnNl";  // nobody:right horse
    for (const auto& refused :
         {std::optional<std::string>(), std::optional<std::string>("Basic !!!!"),
          std::optional<std::string>("Bearer eDp5")})
        EXPECT_EQ(check.check(refused, 1), V::refused);
    for (const auto& [ticket, authorization] : std::vector<std::pair<int, std::string>>{
             {10, right}, {11, right}, {12, wrong}, {13, stranger}, {14, wrong}})
        EXPECT_EQ(check.check(authorization, ticket), V::pending) << ticket;
    check.cancel(14);
    check.cancel(99); // unknown: nothing happens
    EXPECT_EQ(verdicts(check, 4), (Verdicts{{10, true}, {11, true}, {12, false}, {13, false}}));
    EXPECT_EQ(check.check(right, 20), V::allowed);
    EXPECT_EQ(check.check(wrong, 21), V::refused);
    EXPECT_EQ(check.check(stranger, 22), V::refused);
    // A check nobody waits for any longer is dropped: no verdict comes for it.
    EXPECT_EQ(check.check("Basic c2NyYXBlcjp4", 30), V::pending); // scraper:x
    check.cancel(30);
    EXPECT_EQ(check.check("Basic c2NyYXBlcjp5", 31), V::pending); // scraper:y
    EXPECT_EQ(verdicts(check, 1), (Verdicts{{31, false}}));
    // crypt would stop at a NUL and take "right horse\0x" for "right horse".
    EXPECT_EQ(check.check("Basic c2NyYXBlcjpyaWdodCBob3JzZQB4", 40), V::refused);
    // A reloaded user list forgets what was verified; a check asked before the reload answers
    // its connection but is not remembered, nor given to a request after the reload.
    const std::string other = "Basic b3RoZXI6cmlnaHQgaG9yc2U=";   // other:right horse
    EXPECT_EQ(check.check("Basic c2NyYXBlcjp6", 50), V::pending); // scraper:z
    EXPECT_EQ(check.check(other, 54), V::pending);                // not a user yet
    check.replace_users({{"scraper", kHash}, {"other", kHash}});
    EXPECT_EQ(check.check(right, 51), V::pending);
    EXPECT_EQ(check.check(other, 55), V::pending);
    EXPECT_EQ(verdicts(check, 4), (Verdicts{{50, false}, {51, true}, {54, false}, {55, true}}));
    EXPECT_EQ(check.check("Basic c2NyYXBlcjp6", 52), V::pending);
    EXPECT_EQ(check.check(right, 53), V::allowed);
    check.replace_users({});
    EXPECT_FALSE(check.active());
    EXPECT_EQ(check.check(std::nullopt, 54), V::allowed);
}

// The check thread's state outlives the object: ending it (a stop) does not wait for a bcrypt
// check under way. The bound is relative to one check's time on this machine.
TEST(CredentialCheckTest, EndingDoesNotWaitForARunningCheck) {
    using Clock = std::chrono::steady_clock;
    const std::string hash14 = "$2y$14$CPVEN8yqc7xiaIwyi0y/XuaQN3ZeKB1a1oVSM9RBNt.Olq2T9P9ZO";
    auto check =
        std::make_unique<CredentialCheck>(std::map<std::string, std::string>{{"scraper", hash14}});
    ASSERT_TRUE(check->start());
    Clock::time_point begin = Clock::now();
    ASSERT_EQ(check->check("Basic c2NyYXBlcjp5", 1), CredentialCheck::Verdict::pending);
    ASSERT_EQ(verdicts(*check, 1), (Verdicts{{1, false}}));
    const auto one_check = Clock::now() - begin;
    ASSERT_EQ(check->check("Basic c2NyYXBlcjp4", 2), CredentialCheck::Verdict::pending);
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the worker has begun it
    begin = Clock::now();
    check.reset();
    EXPECT_LT(Clock::now() - begin, one_check / 4);
}

// A self-signed certificate for the names ("DNS:a,IP:10.0.0.1,..."), DER encoded.
std::string certificate(const std::string& names) {
    const TempDir dir;
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                                "-nodes -keyout /dev/null -subj /CN=t -outform DER -out " +
                                dir.file + " -addext 'subjectAltName=" + names + "' 2>/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    std::ifstream in(dir.file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A verified client certificate lets in only when one of its names is listed exactly (keys,
// suites and passphrases are rows of the end-to-end table of files).
TEST(TlsContextTest, AllowedNamesAreMatchedExactly) {
    const std::string client =
        certificate("DNS:a.example,IP:10.0.0.1,IP:::1,email:x@y.example,URI:spiffe://t/p");
    const std::vector<std::pair<std::vector<std::string>, bool>> sans = {
        {{"a.example"}, true},   {{"b.example", "10.0.0.1"}, true},  {{"::1"}, true},
        {{"x@y.example"}, true}, {{"spiffe://t/p"}, true},           {{"A.example"}, false},
        {{"a.example."}, false}, {{"10.0.0.2", "y.example"}, false}, {{}, false},
    };
    for (const auto& [allowed, found] : sans)
        EXPECT_EQ(certificate_has_san(client, allowed), found)
            << fmt::format("{}", fmt::join(allowed, ","));
    EXPECT_FALSE(certificate_has_san("not a certificate", {"a.example"}));
}

// A set refused for want of its certificate is loaded once the certificate is put in place; a
// change waits for a check that finds it as the last one did. Losing every user is said.
TEST(WebConfigReloaderTest, TheFilesOfARefusedSetAreWatched) {
    const TempDir dir;
    const std::string& path = dir.file;
    std::ofstream(path) << "basic_auth_users:\n  a: '" + kHash + "'\n";
    WebConfigReloader reloader(path, *load_web_settings(path).settings);
    LogCapture log;
    auto now = WebConfigReloader::Clock::now();
    const auto check = [&] { return reloader.poll(now += std::chrono::seconds(1)); };
    std::ofstream(path) << "tls_server_config:\n  cert_file: c.pem\n  key_file: k.pem\n";
    EXPECT_FALSE(check() || check() || check() || check()); // refused: no such file
    const std::string make = "cd " + dir.path +
                             " && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                             "-nodes -subj /CN=t -keyout k.pem -out c.pem 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    EXPECT_FALSE(check());
    EXPECT_TRUE(check() && reloader.current().tls && reloader.current().users.empty());
    EXPECT_NE(log.text().find(" reloaded without basic auth users (the running set had 1): new "
                              "connections are served without a password\n"),
              std::string::npos);
}

// A token bucket: burst requests at once, then one per interval.
TEST(RateLimitTest, BurstThenOnePerInterval) {
    const RateLimit::Clock::time_point t0{};
    RateLimit limit({std::chrono::seconds(1), 2}, t0);
    std::string got;
    for (const int ms : {0, 0, 0, 500, 999, 1000, 1001, 5000, 5000, 5000, 5000})
        got += limit.take(t0 + std::chrono::milliseconds(ms)) ? "+" : "-";
    EXPECT_EQ(got, "++---+-++--");
    RateLimit off;
    EXPECT_TRUE(off.take(t0));
}

} // namespace
} // namespace tarn
