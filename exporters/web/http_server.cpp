#include "exporters/web/http_server.h"

#include "exporters/web/http_connection.h"
#include "exporters/web/listen_address.h"
#include "exporters/web/request_headers.h"
#include "metrics/health_figures.h"
#include "platform/event_queue.h"
#include "platform/socket_options.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace tarn {
namespace {

// Room for connections past the queue when the server is busy; the system clamps it to its own
// maximum (SOMAXCONN), which is no lower on the platforms served.
constexpr int kListenBacklog = 128;
constexpr int kWaitMs = 1000; // the run flag is looked at least this often
constexpr auto kConnectionDeadline = std::chrono::seconds(8);
constexpr std::size_t kMaxRequestBytes = 65536;
// Open connections at most, each until its peer has the whole answer or its deadline passes; a
// new one past this closes the one open longest.
constexpr std::size_t kMaxConnections = 64;
// The cap closes no connection younger than this: it has barely had time to be answered.
constexpr auto kYoungestClosed = std::chrono::milliseconds(250);
// Accepts per wake-up at most, so that a flood of connections cannot starve the open ones.
constexpr int kAcceptBurst = static_cast<int>(kMaxConnections);
// After accept ran out of descriptors: how long the listening socket is left alone, unless a
// connection closes first.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// How often a connection whose peer has closed is asked whether its answer is delivered.
constexpr auto kDeliveryPoll = std::chrono::milliseconds(20);
// On stop, answers under way get this long in all to go out.
constexpr auto kStopGrace = std::chrono::seconds(1);

constexpr const char* kPlainText = "text/plain; charset=utf-8";
constexpr const char* kExposition = "text/plain; version=0.0.4; charset=utf-8";

using Clock = SteadyClock;

bool out_of_descriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// The open connections of one serve() run, in accept order (the first is the one open longest),
// and the listening socket's place on the event queue.
class ConnectionTable {
  public:
    ConnectionTable(const Endpoint& endpoint, int listen_fd, const std::string& address)
        : endpoint_(endpoint), queue_fd_(endpoint.queue_fd), listen_fd_(listen_fd),
          address_(address) {}

    // Takes every pending connection (up to a burst), making room past the cap. The request of
    // a new connection is often there already, and is then answered at once.
    void accept_pending() {
        for (int i = 0; i < kAcceptBurst && accepting_; ++i) {
            if (open_.size() >= kMaxConnections && (!connection_pending() || !make_room()))
                break;
            const int fd = accept_connection(listen_fd_);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (out_of_descriptors(errno))
                    pause_accepting(errno);
                else
                    accept_failing_ = false; // none pending: the backlog is taken
                break;
            }
            open_.emplace_back(endpoint_, fd, Clock::now() + kConnectionDeadline, ++tickets_);
            open_.back().progress();
            sweep();
        }
    }

    // An event for fd.
    void progress(int fd) {
        for (HttpConnection& connection : open_) {
            if (connection.fd() == fd) {
                connection.progress();
                break;
            }
        }
        sweep();
    }

    // Verdicts of the credential check have come: their connections are answered.
    void take_verdicts() {
        for (const auto& [ticket, allowed] : endpoint_.credentials->take_verdicts()) {
            for (HttpConnection& connection : open_) {
                if (connection.ticket() == ticket) {
                    connection.resume(allowed);
                    break;
                }
            }
        }
        sweep();
    }

    // Deadlines, deliveries, the end of an accept pause.
    void tick(Clock::time_point now) {
        for (HttpConnection& connection : open_) {
            if (connection.deadline() <= now)
                connection.expire();
            else if (connection.awaiting_delivery())
                connection.check_delivery();
        }
        sweep();
        if (!accepting_ && !stopping_ && now >= resume_at_)
            resume_accepting();
    }

    // How long the loop may wait: until the next thing due, and never more than kWaitMs.
    int wait_ms(Clock::time_point now) const {
        Clock::time_point until = now + std::chrono::milliseconds(kWaitMs);
        for (const HttpConnection& connection : open_) {
            until = std::min(until, connection.deadline());
            if (connection.awaiting_delivery())
                until = std::min(until, now + kDeliveryPoll);
        }
        if (!accepting_ && !stopping_)
            until = std::min(until, resume_at_);
        if (stopping_)
            until = std::min(until, stop_by_);
        return static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(std::max(until - now, Clock::duration{}))
                .count());
    }

    // The run flag is 0: no new connection, and none still reading its request is answered;
    // answers under way go on until they are delivered or the grace ends.
    void begin_stop(Clock::time_point now) {
        stopping_ = true;
        stop_by_ = now + kStopGrace;
        if (accepting_)
            event_queue_watch(queue_fd_, listen_fd_, Interest::read, Interest::none);
        accepting_ = false;
        for (HttpConnection& connection : open_) {
            if (connection.state() == HttpConnection::State::reading ||
                connection.state() == HttpConnection::State::checking)
                connection.end_now();
        }
        sweep();
    }

    bool stopping() const { return stopping_; }

    // True once stopping is over; what is left then is closed, written answers left to the
    // kernel.
    bool stopped(Clock::time_point now) {
        if (open_.empty())
            return true;
        if (now < stop_by_)
            return false;
        for (HttpConnection& connection : open_)
            connection.end_now(true);
        sweep();
        return true;
    }

  private:
    // Forgets closed connections; one gone ends a pause of accepting.
    void sweep() {
        const auto closed = std::remove_if(open_.begin(), open_.end(), [](const auto& c) {
            return c.state() == HttpConnection::State::closed;
        });
        if (closed == open_.end())
            return;
        open_.erase(closed, open_.end());
        if (!accepting_ && !stopping_)
            resume_accepting();
    }

    // Room is made only for a connection that is there to take.
    bool connection_pending() const {
        pollfd listening{listen_fd_, POLLIN, 0};
        return ::poll(&listening, 1, 0) == 1 && (listening.revents & POLLIN) != 0;
    }

    // At the cap. A connection whose peer has its whole answer no longer counts: the oldest such
    // is closed. Else the connection open longest is, whatever it is doing (a real scrape lasts
    // milliseconds, a slow reader seconds); but one younger than kYoungestClosed is left to
    // finish, and new connections wait in the listen queue until a connection closes or the
    // oldest is old enough, so that a burst of scrapes is served instead of closing one another.
    bool make_room() {
        for (HttpConnection& connection : open_) {
            if (connection.answer_delivered()) {
                connection.end_now();
                sweep();
                return true;
            }
        }
        const Clock::time_point opened = open_.front().deadline() - kConnectionDeadline;
        if (Clock::now() - opened < kYoungestClosed) {
            hold_accepting(opened + kYoungestClosed);
            return false;
        }
        open_.front().end_now();
        health_figures().count("connections_evicted");
        sweep();
        return true;
    }

    // The listening socket stays readable while connections wait that cannot be taken: leave it
    // alone for a moment instead of failing accept in a loop, and say so once per episode.
    void pause_accepting(int error) {
        if (!accept_failing_)
            spdlog::warn("Cannot accept connections on {}: {}; trying again when a connection "
                         "closes or in 100 ms",
                         address_, std::strerror(error));
        accept_failing_ = true;
        hold_accepting(Clock::now() + kAcceptPause);
    }

    // Stops watching the listening socket until `until` or until a connection closes.
    void hold_accepting(Clock::time_point until) {
        event_queue_watch(queue_fd_, listen_fd_, Interest::read, Interest::none);
        accepting_ = false;
        resume_at_ = until;
    }

    void resume_accepting() {
        accepting_ = event_queue_watch(queue_fd_, listen_fd_, Interest::none, Interest::read);
        if (!accepting_)
            resume_at_ = Clock::now() + kAcceptPause;
    }

    const Endpoint& endpoint_;
    int queue_fd_;
    int listen_fd_;
    const std::string& address_;
    std::vector<HttpConnection> open_;
    std::uint64_t tickets_ = 0;   // the last one given to a connection
    bool accepting_ = true;       // the listening socket is watched
    bool accept_failing_ = false; // out of descriptors since the backlog was last taken
    Clock::time_point resume_at_;
    bool stopping_ = false;
    Clock::time_point stop_by_;
};

} // namespace

namespace {

// extra: whole header lines ("Name: value\r\n") between Content-Length and Connection.
std::string build_head(int status, const std::string& reason, const std::string& content_type,
                       std::size_t body_size, std::string_view extra = {}) {
    std::string head = fmt::format("HTTP/1.1 {} {}\r\n", status, reason);
    head += fmt::format("Content-Type: {}\r\n", content_type);
    head += fmt::format("Content-Length: {}\r\n", body_size);
    head += extra;
    head += "Connection: close\r\n\r\n";
    return head;
}

Response plain_response(int status, const std::string& reason, const std::string& body,
                        std::string_view extra = {}) {
    return {build_head(status, reason, kPlainText, body.size(), extra),
            std::make_shared<const std::string>(body), status};
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
    return answer_request(request, render, nullptr);
}

Response answer_request(std::string_view request, const RenderCallback& render,
                        const RenderCallback& render_gzip) {
    const RequestLine line = parse_request_line(request);
    if (line.method != "GET")
        return plain_response(405, "Method Not Allowed", "405 Method Not Allowed\n");
    if (line.path != "/metrics")
        return plain_response(404, "Not Found", "404 Not Found\n");
    const bool gzip = render_gzip && accepts_gzip(header_value(request, "Accept-Encoding"));
    try {
        Document body = gzip ? render_gzip() : render();
        const std::size_t size = body ? body->size() : 0;
        return {build_head(200, "OK", kExposition, size, gzip ? "Content-Encoding: gzip\r\n" : ""),
                std::move(body), 200};
    } catch (const std::exception& error) {
        spdlog::error("Rendering the scrape failed: {}", error.what());
    } catch (...) {
        spdlog::error("Rendering the scrape failed: unknown error");
    }
    return plain_response(500, "Internal Server Error", "500 Internal Server Error\n");
}

Response too_many_requests_response() {
    return plain_response(429, "Too Many Requests", "429 Too Many Requests\n");
}

void add_headers(Response& response, std::string_view lines) {
    // Before the "Connection: close" line and the blank line that every head ends with.
    constexpr std::string_view kEnd = "Connection: close\r\n\r\n";
    if (!lines.empty() && response.head.size() >= kEnd.size())
        response.head.insert(response.head.size() - kEnd.size(), lines);
}

Response unauthorized_response() {
    return plain_response(401, "Unauthorized", "401 Unauthorized\n",
                          "WWW-Authenticate: Basic realm=\"tarn-vm-perfdata\"\r\n");
}

std::string respond_to_request(std::string_view request, const RenderCallback& render,
                               const RenderCallback& render_gzip) {
    Response response = answer_request(request, render, render_gzip);
    if (response.body)
        response.head += *response.body;
    return std::move(response.head);
}

HttpServer::HttpServer(std::string listen_address, RenderCallback render, const RunFlag* run_flag,
                       EndpointOptions options)
    : listen_address_(std::move(listen_address)), render_(std::move(render)), run_flag_(run_flag),
      options_(std::move(options)) {}

HttpServer::~HttpServer() {
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
    if (kqueue_fd_ >= 0)
        ::close(kqueue_fd_);
}

bool HttpServer::start() {
    const std::optional<ListenAddress> split = read_listen_address(listen_address_);
    if (!split)
        return false;
    listen_fd_ = bind_listen_address(listen_address_, *split);
    if (listen_fd_ < 0)
        return false;
    if (::listen(listen_fd_, std::min(kListenBacklog, SOMAXCONN)) != 0) {
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
    if (options_.credentials) {
        if (!options_.credentials->start())
            return false;
        if (!event_queue_watch(kqueue_fd_, options_.credentials->ready_fd(), Interest::none,
                               Interest::read)) {
            spdlog::error("kevent register failed");
            return false;
        }
    }
    health_figures().count("connections_evicted", {}, 0); // shown from the start, at 0
    return true;
}

int HttpServer::serve() {
    Endpoint endpoint;
    endpoint.queue_fd = kqueue_fd_;
    endpoint.render = &render_;
    endpoint.render_gzip = &options_.render_gzip;
    endpoint.tls = options_.tls;
    endpoint.credentials = options_.credentials.get();
    std::optional<RateLimit> rate_limit;
    // What a load of the web config file gives new connections.
    const auto apply = [&](const WebSettings& settings) {
        endpoint.tls = settings.tls;
        endpoint.headers = settings.headers;
        if (endpoint.credentials != nullptr)
            endpoint.credentials->replace_users(settings.users);
        if (!rate_limit || !(rate_limit->settings() == settings.rate_limit))
            rate_limit.emplace(settings.rate_limit, Clock::now());
        endpoint.rate_limit = settings.rate_limit.interval.count() > 0 ? &*rate_limit : nullptr;
    };
    if (options_.web_config)
        apply(options_.web_config->current());
    const int verdicts_fd = options_.credentials ? options_.credentials->ready_fd() : -1;
    ConnectionTable connections(endpoint, listen_fd_, listen_address_);
    std::array<int, kMaxConnections + 2> ready{}; // the connections, the listener, the verdicts
    for (;;) {
        if (!running(*run_flag_) && !connections.stopping())
            connections.begin_stop(Clock::now());
        if (connections.stopping() && connections.stopped(Clock::now()))
            return 0;
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
            else if (fd == verdicts_fd)
                connections.take_verdicts();
            else
                connections.progress(fd);
        }
        // A changed file is in force from the next connection on. It is looked at on every pass
        // (at most once a second), not only when one comes: a change loads once a second check
        // finds it settled, which should not wait for a second scrape.
        if (options_.web_config && !connections.stopping() &&
            options_.web_config->poll(Clock::now()))
            apply(options_.web_config->current());
        if (pending && !connections.stopping())
            connections.accept_pending();
        connections.tick(Clock::now());
    }
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
