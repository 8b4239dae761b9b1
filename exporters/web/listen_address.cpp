#include "exporters/web/listen_address.h"

#include <spdlog/spdlog.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>

namespace tarn {

std::optional<ListenAddress> split_listen_address(const std::string& text, std::string* error) {
    const auto refuse = [error](std::string why) -> std::optional<ListenAddress> {
        if (error != nullptr)
            *error = std::move(why);
        return std::nullopt;
    };
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

bool loopback_host(const std::string& host) {
    if (host == "localhost")
        return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (::inet_pton(AF_INET6, host.c_str(), &v6) != 1)
        return false;
    if (IN6_IS_ADDR_LOOPBACK(&v6))
        return true;
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
}

} // namespace tarn
