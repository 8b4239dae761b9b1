#include "exporters/web/credential_check.h"
#include "exporters/web/http_server.h"
#include "exporters/web/listen_address.h"
#include "exporters/web/request_headers.h"
#include "exporters/web/web_config.h"

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
        {"[::1]:9273", "::1|9273"},
        {"[::]:1", "::|1"},
        {"[]:1", "-"},
        {"[::1]", "-"},
        {"[::1:1", "-"},
        {"::1]:1", "-"},
        {"[::1]9273", "-"},
    };
    for (const auto& [text, expected] : cases) {
        const auto split = split_listen_address(text);
        EXPECT_EQ(split ? split->host + "|" + split->port : "-", expected) << text;
    }
    std::string why;
    split_listen_address("h:70000", &why);
    EXPECT_EQ(why, "the port must be from 1 to 65535");
    // Only these keep the plain scrape on this machine; the others earn a warning at start-up.
    for (const auto& [host, loopback] :
         std::vector<std::pair<std::string, bool>>{{"localhost", true},
                                                   {"127.0.0.1", true},
                                                   {"127.255.0.9", true},
                                                   {"::1", true},
                                                   {"::ffff:127.0.0.1", true},
                                                   {"", false},
                                                   {"0.0.0.0", false},
                                                   {"::", false},
                                                   {"128.0.0.1", false},
                                                   {"::ffff:10.0.0.1", false},
                                                   {"host.example", false}})
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
    // The gzip form only where the request allows it and the server offers it.
    const RenderCallback packed = [] { return std::make_shared<const std::string>("gz"); };
    const std::string gzipped = "HTTP/1.1 200 OK\r\nContent-Type: " + kExposition +
                                "\r\nContent-Length: 2\r\nContent-Encoding: gzip\r\n"
                                "Connection: close\r\n\r\ngz";
    const std::vector<std::tuple<std::string, RenderCallback, std::string>> encodings = {
        {"GET /metrics HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n", packed, gzipped},
        {"GET /metrics HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n", nullptr, kOk},
        {"GET /metrics HTTP/1.1\r\nAccept-Encoding: gzip;q=0\r\n\r\n", packed, kOk},
        {"GET /metrics HTTP/1.1\r\n\r\nAccept-Encoding: gzip\r\n", packed, kOk},
        {"GET /metric HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n", packed, kNotFound},
    };
    for (const auto& [request, gzip, response] : encodings)
        EXPECT_EQ(respond_to_request(request, render, gzip), response) << request;
    const Response refused = unauthorized_response();
    EXPECT_EQ(refused.head + *refused.body,
              "HTTP/1.1 401 Unauthorized\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 17\r\nWWW-Authenticate: Basic realm=\"tarn-vm-perfdata\"\r\n"
              "Connection: close\r\n\r\n401 Unauthorized\n");
    EXPECT_EQ(refused.status, 401);
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
TEST(RequestHeadersTest, AcceptEncodingAllowsGzip) {
    const std::vector<std::pair<std::optional<std::string_view>, bool>> cases = {
        {std::nullopt, false},
        {"", false},
        {"gzip", true},
        {"GZip", true},
        {"x-gzip", true},
        {"deflate, gzip;q=1.0, *;q=0.5", true},
        {"br;q=1.0, gzip;q=0.8, *;q=0.1", true},
        {"gzip;q=0", false},
        {"gzip; q=0.000", false},
        {"gzip;q=0.001", true},
        {"*", true},
        {"*;q=0", false},
        {"*, gzip;q=0", false},
        {"identity", false},
        {"identity;q=0, gzip", true},
        {"identity, gzip;q=0.5", false},
        {"identity;q=0.5, gzip;q=0.5", true},
        {"gzip;q=2", false},
        {"gzip;q=1.5", false},
        {"gzip;q=abc", false},
        {"gzip;level=9", true},
        {"gzipx, deflate", false},
        {" , ,gzip , ", true},
    };
    for (const auto& [value, gzip] : cases)
        EXPECT_EQ(accepts_gzip(value), gzip) << value.value_or("(absent)");
}

TEST(RequestHeadersTest, HeaderFieldsAndBasicCredentials) {
    const std::string request =
        "GET /metrics HTTP/1.1\r\nHost: h\r\nauthorization:  Basic eDp5 \r\n"
        "Accept-Encoding:\r\nAuthorization: Basic other\r\n\r\nX: body\r\n";
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"Authorization", "Basic eDp5"},
        {"ACCEPT-ENCODING", ""},
        {"Host", "h"},
        {"X", "(absent)"},
        {"GET /metrics HTTP/1.1\r\nHost", "(absent)"},
        {"Accept", "(absent)"}};
    for (const auto& [name, value] : fields)
        EXPECT_EQ(header_value(request, name).value_or("(absent)"), value) << name;
    EXPECT_FALSE(header_value("GET / HTTP/1.1\r\nHost: cut off", "Host"));
    EXPECT_FALSE(header_value("GET / HTTP/1.1\r\nX: 1\nHost: a\r\n\r\n", "Host"));
    EXPECT_FALSE(header_value("GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", "Host"));
    EXPECT_EQ(header_value("GET / HTTP/1.1\r\nHost: a\r\n", "Host").value_or(""), "a");

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Basic c2NyYXBlcjpyaWdodCBob3JzZQ==", "scraper|right horse"},
        {"basic   YTpiOmM=", "a|b:c"},
        {"BASIC Og==", "|"},
        {"Basic w6k6w6k=", "\xc3\xa9|\xc3\xa9"},
        {"Basic YTpi", "a|b"},
        {"Basic YWI=", "-"},      // no ':'
        {"Basic YTpiYw", "-"},    // unpadded
        {"Basic YTpiYx==", "-"},  // bits under the padding
        {"Basic YTpi=Yw==", "-"}, // padding inside
        {"Basic YTp!", "-"},
        {"Bearer YTpi", "-"},
        {"Basic", "-"},
        {"BasicYTpi", "-"},
        {"", "-"},
    };
    for (const auto& [value, expected] : cases) {
        const auto credentials = parse_basic_authorization(value);
        EXPECT_EQ(credentials ? credentials->user + "|" + credentials->password : "-", expected)
            << value;
    }
}

const std::string kHash = "$2y$04$ARL5jO7cXTKZFFjmOWjkIONhlX969pkEhdda1sXgl7ERZ287XMMtm";

// Each web config text gives its settings or one error naming the file and the key.
TEST(WebConfigTest, SettingsAndErrorsOfFiles) {
    const auto shown = [](const WebConfigResult& result) {
        if (!result.config)
            return result.error;
        const WebConfig& c = *result.config;
        std::string out =
            c.tls ? fmt::format("tls {} {} {} {} {}-{}", c.tls->cert_file, c.tls->key_file,
                                static_cast<int>(c.tls->client_auth), c.tls->client_ca_file,
                                static_cast<int>(c.tls->min_version),
                                static_cast<int>(c.tls->max_version))
                  : "plain";
        for (const auto& [user, hash] : c.users)
            out += " " + user + (hash == kHash ? "=h" : "=?");
        return out;
    };
    const std::string tls = "tls_server_config:\n  cert_file: c.pem\n  key_file: /k.pem\n";
    const std::string e = "Web config /etc/t/w.yml: ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "plain"},
        {"# nothing\n", "plain"},
        {"tls_server_config:\nbasic_auth_users: {}\n", "plain"},
        {tls, "tls /etc/t/c.pem /k.pem 0  0-1"},
        {tls + "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: ca/ca.pem\n"
               "  min_version: TLS13\n",
         "tls /etc/t/c.pem /k.pem 1 /etc/t/ca/ca.pem 1-1"},
        {tls + "  client_auth_type: NoClientCert\n  max_version: TLS12\n",
         "tls /etc/t/c.pem /k.pem 0  0-0"},
        {"basic_auth_users:\n  scraper: " + kHash + "\n  'b c': '" + kHash + "'\n",
         "plain b c=h scraper=h"},
        {"- a\n", e + "(top level): expected a mapping of keys"},
        {"tls_server_config: [a]\n", e + "tls_server_config: expected a mapping of keys"},
        {"web_listen_address: x\n", e + "web_listen_address: unknown key"},
        {"http_server_config:\n  http2: false\n", e + "http_server_config: unknown key"},
        {tls + "  cipher_suites: [TLS_AES_128_GCM_SHA256]\n",
         e + "tls_server_config.cipher_suites: unknown key"},
        {"tls_server_config:\n  key_file: k\n", e + "tls_server_config.cert_file: missing"},
        {"tls_server_config:\n  cert_file: c\n", e + "tls_server_config.key_file: missing"},
        {"tls_server_config:\n  cert_file: ''\n  key_file: k\n",
         e + "tls_server_config.cert_file: empty file name"},
        {"tls_server_config:\n  cert_file: [a, b]\n  key_file: k\n",
         e + "tls_server_config.cert_file: expected a single text value"},
        {tls + "  client_auth_type: RequireAnyClientCert\n",
         e + "tls_server_config.client_auth_type: 'RequireAnyClientCert' is not NoClientCert or "
             "RequireAndVerifyClientCert"},
        {tls + "  client_auth_type: RequireAndVerifyClientCert\n",
         e + "tls_server_config.client_ca_file: missing, and RequireAndVerifyClientCert needs it"},
        {tls + "  client_ca_file: ca.pem\n",
         e + "tls_server_config.client_auth_type: client_ca_file is given but no client "
             "certificate is asked for"},
        {tls + "  min_version: TLS11\n",
         e + "tls_server_config.min_version: 'TLS11' is not TLS12 or TLS13"},
        {tls + "  min_version: TLS13\n  max_version: TLS12\n",
         e + "tls_server_config.min_version: above max_version"},
        {"basic_auth_users: [a]\n",
         e + "basic_auth_users: expected a mapping of user names to bcrypt hashes"},
        {"basic_auth_users:\n  a: secret\n",
         e + "basic_auth_users.a: not a bcrypt hash ($2a$, $2b$ or $2y$, as htpasswd -B makes)"},
        {"basic_auth_users:\n  a: '$1$abc$def'\n",
         e + "basic_auth_users.a: not a bcrypt hash ($2a$, $2b$ or $2y$, as htpasswd -B makes)"},
        {"basic_auth_users:\n  a:\n", e + "basic_auth_users.a: expected a single text value"},
        {"basic_auth_users:\n  'a:b': '" + kHash + "'\n",
         e + "basic_auth_users.a:b: a user name cannot hold ':'"},
        {"basic_auth_users:\n  '': '" + kHash + "'\n",
         e + "basic_auth_users: a user name must be a non-empty text"},
        {"tls_server_config:\n  cert_file: [\n",
         e + "line 3, column 1: end of sequence flow not found"},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(shown(parse_web_config(text, "/etc/t/w.yml")), expected) << text;
    EXPECT_EQ(read_web_config("/nonexistent/w.yml").error,
              "Web config /nonexistent/w.yml: (file): cannot read it: No such file or directory");
    EXPECT_EQ(read_web_config("/tmp").error, "Web config /tmp: (file): not a regular file");

    const std::vector<std::pair<std::string, bool>> hashes = {
        {kHash, true},
        {"$2a$31$" + kHash.substr(7), true},
        {"$2b$10$" + kHash.substr(7), true},
        {"$2x$10$" + kHash.substr(7), false},
        {"$2y$03$" + kHash.substr(7), false},
        {"$2y$32$" + kHash.substr(7), false},
        {"$2y$1a$" + kHash.substr(7), false},
        {kHash.substr(0, 59), false},
        {kHash + "x", false},
        {kHash.substr(0, 59) + "!", false},
    };
    for (const auto& [hash, valid] : hashes)
        EXPECT_EQ(is_bcrypt_hash(hash), valid) << hash;
}

// Waits for verdicts from the worker until `count` have come or a few seconds passed.
std::map<std::uint64_t, bool> verdicts(CredentialCheck& check, std::size_t count) {
    std::map<std::uint64_t, bool> got;
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
    EXPECT_EQ(check.check(std::nullopt, 1), V::refused);
    EXPECT_EQ(check.check("Basic !!!!", 2), V::refused);
    EXPECT_EQ(check.check("Bearer c2NyYXBlcjpyaWdodCBob3JzZQ==", 3), V::refused);
    EXPECT_EQ(check.check(right, 10), V::pending);
    EXPECT_EQ(check.check(right, 11), V::pending);
    EXPECT_EQ(check.check(wrong, 12), V::pending);
    EXPECT_EQ(check.check(stranger, 13), V::pending);
    EXPECT_EQ(check.check(wrong, 14), V::pending);
    check.cancel(14);
    check.cancel(99); // unknown: nothing happens
    EXPECT_EQ(verdicts(check, 4),
              (std::map<std::uint64_t, bool>{{10, true}, {11, true}, {12, false}, {13, false}}));
    EXPECT_EQ(check.check(right, 20), V::allowed);
    EXPECT_EQ(check.check(wrong, 21), V::refused);
    EXPECT_EQ(check.check(stranger, 22), V::refused);
    // A check nobody waits for any longer is dropped: no verdict comes for it.
    EXPECT_EQ(check.check("Basic c2NyYXBlcjp4", 30), V::pending); // scraper:x
    check.cancel(30);
    EXPECT_EQ(check.check("Basic c2NyYXBlcjp5", 31), V::pending); // scraper:y
    EXPECT_EQ(verdicts(check, 1), (std::map<std::uint64_t, bool>{{31, false}}));
}

} // namespace
} // namespace tarn
