#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tarn {

// The value of the first header field `name` (compared without regard to case) in a buffered
// request, with the white space around it removed; nothing when the field is absent. Only lines
// of the header block count: the request line, anything after the blank line and a line holding
// a bare CR or LF do not.
std::optional<std::string_view> header_value(std::string_view request, std::string_view name);

// Whether an Accept-Encoding value lets the answer be gzip compressed: "gzip" (or "x-gzip") with
// a weight above 0, or "*" above 0 with gzip not named, and not below a weight the value gives
// "identity" by name. An absent header allows nothing.
bool accepts_gzip(std::optional<std::string_view> accept_encoding);

struct BasicCredentials {
    std::string user;
    std::string password;
};

// The user and password of an Authorization value of the Basic scheme (scheme name in any case,
// strict base64, split at the first ':'); nothing for any other value.
std::optional<BasicCredentials> parse_basic_authorization(std::string_view value);

} // namespace tarn
