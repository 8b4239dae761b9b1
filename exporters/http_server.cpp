#include "exporters/http_server.h"

#include "exporters/listen_address.h"
#include "platform/event_queue.h"
#include "platform/socket_options.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace tarn {
namespace {

constexpr int kListenBacklog = 16;
constexpr int kWaitMs = 1000; // the run flag is looked at least this often
constexpr auto kConnectionDeadline = std::chrono::seconds(8);
constexpr std::size_t kReceiveChunk = 4096;
constexpr std::size_t kMaxRequestBytes = 65536;
// Open connections at most; a new one past this closes the oldest that is still reading.
constexpr std::size_t kMaxConnections = 64;
// Accepts per wake-up at most, so that a flood of connections cannot starve the open ones.
constexpr int kAcceptBurst = static_cast<int>(kMaxConnections);

constexpr const char* kPlainText = "text/plain; charset=utf-8";
constexpr const char* kExposition = "text/plain; version=0.0.4; charset=utf-8";

using Clock = std::chrono::steady_clock;

bool would_block(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

// The open connections of one serve() run, in accept order: the first is the oldest. Each reads
// its request into its own buffer, is answered as soon as the request is over, and is written as
// far as its socket takes; the event loop brings it back when it can go on.
class Connections {
  public:
    Connections(int queue_fd, const RenderCallback& render)
        : queue_fd_(queue_fd), render_(render) {}
    ~Connections() {
        while (!open_.empty())
            drop(open_.size() - 1);
    }
    Connections(const Connections&) = delete;
    Connections& operator=(const Connections&) = delete;

    // Takes every pending connection (up to a burst), making room past the cap.
    void accept_pending(int listen_fd) {
        for (int i = 0; i < kAcceptBurst; ++i) {
            const int fd = accept_connection(listen_fd);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return; // none pending (EAGAIN), or out of descriptors: the next wake-up retries
            }
            if (open_.size() >= kMaxConnections && !close_oldest_reading()) {
                ::close(fd); // every slot is sending an answer: refuse this one
                continue;
            }
            prepare_accepted_socket(fd);
            if (!event_queue_watch(queue_fd_, fd, Interest::none, Interest::read)) {
                ::close(fd);
                continue;
            }
            Connection connection;
            connection.fd = fd;
            connection.deadline = Clock::now() + kConnectionDeadline;
            connection.watched = Interest::read;
            open_.push_back(std::move(connection));
        }
    }

    // An event for fd: reads on, answers a request that is over, or writes on.
    void progress(int fd) {
        const std::size_t index = find(fd);
        if (index == open_.size())
            return; // closed earlier in this pass
        Connection& connection = open_[index];
        if (!connection.answered) {
            const Read read = read_some(connection);
            if (read == Read::broken)
                drop(index);
            else if (read == Read::over)
                answer(index);
            return;
        }
        if (write_some(connection))
            drop(index);
    }

    // A connection still reading at its deadline is answered from what it has, as far as its
    // socket takes at once; one still sending is dropped.
    void expire(Clock::time_point now) {
        for (std::size_t index = open_.size(); index-- > 0;) {
            Connection& connection = open_[index];
            if (connection.deadline > now)
                continue;
            if (!connection.answered) {
                connection.response = answer_request(connection.request, render_);
                write_some(connection);
            }
            drop(index);
        }
    }

    // How long the loop may wait: until the first deadline, and never more than kWaitMs.
    int wait_ms(Clock::time_point now) const {
        auto wait = std::chrono::milliseconds(kWaitMs);
        for (const Connection& connection : open_)
            wait = std::min(wait, std::chrono::ceil<std::chrono::milliseconds>(std::max(
                                      connection.deadline - now, Clock::duration::zero())));
        return static_cast<int>(wait.count());
    }

  private:
    struct Connection {
        int fd = -1;
        Clock::time_point deadline;
        std::string request;
        Response response; // the whole answer once the request is over
        std::size_t sent = 0;
        bool answered = false;
        Interest watched = Interest::none;
    };

    enum class Read { more, over, broken };

    std::size_t find(int fd) const {
        std::size_t index = 0;
        while (index < open_.size() && open_[index].fd != fd)
            ++index;
        return index;
    }

    static Read read_some(Connection& connection) {
        char chunk[kReceiveChunk];
        for (;;) {
            const ssize_t received = ::recv(connection.fd, chunk, sizeof chunk, 0);
            if (received < 0) {
                if (errno == EINTR)
                    continue;
                return would_block(errno) ? Read::more : Read::broken;
            }
            if (received == 0)
                return Read::over; // the peer closed its side: answer what it sent
            connection.request.append(chunk, static_cast<std::size_t>(received));
            if (request_complete(connection.request))
                return Read::over;
        }
    }

    // True when the connection is done with: everything sent, or the peer is gone. The head and
    // the shared body go out together, from wherever the last call stopped.
    static bool write_some(Connection& connection) {
        const std::string& head = connection.response.head;
        const std::string_view body =
            connection.response.body ? *connection.response.body : std::string_view();
        const std::size_t total = head.size() + body.size();
        while (connection.sent < total) {
            iovec pieces[2];
            int count = 0;
            if (connection.sent < head.size())
                pieces[count++] = {const_cast<char*>(head.data()) + connection.sent,
                                   head.size() - connection.sent};
            const std::size_t body_sent =
                connection.sent > head.size() ? connection.sent - head.size() : 0;
            if (body_sent < body.size())
                pieces[count++] = {const_cast<char*>(body.data()) + body_sent,
                                   body.size() - body_sent};
            msghdr message{};
            message.msg_iov = pieces;
            message.msg_iovlen = count;
            const ssize_t result = ::sendmsg(connection.fd, &message, send_flags());
            if (result >= 0) {
                connection.sent += static_cast<std::size_t>(result);
                continue;
            }
            if (errno == EINTR)
                continue;
            return !would_block(errno);
        }
        return true;
    }

    void answer(std::size_t index) {
        Connection& connection = open_[index];
        connection.response = answer_request(connection.request, render_);
        std::string().swap(connection.request);
        connection.answered = true;
        if (write_some(connection)) {
            drop(index);
            return;
        }
        if (!event_queue_watch(queue_fd_, connection.fd, connection.watched, Interest::write)) {
            drop(index);
            return;
        }
        connection.watched = Interest::write;
    }

    bool close_oldest_reading() {
        for (std::size_t index = 0; index < open_.size(); ++index) {
            if (!open_[index].answered) {
                drop(index);
                return true;
            }
        }
        return false;
    }

    void drop(std::size_t index) {
        Connection& connection = open_[index];
        event_queue_watch(queue_fd_, connection.fd, connection.watched, Interest::none);
        ::close(connection.fd);
        open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(index));
    }

    int queue_fd_;
    const RenderCallback& render_;
    std::vector<Connection> open_;
};

} // namespace

namespace {

std::string build_head(int status, const std::string& reason, const std::string& content_type,
                       std::size_t body_size) {
    std::string head = fmt::format("HTTP/1.1 {} {}\r\n", status, reason);
    head += fmt::format("Content-Type: {}\r\n", content_type);
    head += fmt::format("Content-Length: {}\r\n", body_size);
    head += "Connection: close\r\n\r\n";
    return head;
}

Response plain_response(int status, const std::string& reason, const std::string& body) {
    return {build_head(status, reason, kPlainText, body.size()),
            std::make_shared<const std::string>(body)};
}

} // namespace

std::string build_response(int status, const std::string& reason, const std::string& content_type,
                           const std::string& body) {
    return build_head(status, reason, content_type, body.size()) + body;
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

Response answer_request(std::string_view request, const RenderCallback& render) {
    const RequestLine line = parse_request_line(request);
    if (line.method != "GET")
        return plain_response(405, "Method Not Allowed", "405 Method Not Allowed\n");
    if (line.path != "/metrics")
        return plain_response(404, "Not Found", "404 Not Found\n");
    try {
        Document body = render();
        const std::size_t size = body ? body->size() : 0;
        return {build_head(200, "OK", kExposition, size), std::move(body)};
    } catch (const std::exception& error) {
        spdlog::error("Rendering the scrape failed: {}", error.what());
    } catch (...) {
        spdlog::error("Rendering the scrape failed: unknown error");
    }
    return plain_response(500, "Internal Server Error", "500 Internal Server Error\n");
}

std::string respond_to_request(std::string_view request, const RenderCallback& render) {
    Response response = answer_request(request, render);
    if (response.body)
        response.head += *response.body;
    return std::move(response.head);
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
    const std::optional<ListenAddress> split = split_listen_address(listen_address_);
    if (!split) {
        spdlog::error("invalid listen address '{}', expected ADDR:PORT", listen_address_);
        return false;
    }
    const std::string& host = split->host;
    const std::string& port = split->port;

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
    // Non-blocking, so that accepting every pending connection ends when none is left.
    ::fcntl(listen_fd_, F_SETFL, ::fcntl(listen_fd_, F_GETFL) | O_NONBLOCK);
    kqueue_fd_ = event_queue_create();
    if (kqueue_fd_ < 0) {
        spdlog::error("kqueue() failed");
        return false;
    }
    if (!event_queue_watch(kqueue_fd_, listen_fd_, Interest::none, Interest::read)) {
        spdlog::error("kevent register failed");
        return false;
    }
    return true;
}

int HttpServer::serve() {
    Connections connections(kqueue_fd_, render_);
    std::array<int, kMaxConnections + 1> ready{};
    while (running(*run_flag_)) {
        const EventWaitResult waited =
            event_queue_wait(kqueue_fd_, ready, connections.wait_ms(Clock::now()));
        if (waited.outcome == EventWait::failed) {
            spdlog::error("kevent wait failed");
            return 1;
        }
        // The open connections go first: one whose request has come is answered rather than
        // closed to make room for a newcomer.
        bool pending = false;
        for (int i = 0; i < waited.count; ++i) {
            const int fd = ready[static_cast<std::size_t>(i)];
            if (fd == listen_fd_)
                pending = true;
            else
                connections.progress(fd);
        }
        if (pending)
            connections.accept_pending(listen_fd_);
        connections.expire(Clock::now());
    }
    return 0; // every open connection is closed on the way out
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
