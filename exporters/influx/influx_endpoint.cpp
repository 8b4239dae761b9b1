#include "exporters/influx/influx_endpoint.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <string_view>

namespace tarn {
namespace {

constexpr std::string_view kSchemeEnd = "://";

bool same_text_ignoring_case(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The length of a leading "NAME" of "NAME://" (RFC 3986: a letter, then letters, digits, '+',
// '-' and '.'), or 0.
std::size_t scheme_length(const std::string& url) {
    const std::size_t end = url.find(kSchemeEnd);
    if (end == std::string::npos || end == 0 || !std::isalpha(static_cast<unsigned char>(url[0])))
        return 0;
    const bool name = std::all_of(
        url.begin(), url.begin() + static_cast<std::ptrdiff_t>(end),
        [](unsigned char c) { return std::isalnum(c) || c == '+' || c == '-' || c == '.'; });
    return name ? end : 0;
}

bool ipv4_address(std::string_view text) {
    int parts = 0;
    for (std::size_t start = 0; start <= text.size(); ++parts) {
        const std::size_t end = std::min(text.find('.', start), text.size());
        const std::string_view part = text.substr(start, end - start);
        if (part.empty() || part.size() > 3 ||
            !std::all_of(part.begin(), part.end(),
                         [](unsigned char c) { return std::isdigit(c); }) ||
            std::stoi(std::string(part)) > 255)
            return false;
        start = end + 1;
    }
    return parts == 4;
}

// Eight groups of 1 to 4 hex digits, at most one "::" standing for one or more zero groups, the
// last two groups possibly written as an IPv4 address.
bool ipv6_address(std::string_view text) {
    const std::size_t gap = text.find("::");
    if (gap != std::string_view::npos && text.find("::", gap + 1) != std::string_view::npos)
        return false;
    int groups = 0;
    const auto count = [&](std::string_view part, bool last) {
        for (std::size_t start = 0; !part.empty() && start <= part.size();) {
            const std::size_t end = std::min(part.find(':', start), part.size());
            const std::string_view group = part.substr(start, end - start);
            if (last && end == part.size() && group.find('.') != std::string_view::npos) {
                groups += 2;
                return ipv4_address(group);
            }
            if (group.empty() || group.size() > 4 ||
                !std::all_of(group.begin(), group.end(),
                             [](unsigned char c) { return std::isxdigit(c); }))
                return false;
            ++groups;
            start = end + 1;
        }
        return true;
    };
    if (gap == std::string_view::npos)
        return count(text, true) && groups == 8;
    return count(text.substr(0, gap), false) && count(text.substr(gap + 2), true) && groups < 8;
}

} // namespace

std::string percent_encode(const std::string& text) {
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                                byte == '_' || byte == '~';
        if (unreserved)
            encoded += c;
        else
            encoded += fmt::format("%{:02X}", byte);
    }
    return encoded;
}

UrlScheme url_scheme(const std::string& url) {
    const std::size_t length = scheme_length(url);
    if (length == 0)
        return UrlScheme::none;
    const std::string_view name(url.data(), length);
    if (same_text_ignoring_case(name, "http"))
        return UrlScheme::http;
    if (same_text_ignoring_case(name, "https"))
        return UrlScheme::https;
    return UrlScheme::other;
}

std::string url_for_messages(const std::string& url) {
    const std::size_t length = scheme_length(url);
    const std::size_t begin = length > 0 ? length + kSchemeEnd.size() : 0;
    const std::size_t at = url.rfind('@');
    if (at == std::string::npos || at < begin)
        return url;
    return url.substr(0, begin) + "***" + url.substr(at);
}

std::string url_problem(const std::string& url) {
    std::string_view rest(url);
    if (const std::size_t length = scheme_length(url); length > 0)
        rest.remove_prefix(length + kSchemeEnd.size());
    // Before any check that could quote a character of it: a password may follow the ':'.
    if (rest.find('@') != std::string_view::npos)
        return "credentials belong in user and password, not in url";
    if (const auto bad = std::find_if(url.begin(), url.end(),
                                      [](unsigned char c) {
                                          return std::isspace(c) || std::iscntrl(c) || c == '"' ||
                                                 c == '\'' || c == ';' || c == '#' || c >= 0x80;
                                      });
        bad != url.end())
        return fmt::format("'{}' at position {} is not allowed (a comment or quotes after the "
                           "value, or whitespace?)",
                           *bad, bad - url.begin() + 1);
    if (url.find('?') != std::string::npos)
        return "a query ('?') does not belong in it: the daemon adds /write and its parameters";
    const std::string_view authority = rest.substr(0, rest.find('/'));
    // "http//host:8086" reads as the host "http" with a path; so does any empty path segment.
    if (rest.find("//") != std::string_view::npos)
        return "'//' stands after the host (a scheme is written 'http://' or 'https://')";
    std::string_view host = authority, port;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return "an IPv6 address lacks its closing ']'";
        host = authority.substr(1, close - 1);
        if (!ipv6_address(host))
            return fmt::format("'{}' is not an IPv6 address", host);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && !after.starts_with(':'))
            return "only ':PORT' may follow the IPv6 address";
        port = after.empty() ? after : after.substr(1);
        if (after.empty())
            return "";
    } else {
        const std::size_t colon = authority.find(':');
        if (colon != std::string_view::npos) {
            if (authority.find(':', colon + 1) != std::string_view::npos)
                return "an IPv6 address needs brackets, as in http://[::1]:8086";
            host = authority.substr(0, colon);
            port = authority.substr(colon + 1);
        }
        if (host.empty())
            return "it names no host";
        if (const auto bad = std::find_if(host.begin(), host.end(),
                                          [](unsigned char c) {
                                              return !std::isalnum(c) && c != '-' && c != '.' &&
                                                     c != '_';
                                          });
            bad != host.end())
            return fmt::format("'{}' is not allowed in a host name", *bad);
        if (colon == std::string_view::npos)
            return "";
    }
    const bool digits =
        !port.empty() && port.size() <= 5 &&
        std::all_of(port.begin(), port.end(), [](unsigned char c) { return std::isdigit(c); });
    if (!digits || std::stoi(std::string(port)) < 1 || std::stoi(std::string(port)) > 65535)
        return fmt::format("port '{}' is not a number from 1 to 65535", port);
    return "";
}

InfluxEndpoint influx_endpoint(const InfluxTarget& target) {
    const bool https = url_scheme(target.url) == UrlScheme::https;
    std::string host = target.url;
    if (const std::size_t length = scheme_length(host); length > 0)
        host.erase(0, length + kSchemeEnd.size());
    // "https://influx.example.org:8086/" is written as often as without the '/'; kept, it would
    // make the write path "//write".
    while (!host.empty() && host.back() == '/')
        host.pop_back();
    const char* scheme = https ? "https" : "http";

    InfluxEndpoint endpoint;
    if (target.token.empty()) {
        endpoint.write_url =
            fmt::format("{}://{}:{}@{}/write?db={}", scheme, percent_encode(target.user),
                        percent_encode(target.password), host, percent_encode(target.database));
        if (!target.retention_policy.empty())
            endpoint.write_url += "&rp=" + percent_encode(target.retention_policy);
    } else {
        const std::string org =
            target.org.empty() ? "" : fmt::format("org={}&", percent_encode(target.org));
        endpoint.write_url = fmt::format("{}://{}/api/v2/write?{}bucket={}&precision=ns", scheme,
                                         host, org, percent_encode(target.bucket));
        endpoint.headers.push_back("Authorization: Token " + target.token);
    }
    if (target.gzip)
        endpoint.headers.emplace_back("Content-Encoding: gzip");
    // libcurl would wait for "100 Continue" before a body over 1 MiB; a batch is sent at once.
    if (target.batched)
        endpoint.headers.emplace_back("Expect:");
    endpoint.gzip = target.gzip;
    endpoint.ca_file = target.ca_file;
    endpoint.verify_tls = !target.insecure_skip_verify;
    return endpoint;
}

} // namespace tarn
