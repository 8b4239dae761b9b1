#include "exporters/web/request_headers.h"

#include <array>
#include <cstdint>

namespace tarn {
namespace {

constexpr std::string_view kSpaces = " \t";

std::string_view trim(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kSpaces);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(kSpaces) - first + 1);
}

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

// A weight as HTTP writes it ("q=0", "q=0.5", "q=1.000"), in thousandths; nothing when malformed.
std::optional<int> weight(std::string_view text) {
    if (text.empty() || (text[0] != '0' && text[0] != '1'))
        return std::nullopt;
    int value = (text[0] - '0') * 1000;
    if (text.size() == 1)
        return value;
    if (text[1] != '.' || text.size() > 5)
        return std::nullopt;
    int scale = 100;
    for (const char digit : text.substr(2)) {
        if (digit < '0' || digit > '9' || (text[0] == '1' && digit != '0'))
            return std::nullopt;
        value += (digit - '0') * scale;
        scale /= 10;
    }
    return value;
}

// The coding and weight of one element of Accept-Encoding ("gzip;q=0.5"); a malformed weight
// counts as 0, so that a coding is never chosen on a value the client did not mean.
std::pair<std::string_view, int> coding_and_weight(std::string_view element) {
    std::size_t semicolon = element.find(';');
    const std::string_view coding = trim(element.substr(0, semicolon));
    int q = 1000;
    while (semicolon != std::string_view::npos) {
        element = element.substr(semicolon + 1);
        semicolon = element.find(';');
        const std::string_view parameter = trim(element.substr(0, semicolon));
        if (parameter.size() >= 2 && lower(parameter[0]) == 'q' && parameter[1] == '=')
            q = weight(trim(parameter.substr(2))).value_or(0);
    }
    return {coding, q};
}

constexpr std::uint8_t kNotBase64 = 0xff;

constexpr std::array<std::uint8_t, 256> base64_table() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table)
        entry = kNotBase64;
    constexpr std::string_view alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (std::size_t i = 0; i < alphabet.size(); ++i)
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    return table;
}

// Padded base64 only, as Basic credentials are written; nothing for anything else.
std::optional<std::string> base64_decode(std::string_view text) {
    static constexpr std::array<std::uint8_t, 256> kTable = base64_table();
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t at = 0; at < text.size(); at += 4) {
        const bool last = at + 4 == text.size();
        const std::size_t padding = !last                 ? 0
                                    : text[at + 3] != '=' ? 0
                                    : text[at + 2] != '=' ? 1
                                                          : 2;
        std::uint32_t bits = 0;
        for (std::size_t i = 0; i < 4; ++i) {
            const std::uint8_t value =
                i >= 4 - padding ? 0 : kTable[static_cast<unsigned char>(text[at + i])];
            if (value == kNotBase64)
                return std::nullopt;
            bits = bits << 6 | value;
        }
        // Bits under the padding must be zero, so that every text has one spelling.
        if ((padding == 1 && (bits & 0xff) != 0) || (padding == 2 && (bits & 0xffff) != 0))
            return std::nullopt;
        out.push_back(static_cast<char>(bits >> 16));
        if (padding < 2)
            out.push_back(static_cast<char>(bits >> 8 & 0xff));
        if (padding < 1)
            out.push_back(static_cast<char>(bits & 0xff));
    }
    return out;
}

} // namespace

std::optional<std::string_view> header_value(std::string_view request, std::string_view name) {
    const std::size_t end = request.find("\r\n\r\n");
    const std::string_view block = request.substr(0, end == std::string_view::npos ? end : end + 2);
    std::size_t at = block.find("\r\n");
    while (at != std::string_view::npos) {
        at += 2;
        const std::size_t line_end = block.find("\r\n", at);
        if (line_end == std::string_view::npos)
            break; // a header line cut off by the size limit does not count
        const std::string_view line = block.substr(at, line_end - at);
        const std::size_t colon = line.find(':');
        // A bare CR or LF makes the line one that other parsers may split elsewhere: not read.
        const bool bare_break = line.find_first_of("\r\n") != std::string_view::npos;
        if (colon != std::string_view::npos && !bare_break &&
            same_letters(line.substr(0, colon), name))
            return trim(line.substr(colon + 1));
        at = line_end;
    }
    return std::nullopt;
}

bool accepts_gzip(std::optional<std::string_view> accept_encoding) {
    if (!accept_encoding)
        return false;
    std::optional<int> gzip, identity, any;
    std::string_view rest = *accept_encoding;
    for (;;) {
        const std::size_t comma = rest.find(',');
        const auto [coding, q] = coding_and_weight(rest.substr(0, comma));
        if (same_letters(coding, "gzip") || same_letters(coding, "x-gzip"))
            gzip = gzip ? std::max(*gzip, q) : q;
        else if (same_letters(coding, "identity"))
            identity = q;
        else if (coding == "*")
            any = q;
        if (comma == std::string_view::npos)
            break;
        rest = rest.substr(comma + 1);
    }
    const int gzip_q = gzip.value_or(any.value_or(0));
    return gzip_q > 0 && gzip_q >= identity.value_or(0);
}

std::optional<BasicCredentials> parse_basic_authorization(std::string_view value) {
    value = trim(value);
    const std::size_t space = value.find_first_of(kSpaces);
    if (space == std::string_view::npos || !same_letters(value.substr(0, space), "basic"))
        return std::nullopt;
    const std::optional<std::string> decoded = base64_decode(trim(value.substr(space)));
    if (!decoded)
        return std::nullopt;
    const std::size_t colon = decoded->find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    return BasicCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

} // namespace tarn
