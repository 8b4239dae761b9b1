#include "collectors/vm_number.h"

#include "collectors/text_scan.h"

#include <vector>

namespace tarn {
namespace {

using scan::is_digit;
using scan::is_line_break;
using scan::is_space;
using scan::skip_digits;
using scan::skip_spaces;
using scan::starts_with_at;

constexpr std::string_view kBhyvePath = "/usr/sbin/bhyve";

// "/usr/sbin/bhyve" white space "-c" white space, from `at`; the position after it, if it fits.
std::optional<std::size_t> command_head(std::string_view text, std::size_t at) {
    at += kBhyvePath.size();
    std::size_t next = skip_spaces(text, at);
    if (next == at || !starts_with_at(text, next, "-c"))
        return std::nullopt;
    at = next + 2;
    next = skip_spaces(text, at);
    if (next == at)
        return std::nullopt;
    return next;
}

// `word` followed by at least one digit; the position after the digits.
std::optional<std::size_t> word_and_digits(std::string_view text, std::size_t at,
                                           std::string_view word) {
    if (!starts_with_at(text, at, word))
        return std::nullopt;
    at += word.size();
    const std::size_t end = skip_digits(text, at);
    if (end == at)
        return std::nullopt;
    return end;
}

// "cpus=N,sockets=N,cores=N,threads=N" from `at`; the position after the last digits.
std::optional<std::size_t> topology_list(std::string_view text, std::size_t at) {
    for (std::string_view word : {"cpus=", ",sockets=", ",cores=", ",threads="}) {
        const auto next = word_and_digits(text, at, word);
        if (!next)
            return std::nullopt;
        at = *next;
    }
    return at;
}

} // namespace

std::string join_arguments(const std::vector<std::string>& arguments) {
    std::string text;
    for (const std::string& argument : arguments) {
        if (!text.empty())
            text += ' ';
        text += argument;
    }
    return text;
}

std::optional<std::string_view> match_vm_title(std::string_view text) {
    constexpr std::string_view kTitle = "bhyve:";
    if (!text.starts_with(kTitle))
        return std::nullopt;
    const std::size_t digits = skip_spaces(text, kTitle.size());
    if (digits == kTitle.size() || digits == text.size() ||
        skip_digits(text, digits) != text.size())
        return std::nullopt;
    return text.substr(digits);
}

// After the head, "\s+.*\s+(\d+)$": the text must end in digits preceded by white space, and the
// stretch between the two white-space runs ('.') must hold no line break.
std::optional<std::string_view> search_vm_topology_command(std::string_view text) {
    std::size_t digits = text.size();
    while (digits > 0 && is_digit(text[digits - 1]))
        --digits;
    if (digits == text.size() || digits == 0 || !is_space(text[digits - 1]))
        return std::nullopt;
    std::size_t final_spaces = digits - 1; // start of the white space before the final digits
    while (final_spaces > 0 && is_space(text[final_spaces - 1]))
        --final_spaces;
    // One past the last line break before the final white space: '.' may not start earlier.
    std::size_t dot_floor = 0;
    for (std::size_t i = final_spaces; i > 0; --i) {
        if (is_line_break(text[i - 1])) {
            dot_floor = i;
            break;
        }
    }
    for (std::size_t at = text.find(kBhyvePath); at != std::string_view::npos;
         at = text.find(kBhyvePath, at + 1)) {
        const auto list_start = command_head(text, at);
        const auto after_list = list_start ? topology_list(text, *list_start) : std::nullopt;
        if (!after_list || *after_list >= digits || !is_space(text[*after_list]))
            continue;
        const std::size_t spaces_end = skip_spaces(text, *after_list);
        if (spaces_end == digits) { // only white space up to the digits: both runs come from it
            if (digits - *after_list >= 2)
                return text.substr(digits);
            continue;
        }
        if (spaces_end >= dot_floor)
            return text.substr(digits);
    }
    return std::nullopt;
}

// After the head, "(\d+)\s+.*\s+(\d+)" with no end anchor. Backtracking order decides which digits
// are captured: with the first white-space run taken whole, '.*' ends at the last white-space
// character it can reach whose run of white space is followed by a digit (that run may go on past
// a line break); failing that, the digits right after the first run, when the run is long enough
// to give one character to each "\s+".
std::optional<std::string_view> search_vm_cpu_count_command(std::string_view text) {
    const std::size_t n = text.size();
    // next_break[i]: first line break at or after i (n when none). last_good[i]: the largest p <= i
    // where text[p] is white space and its white-space run ends at a digit (n when none).
    std::vector<std::size_t> next_break;
    std::vector<std::size_t> last_good;
    auto build_tables = [&] {
        next_break.assign(n + 1, n);
        for (std::size_t i = n; i > 0; --i)
            next_break[i - 1] = is_line_break(text[i - 1]) ? i - 1 : next_break[i];
        std::vector<bool> run_ends_in_digit(n + 1, false);
        for (std::size_t i = n; i > 0; --i) {
            const std::size_t at = i - 1;
            if (is_space(text[at]))
                run_ends_in_digit[at] =
                    at + 1 < n &&
                    (is_space(text[at + 1]) ? run_ends_in_digit[at + 1] : is_digit(text[at + 1]));
        }
        last_good.assign(n + 1, n);
        std::size_t last = n;
        for (std::size_t i = 0; i <= n; ++i) {
            if (i < n && is_space(text[i]) && run_ends_in_digit[i])
                last = i;
            last_good[i] = last;
        }
    };
    auto digits_from = [&](std::size_t first) {
        return text.substr(first, skip_digits(text, first) - first);
    };
    for (std::size_t at = text.find(kBhyvePath); at != std::string_view::npos;
         at = text.find(kBhyvePath, at + 1)) {
        const auto count_start = command_head(text, at);
        if (!count_start)
            continue;
        const std::size_t after_count = skip_digits(text, *count_start);
        if (after_count == *count_start || after_count == n || !is_space(text[after_count]))
            continue;
        const std::size_t run_end = skip_spaces(text, after_count);
        if (next_break.empty())
            build_tables();
        if (run_end < n) {
            const std::size_t reach = std::min(next_break[run_end], n - 1);
            const std::size_t good = last_good[reach];
            if (good != n && good >= run_end)
                return digits_from(skip_spaces(text, good));
        }
        if (run_end - after_count >= 2 && run_end < n && is_digit(text[run_end]))
            return digits_from(run_end);
    }
    return std::nullopt;
}

std::optional<std::int32_t> vm_number_from_arguments(std::string_view text) {
    std::optional<std::string_view> digits = match_vm_title(text);
    if (!digits)
        digits = search_vm_topology_command(text);
    if (!digits)
        digits = search_vm_cpu_count_command(text);
    if (!digits)
        return std::nullopt;
    return scan::to_integer<std::int32_t>(*digits);
}

} // namespace tarn
