#pragma once

#include <optional>
#include <string>

namespace tarn {

struct ListenAddress {
    std::string host; // empty: every wildcard address
    std::string port; // decimal, 1 to 65535
};

// Splits "ADDR:PORT" at its last ':' (so an IPv6 address may be written without brackets), or
// "[ADDR]:PORT", the spelling of other exporters. The port must be a decimal number from 1 to
// 65535: a service name, 0 or a larger number would bind some other port than the one configured.
// `error`, when given, receives why a text is refused.
std::optional<ListenAddress> split_listen_address(const std::string& text,
                                                  std::string* error = nullptr);

// As split_listen_address, logging a refusal at error level.
std::optional<ListenAddress> read_listen_address(const std::string& text);

// A socket bound to `address` (the first result of the resolver that binds), or -1 after
// logging why, naming `text`, the address as configured.
int bind_listen_address(const std::string& text, const ListenAddress& address);

// Whether `text` can be bound on this host: resolved as a start resolves it, bound with port 0 and
// closed at once, so that a running daemon holding the configured port is not in the way (and a
// port held by another program is not seen). False after logging why.
bool listen_address_usable(const std::string& text);

// True for a host that only this machine can reach: localhost, 127.0.0.0/8, ::1 (also as an
// IPv4-mapped address). A wildcard (empty) host or any other name is not.
bool loopback_host(const std::string& host);

} // namespace tarn
