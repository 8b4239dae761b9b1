#include "exporters/http_server.h"

#include "platform/event_queue.h"
#include "platform/socket_options.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <exception>

namespace tarn {
namespace {

constexpr int kListenBacklog = 16;
constexpr int kWaitSeconds = 1;
constexpr int kSocketTimeoutSeconds = 2;
constexpr auto kConnectionDeadline = std::chrono::seconds(8);
constexpr std::size_t kReceiveChunk = 4096;
constexpr std::size_t kMaxRequestBytes = 65536;

constexpr const char* kPlainText = "text/plain; charset=utf-8";
constexpr const char* kExposition = "text/plain; version=0.0.4; charset=utf-8";

void set_socket_timeouts(int fd) {
    timeval timeout{};
    timeout.tv_sec = kSocketTimeoutSeconds;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

bool deadline_passed(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::steady_clock::now() >= deadline;
}

std::string read_request(int fd, std::chrono::steady_clock::time_point deadline) {
    std::string buffer;
    char chunk[kReceiveChunk];
    for (;;) {
        const ssize_t received = ::recv(fd, chunk, sizeof chunk, 0);
        if (received < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                if (deadline_passed(deadline))
                    break;
                continue;
            }
            break;
        }
        if (received == 0)
            break;
        buffer.append(chunk, static_cast<std::size_t>(received));
        if (request_complete(buffer) || deadline_passed(deadline))
            break;
    }
    return buffer;
}

void send_response(int fd, const std::string& response,
                   std::chrono::steady_clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < response.size()) {
        const ssize_t result =
            ::send(fd, response.data() + sent, response.size() - sent, send_flags());
        if (result >= 0) {
            if (deadline_passed(deadline))
                return;
            sent += static_cast<std::size_t>(result);
            continue;
        }
        if (errno == EINTR)
            continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && !deadline_passed(deadline))
            continue;
        return;
    }
}

} // namespace

std::string build_response(int status, const std::string& reason, const std::string& content_type,
                           const std::string& body) {
    std::string response = fmt::format("HTTP/1.1 {} {}\r\n", status, reason);
    response += fmt::format("Content-Type: {}\r\n", content_type);
    response += fmt::format("Content-Length: {}\r\n", body.size());
    response += "Connection: close\r\n\r\n";
    response += body;
    return response;
}

RequestLine parse_request_line(std::string_view request) {
    const std::string_view line = request.substr(0, request.find("\r\n"));
    const std::size_t space = line.find(' ');
    RequestLine parsed;
    parsed.method = line.substr(0, space);
    if (space == std::string_view::npos)
        return parsed;
    std::string_view target = line.substr(space + 1);
    target = target.substr(0, target.find(' '));
    parsed.path = target.substr(0, target.find('?'));
    return parsed;
}

bool request_complete(std::string_view buffer) {
    return buffer.find("\r\n\r\n") != std::string_view::npos || buffer.size() > kMaxRequestBytes;
}

std::string respond_to_request(std::string_view request, const RenderCallback& render) {
    const RequestLine line = parse_request_line(request);
    if (line.method != "GET")
        return build_response(405, "Method Not Allowed", kPlainText, "405 Method Not Allowed\n");
    if (line.path != "/metrics")
        return build_response(404, "Not Found", kPlainText, "404 Not Found\n");
    try {
        return build_response(200, "OK", kExposition, render());
    } catch (const std::exception& error) {
        spdlog::error("Rendering the scrape failed: {}", error.what());
    } catch (...) {
        spdlog::error("Rendering the scrape failed: unknown error");
    }
    return build_response(500, "Internal Server Error", kPlainText, "500 Internal Server Error\n");
}

HttpServer::HttpServer(std::string listen_address, RenderCallback render, const RunFlag* run_flag)
    : listen_address_(std::move(listen_address)), render_(std::move(render)), run_flag_(run_flag) {}

HttpServer::~HttpServer() {
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
    if (kqueue_fd_ >= 0)
        ::close(kqueue_fd_);
}

bool HttpServer::start() {
    const std::size_t colon = listen_address_.rfind(':');
    if (colon == std::string::npos) {
        spdlog::error("invalid listen address '{}', expected ADDR:PORT", listen_address_);
        return false;
    }
    const std::string host = listen_address_.substr(0, colon);
    const std::string port = listen_address_.substr(colon + 1);

    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = AF_UNSPEC;
    addrinfo* results = nullptr;
    const int gai =
        ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &results);
    if (gai != 0) {
        spdlog::error("getaddrinfo({}): {}", listen_address_, ::gai_strerror(gai));
        return false;
    }
    for (addrinfo* result = results; result != nullptr; result = result->ai_next) {
        const int fd =
            open_stream_socket(result->ai_family, result->ai_socktype, result->ai_protocol);
        if (fd < 0)
            continue;
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, result->ai_addr, result->ai_addrlen) == 0) {
            listen_fd_ = fd;
            break;
        }
        ::close(fd);
    }
    ::freeaddrinfo(results);
    if (listen_fd_ < 0) {
        spdlog::error("cannot bind to {}", listen_address_);
        return false;
    }
    if (::listen(listen_fd_, kListenBacklog) != 0) {
        spdlog::error("listen failed on {}", listen_address_);
        return false;
    }
    kqueue_fd_ = event_queue_create();
    if (kqueue_fd_ < 0) {
        spdlog::error("kqueue() failed");
        return false;
    }
    if (!event_queue_add_read(kqueue_fd_, listen_fd_)) {
        spdlog::error("kevent register failed");
        return false;
    }
    return true;
}

int HttpServer::serve() {
    do {
        const EventWaitResult waited = event_queue_wait_one(kqueue_fd_, kWaitSeconds);
        if (waited.outcome == EventWait::failed) {
            spdlog::error("kevent wait failed");
            return 1;
        }
        if (waited.outcome != EventWait::ready || waited.fd != listen_fd_)
            continue;
        const int fd = accept_connection(listen_fd_);
        if (fd < 0)
            continue;
        handle_connection(fd);
        ::close(fd);
    } while (running(*run_flag_));
    return 0;
}

void HttpServer::handle_connection(int fd) {
    set_socket_timeouts(fd);
    prepare_accepted_socket(fd);
    const auto deadline = std::chrono::steady_clock::now() + kConnectionDeadline;
    const std::string request = read_request(fd, deadline);
    send_response(fd, respond_to_request(request, render_), deadline);
}

int HttpServer::local_port() const {
    if (listen_fd_ < 0)
        return 0;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

} // namespace tarn
