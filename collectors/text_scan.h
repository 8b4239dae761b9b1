#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tarn::scan {

// The classic "C" locale's classes, which the daemon's patterns rely on; never locale-dependent.
inline bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
inline bool is_line_break(char c) {
    return c == '\n' || c == '\r';
}

// End of the run of white space (or digits) that starts at `at`; `at` itself when there is none.
inline std::size_t skip_spaces(std::string_view text, std::size_t at) {
    while (at < text.size() && is_space(text[at]))
        ++at;
    return at;
}
inline std::size_t skip_digits(std::string_view text, std::size_t at) {
    while (at < text.size() && is_digit(text[at]))
        ++at;
    return at;
}

inline bool starts_with_at(std::string_view text, std::size_t at, std::string_view word) {
    return at <= text.size() && text.substr(at).starts_with(word);
}

// A whole digit string as an integer of type T; absent when it does not fit.
template <typename T> std::optional<T> to_integer(std::string_view digits) {
    T value{};
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

} // namespace tarn::scan
