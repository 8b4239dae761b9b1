#include "exporters/web/listen_address.h"

#include "platform/socket_options.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarn {

std::optional<ListenAddress> split_listen_address(const std::string& text, std::string* error) {
    const auto refuse = [error](std::string why) -> std::optional<ListenAddress> {
        if (error != nullptr)
            *error = std::move(why);
        return std::nullopt;
    };
    // "http://127.0.0.1:9273" would be looked up as the host "http" with the port 9273.
    if (const std::size_t scheme = text.find("://"); scheme != std::string::npos)
        return refuse(fmt::format("a URL: write it as ADDR:PORT or [ADDR]:PORT, without '{}'",
                                  text.substr(0, scheme + 3)));
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return refuse("expected ADDR:PORT or [ADDR]:PORT");
    ListenAddress address{text.substr(0, colon), text.substr(colon + 1)};
    if (address.host.starts_with('[')) {
        if (address.host.size() < 3 || !address.host.ends_with(']'))
            return refuse("expected ADDR:PORT or [ADDR]:PORT");
        address.host = address.host.substr(1, address.host.size() - 2);
    }
    if (address.host.find_first_of("[]") != std::string::npos)
        return refuse("expected ADDR:PORT or [ADDR]:PORT");
    const std::string& port = address.port;
    if (port.empty() ||
        !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return refuse("expected ADDR:PORT or [ADDR]:PORT with a decimal port");
    if (port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535)
        return refuse("the port must be from 1 to 65535");
    return address;
}

std::optional<ListenAddress> read_listen_address(const std::string& text) {
    std::string why;
    std::optional<ListenAddress> address = split_listen_address(text, &why);
    if (!address)
        spdlog::error("invalid listen address '{}', {}", text, why);
    return address;
}

int bind_listen_address(const std::string& text, const ListenAddress& address) {
    addrinfo hints{};
    hints.ai_flags = AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_family = AF_UNSPEC;
    addrinfo* results = nullptr;
    const int gai = ::getaddrinfo(address.host.empty() ? nullptr : address.host.c_str(),
                                  address.port.c_str(), &hints, &results);
    if (gai != 0) {
        spdlog::error("getaddrinfo({}): {}", text, ::gai_strerror(gai));
        return -1;
    }
    int bound = -1;
    int bind_error = 0;
    for (addrinfo* result = results; result != nullptr; result = result->ai_next) {
        const int fd =
            open_stream_socket(result->ai_family, result->ai_socktype, result->ai_protocol);
        if (fd < 0) {
            bind_error = errno;
            continue;
        }
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, result->ai_addr, result->ai_addrlen) == 0) {
            bound = fd;
            break;
        }
        bind_error = errno;
        ::close(fd);
    }
    ::freeaddrinfo(results);
    if (bound < 0)
        spdlog::error("cannot bind to {}: {}", text, std::strerror(bind_error));
    return bound;
}

bool listen_address_usable(const std::string& text) {
    std::optional<ListenAddress> address = read_listen_address(text);
    if (!address)
        return false;
    address->port = "0";
    const int fd = bind_listen_address(text, *address);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

bool loopback_host(const std::string& host) {
    if (host == "localhost")
        return true;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST; // an address as written, never a name looked up
    addrinfo* results = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0)
        return false;
    bool loopback = false;
    if (results->ai_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(results->ai_addr);
        loopback = reinterpret_cast<const unsigned char*>(&v4->sin_addr)[0] == 127;
    } else if (results->ai_family == AF_INET6) {
        // ::1, or ::ffff:127.x.y.z (an IPv4 loopback address mapped into IPv6).
        const unsigned char* b =
            reinterpret_cast<const sockaddr_in6*>(results->ai_addr)->sin6_addr.s6_addr;
        const bool zeros = std::all_of(b, b + 10, [](unsigned char c) { return c == 0; });
        loopback =
            zeros &&
            ((b[10] == 0 && b[11] == 0 && b[12] == 0 && b[13] == 0 && b[14] == 0 && b[15] == 1) ||
             (b[10] == 0xff && b[11] == 0xff && b[12] == 127));
    }
    ::freeaddrinfo(results);
    return loopback;
}

} // namespace tarn
