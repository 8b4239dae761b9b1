#include "exporters/influx_writer.h"

#include "log_capture.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace tarn {
namespace {

using testing::LogCapture;

// Accepts one connection on 127.0.0.1, records the request and answers with a fixed status.
class OneShotResponder {
  public:
    explicit OneShotResponder(int status, int delay_ms = 0) {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listen_fd_, 4);
        socklen_t length = sizeof address;
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, status, delay_ms] { answer(status, delay_ms); });
    }
    ~OneShotResponder() {
        ::shutdown(listen_fd_, SHUT_RDWR);
        if (thread_.joinable())
            thread_.join();
        ::close(listen_fd_);
    }
    int port() const { return port_; }
    const std::string& request() const { return request_; }
    void wait() {
        if (thread_.joinable())
            thread_.join();
    }

  private:
    void answer(int status, int delay_ms) {
        const int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0)
            return;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            request_.append(buffer, static_cast<std::size_t>(n));
            const std::size_t end = request_.find("\r\n\r\n");
            if (end == std::string::npos)
                continue;
            const std::size_t length_at = request_.find("Content-Length: ");
            const std::size_t length =
                length_at == std::string::npos ? 0 : std::stoul(request_.substr(length_at + 16));
            if (request_.size() >= end + 4 + length)
                break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        const std::string response = "HTTP/1.1 " + std::to_string(status) +
                                     " X\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
        ::send(fd, response.data(), response.size(), MSG_NOSIGNAL);
        ::close(fd);
    }

    int listen_fd_ = -1;
    int port_ = 0;
    std::string request_;
    std::thread thread_;
};

int unused_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd); // nobody listens there now
    return ntohs(address.sin_port);
}

TEST(InfluxWriter, PostsOneLineWithCredentials) {
    OneShotResponder responder(204);
    InfluxWriter writer("tarn", "s3cret", "127.0.0.1:" + std::to_string(responder.port()), "db1");
    LogCapture log;
    EXPECT_EQ(writer.post("m,a=1 f=2 1000"), PostResult::accepted);
    responder.wait();
    const std::string& request = responder.request();
    EXPECT_EQ(request.rfind("POST /write?db=db1 HTTP/1.1\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("Authorization: Basic dGFybjpzM2NyZXQ=\r\n"), std::string::npos);
    EXPECT_NE(request.find("Content-Length: 14\r\n"), std::string::npos);
    EXPECT_EQ(request.substr(request.size() - 14), "m,a=1 f=2 1000");
    EXPECT_EQ(log.text(), "");
}

TEST(InfluxWriter, NonSuccessStatusIsLoggedWithTheCode) {
    for (const int status : {400, 401, 404, 500}) {
        OneShotResponder responder(status);
        InfluxWriter writer("u", "hunter2", "127.0.0.1:" + std::to_string(responder.port()), "d");
        LogCapture log;
        EXPECT_EQ(writer.post("m f=1 1"), PostResult::rejected); // an answer, if not a welcome one
        EXPECT_NE(log.text().find("Influx HTTP error: " + std::to_string(status)),
                  std::string::npos)
            << log.text();
        EXPECT_EQ(log.text().find("hunter2"), std::string::npos);
    }
}

TEST(InfluxWriter, TransportFailuresLogCurlText) {
    struct Case {
        std::string url;
        std::string text;
    };
    const Case cases[] = {
        {"127.0.0.1:" + std::to_string(unused_port()), "Couldn't connect to server"},
        {"no-such-host.invalid:8086", "Couldn't resolve host name"},
    };
    for (const Case& c : cases) {
        InfluxWriter writer("u", "hunter2", c.url, "d");
        LogCapture log;
        EXPECT_EQ(writer.post("m f=1 1"), PostResult::no_answer);
        EXPECT_NE(log.text().find("Influx POST failed: " + c.text), std::string::npos)
            << log.text();
        EXPECT_EQ(log.text().find("hunter2"), std::string::npos);
    }
}

TEST(InfluxWriter, SlowServerTimesOut) {
    OneShotResponder responder(204, 3000);
    InfluxWriter writer("u", "hunter2", "127.0.0.1:" + std::to_string(responder.port()), "d");
    LogCapture log;
    EXPECT_EQ(writer.post("m f=1 1"), PostResult::no_answer);
    EXPECT_NE(log.text().find("Influx POST failed: Timeout was reached"), std::string::npos)
        << log.text();
}

TEST(InfluxWriter, CredentialsCannotRedirectTheWrite) {
    OneShotResponder responder(204);
    // An '@' or '/' in the password must stay inside the credentials.
    InfluxWriter writer("a:b", "p@evil/x", "127.0.0.1:" + std::to_string(responder.port()), "d");
    EXPECT_EQ(writer.post("m f=1 1"), PostResult::accepted);
    responder.wait();
    // base64("a:b:p@evil/x")
    EXPECT_NE(responder.request().find("Authorization: Basic YTpiOnBAZXZpbC94\r\n"),
              std::string::npos)
        << responder.request();
}

TEST(EncodeUrlUserinfo, KeepsUnreservedOnly) {
    EXPECT_EQ(encode_url_userinfo("Az09-._~"), "Az09-._~");
    EXPECT_EQ(encode_url_userinfo("a@b:c/d%e f"), "a%40b%3Ac%2Fd%25e%20f");
    EXPECT_EQ(encode_url_userinfo("\xc3\xa9"), "%C3%A9");
}

} // namespace
} // namespace tarn
