#pragma once

#include <optional>
#include <string>

namespace tarn {

struct ListenAddress {
    std::string host; // empty: every wildcard address
    std::string port; // decimal, 1 to 65535
};

// Splits "ADDR:PORT" at its last ':' (so an IPv6 address is written without brackets). The port
// must be a decimal number from 1 to 65535: a service name, 0 or a larger number would bind some
// other port than the one configured.
std::optional<ListenAddress> split_listen_address(const std::string& text);

} // namespace tarn
