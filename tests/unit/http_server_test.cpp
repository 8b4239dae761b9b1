#include "exporters/http_server.h"

#include "open_descriptors.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tarn {
namespace {

const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; "
                        "charset=utf-8\r\nContent-Length: 5\r\nConnection: close\r\n\r\nm 1\n\n";
const std::string kNotFound = "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain; "
                              "charset=utf-8\r\nContent-Length: 14\r\nConnection: "
                              "close\r\n\r\n404 Not Found\n";
const std::string kNotAllowed = "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; "
                                "charset=utf-8\r\nContent-Length: 23\r\nConnection: "
                                "close\r\n\r\n405 Method Not Allowed\n";
const std::string kFailed = "HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/plain; "
                            "charset=utf-8\r\nContent-Length: 26\r\nConnection: "
                            "close\r\n\r\n500 Internal Server Error\n";

TEST(BuildResponse, ConcatenatesStatusHeadersAndBody) {
    EXPECT_EQ(build_response(404, "Not Found", "text/plain; charset=utf-8", "404 Not Found\n"),
              kNotFound);
    EXPECT_EQ(build_response(200, "OK", "a/b", ""),
              "HTTP/1.1 200 OK\r\nContent-Type: a/b\r\nContent-Length: 0\r\nConnection: "
              "close\r\n\r\n");
}

TEST(ParseRequestLine, SplitsMethodAndPath) {
    struct Case {
        std::string request, method, path;
    };
    const std::vector<Case> cases = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "GET", "/metrics"},
        {"GET /metrics?name=x HTTP/1.1\r\n\r\n", "GET", "/metrics"},
        {"GET /metrics", "GET", "/metrics"},
        {"GET", "GET", ""},
        {"", "", ""},
        {"POST /a?b HTTP/1.0", "POST", "/a"},
        {"GET  /metrics HTTP/1.1", "GET", ""},
        {"GET /x\r\nGET /metrics HTTP/1.1\r\n\r\n", "GET", "/x"},
    };
    for (const Case& c : cases) {
        const RequestLine line = parse_request_line(c.request);
        EXPECT_EQ(line.method, c.method) << c.request;
        EXPECT_EQ(line.path, c.path) << c.request;
    }
}

TEST(RequestComplete, HeaderEndOrSizeCap) {
    EXPECT_FALSE(request_complete("GET /metrics HTTP/1.1\r\n"));
    EXPECT_TRUE(request_complete("GET /metrics HTTP/1.1\r\n\r\n"));
    EXPECT_FALSE(request_complete(std::string(65536, 'a')));
    EXPECT_TRUE(request_complete(std::string(65537, 'a')));
}

TEST(RespondToRequest, ChoosesTheAnswer) {
    const RenderCallback render = [] { return std::make_shared<const std::string>("m 1\n\n"); };
    struct Case {
        std::string request, response;
    };
    const std::vector<Case> cases = {
        {"GET /metrics HTTP/1.1\r\n\r\n", kOk},
        {"GET /metrics?name=x HTTP/1.1\r\n\r\n", kOk},
        {"GET /metrics/ HTTP/1.1\r\n\r\n", kNotFound},
        {"GET /Metrics HTTP/1.1\r\n\r\n", kNotFound},
        {"GET / HTTP/1.1\r\n\r\n", kNotFound},
        {"GET", kNotFound},
        {"POST /metrics HTTP/1.1\r\n\r\n", kNotAllowed},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", kNotAllowed},
        {"get /metrics HTTP/1.1\r\n\r\n", kNotAllowed},
        {"", kNotAllowed},
    };
    for (const Case& c : cases)
        EXPECT_EQ(respond_to_request(c.request, render), c.response) << c.request;
}

TEST(RespondToRequest, ThrowingRenderGives500) {
    const RenderCallback bad_alloc = []() -> Document { throw std::bad_alloc(); };
    const RenderCallback odd = []() -> Document { throw 42; };
    EXPECT_EQ(respond_to_request("GET /metrics HTTP/1.1\r\n\r\n", bad_alloc), kFailed);
    EXPECT_EQ(respond_to_request("GET /metrics HTTP/1.1\r\n\r\n", odd), kFailed);
    // Only the scrape renders; other answers never reach the callback.
    EXPECT_EQ(respond_to_request("GET / HTTP/1.1\r\n\r\n", bad_alloc), kNotFound);
}

// A server on an ephemeral loopback port, served on its own thread until the test ends.
class ServingServer {
  public:
    explicit ServingServer(RenderCallback render, std::string address = "127.0.0.1:0")
        : server_(std::move(address), std::move(render), &flag_) {
        started_ = server_.start();
        if (started_)
            thread_ = std::thread([this] { result_ = server_.serve(); });
    }
    ~ServingServer() { stop(); }

    int stop() {
        flag_.store(0);
        if (thread_.joinable())
            thread_.join();
        return result_;
    }
    bool started() const { return started_; }
    int port() const { return server_.local_port(); }

  private:
    RunFlag flag_{1};
    HttpServer server_;
    bool started_ = false;
    int result_ = -1;
    std::thread thread_;
};

int connect_to(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string read_all(int fd) {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
        out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

std::string exchange(int port, const std::vector<std::string>& segments) {
    const int fd = connect_to(port);
    if (fd < 0)
        return "connect failed";
    for (const std::string& segment : segments) {
        ::send(fd, segment.data(), segment.size(), MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::string out = read_all(fd);
    ::close(fd);
    return out;
}

TEST(HttpServer, AnswersOverRealSockets) {
    ServingServer server([] { return std::make_shared<const std::string>("m 1\n\n"); });
    ASSERT_TRUE(server.started());
    EXPECT_EQ(exchange(server.port(), {"GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n"}), kOk);
    EXPECT_EQ(exchange(server.port(), {"GET /Metrics HTTP/1.1\r\n\r\n"}), kNotFound);
    EXPECT_EQ(exchange(server.port(), {"POST /metrics HTTP/1.1\r\n\r\n"}), kNotAllowed);

    std::vector<std::string> pieces;
    for (char c : std::string("GET /metrics?x=1 HTTP/1.1\r\nHost: a\r\n\r\n"))
        pieces.emplace_back(1, c);
    EXPECT_EQ(exchange(server.port(), pieces), kOk);
    EXPECT_EQ(server.stop(), 0);
}

TEST(HttpServer, EmptyStoreGivesZeroLength) {
    ServingServer server([] { return Document(); });
    ASSERT_TRUE(server.started());
    EXPECT_EQ(exchange(server.port(), {"GET /metrics HTTP/1.1\r\n\r\n"}),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; "
              "charset=utf-8\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
}

TEST(HttpServer, ClientClosingWithoutRequestGets405AndServingGoesOn) {
    ServingServer server([] { return std::make_shared<const std::string>("m 1\n\n"); });
    ASSERT_TRUE(server.started());
    const int fd = connect_to(server.port());
    ASSERT_GE(fd, 0);
    ::shutdown(fd, SHUT_WR);
    EXPECT_EQ(read_all(fd), kNotAllowed);
    ::close(fd);
    EXPECT_EQ(exchange(server.port(), {"GET /metrics HTTP/1.1\r\n\r\n"}), kOk);
}

TEST(HttpServer, OversizedRequestAnsweredFromItsFirstLine) {
    ServingServer server([] { return std::make_shared<const std::string>("m 1\n\n"); });
    ASSERT_TRUE(server.started());
    const std::string request = "GET /nothing HTTP/1.1\r\nX: " + std::string(70000, 'a');
    EXPECT_EQ(exchange(server.port(), {request}), kNotFound);
}

TEST(HttpServer, ThrowingRenderKeepsServing) {
    std::atomic<int> calls{0};
    ServingServer server([&calls]() -> Document {
        if (calls++ == 0)
            throw std::runtime_error("out of memory");
        return std::make_shared<const std::string>("m 1\n\n");
    });
    ASSERT_TRUE(server.started());
    EXPECT_EQ(exchange(server.port(), {"GET /metrics HTTP/1.1\r\n\r\n"}), kFailed);
    EXPECT_EQ(exchange(server.port(), {"GET /metrics HTTP/1.1\r\n\r\n"}), kOk);
}

TEST(HttpServer, VanishedClientDoesNotKillTheProcess) {
    const Document big = std::make_shared<const std::string>(4 * 1024 * 1024, 'x');
    ServingServer server([&big] { return big; });
    ASSERT_TRUE(server.started());
    for (int i = 0; i < 3; ++i) {
        const int fd = connect_to(server.port());
        ASSERT_GE(fd, 0);
        const std::string request = "GET /metrics HTTP/1.1\r\n\r\n";
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        linger reset{1, 0}; // close with RST while the server is still sending
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }
    EXPECT_EQ(exchange(server.port(), {"GET / HTTP/1.1\r\n\r\n"}), kNotFound);
}

// Nothing has come on fd yet, and the server has not closed it either.
bool still_waiting(int fd) {
    char byte;
    return ::recv(fd, &byte, 1, MSG_DONTWAIT) < 0 && errno == EAGAIN;
}

TEST(HttpServer, IdleConnectionsDelayNoScrapeAndTheOldestMakesRoom) {
    ServingServer server([] { return std::make_shared<const std::string>("m 1\n\n"); });
    ASSERT_TRUE(server.started());
    const int before = testing::open_descriptors();
    // As many connections that send nothing as the cap allows; the scrape after them is one
    // too many.
    std::vector<int> idle;
    for (int i = 0; i < 64; ++i) {
        idle.push_back(connect_to(server.port()));
        ASSERT_GE(idle.back(), 0);
        // Answered while the idle ones wait, and it makes sure they come in this order.
        if (i < 63) {
            EXPECT_EQ(exchange(server.port(), {"GET / HTTP/1.1\r\n\r\n"}), kNotFound);
        }
    }
    EXPECT_EQ(exchange(server.port(), {"GET /metrics HTTP/1.1\r\n\r\n"}), kOk);
    // The oldest idle one was closed without an answer to make room.
    EXPECT_EQ(read_all(idle[0]), "");
    for (std::size_t i = 1; i < idle.size(); ++i)
        EXPECT_TRUE(still_waiting(idle[i])) << i;
    EXPECT_EQ(server.stop(), 0);
    for (const int fd : idle) {
        EXPECT_EQ(read_all(fd), "") << "closed unanswered on stop";
        ::close(fd);
    }
    EXPECT_EQ(testing::open_descriptors(), before);
}

TEST(HttpServer, StartFailures) {
    RunFlag flag{1};
    const std::vector<std::string> bad = {"127.0.0.1", "no.such.host.invalid:1",
                                          "127.0.0.1:notaport"};
    for (const std::string& address : bad) {
        HttpServer server(
            address, [] { return Document(); }, &flag);
        EXPECT_FALSE(server.start()) << address;
    }
    HttpServer first(
        "127.0.0.1:0", [] { return Document(); }, &flag);
    ASSERT_TRUE(first.start());
    HttpServer second(
        "127.0.0.1:" + std::to_string(first.local_port()), [] { return Document(); }, &flag);
    EXPECT_FALSE(second.start());
}

TEST(HttpServer, IPv6WithoutBrackets) {
    RunFlag flag{1};
    HttpServer server(
        "::1:0", [] { return Document(); }, &flag);
    if (!server.start())
        GTEST_SKIP() << "no IPv6 loopback here";
    EXPECT_GT(server.local_port(), 0);
}

} // namespace
} // namespace tarn
