#include "collectors/cpu_memory_parsers.h"

#include "collectors/text_scan.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace tarn {
namespace {

// The tools' texts are matched by hand rather than with std::regex: the standard engine recurses
// once per character of a white-space or digit run and overflows the stack on a long line. Each
// matcher below finds exactly what its multi-line pattern (ECMAScript, '^' and '$' at line
// breaks) finds; the patterns are kept next to them and the unit tests compare both on random
// texts. None of them needs backtracking: every run ends at a character its successor can't take.

// Where '^' may match with the multi-line option: the start, or just after a line break.
bool at_line_start(std::string_view text, std::size_t at) {
    return at == 0 || scan::is_line_break(text[at - 1]);
}
// Where '$' may match with the multi-line option: the end, or just before a line break.
bool at_line_end(std::string_view text, std::size_t at) {
    return at == text.size() || scan::is_line_break(text[at]);
}
bool is_lower(char c) {
    return c >= 'a' && c <= 'z';
}

// Calls `try_at` for every line start in order, skipping those inside the previous match; it
// returns the end of a match there, or npos.
template <typename TryAt> void each_line_start(std::string_view text, TryAt try_at) {
    std::size_t resume = 0;
    for (std::size_t at = 0; at <= text.size(); ++at) {
        if (at < resume || !at_line_start(text, at))
            continue;
        const std::size_t end = try_at(at);
        if (end != std::string_view::npos)
            resume = end;
    }
}

// `word` at `at`, then white space of at least one character and a digit run, whose bounds are
// returned; npos as the end when any part is missing.
struct DigitRun {
    std::size_t begin = std::string_view::npos;
    std::size_t end = std::string_view::npos;
    std::string_view of(std::string_view text) const { return text.substr(begin, end - begin); }
};
DigitRun word_spaces_digits(std::string_view text, std::size_t at, std::string_view word) {
    if (!scan::starts_with_at(text, at, word))
        return {};
    const std::size_t digits = scan::skip_spaces(text, at + word.size());
    if (digits == at + word.size())
        return {};
    const std::size_t end = scan::skip_digits(text, digits);
    if (end == digits)
        return {};
    return {digits, end};
}

// "^cpu_topology:\s+sockets=(\d+), cores=(\d+), threads=(\d+), maxcpus=", first match.
std::optional<std::array<std::string_view, 3>> find_topology(std::string_view text) {
    constexpr std::string_view kPrefixes[] = {"sockets=", ", cores=", ", threads="};
    std::optional<std::array<std::string_view, 3>> found;
    each_line_start(text, [&](std::size_t at) -> std::size_t {
        if (found || !scan::starts_with_at(text, at, "cpu_topology:"))
            return std::string_view::npos;
        std::size_t pos = scan::skip_spaces(text, at + 13);
        if (pos == at + 13)
            return std::string_view::npos;
        std::array<std::string_view, 3> factors;
        for (std::size_t i = 0; i < 3; ++i) {
            if (!scan::starts_with_at(text, pos, kPrefixes[i]))
                return std::string_view::npos;
            const std::size_t digits = pos + kPrefixes[i].size();
            pos = scan::skip_digits(text, digits);
            if (pos == digits)
                return std::string_view::npos;
            factors[i] = text.substr(digits, pos - digits);
        }
        if (!scan::starts_with_at(text, pos, ", maxcpus="))
            return std::string_view::npos;
        found = factors;
        return pos + 10;
    });
    return found;
}

// "^<word>\s+(\d+)$", first match: the digits of "Resident memory" and "Wired memory".
std::optional<std::string_view> find_memory_line(std::string_view text, std::string_view word) {
    std::optional<std::string_view> found;
    each_line_start(text, [&](std::size_t at) -> std::size_t {
        if (found)
            return std::string_view::npos;
        const DigitRun run = word_spaces_digits(text, at, word);
        if (run.end == std::string_view::npos || !at_line_end(text, run.end))
            return std::string_view::npos;
        found = run.of(text);
        return run.end;
    });
    return found;
}

// A number of the tools' output as type T: absent when it does not fit.
template <typename T> bool store_figure(std::string_view digits, T& target) {
    const auto value = scan::to_integer<T>(digits);
    if (!value)
        return false;
    target = *value;
    return true;
}

} // namespace

std::optional<VmTopologyMemory> parse_get_all(const std::string& text) {
    const auto factors = find_topology(text);
    if (!factors)
        return std::nullopt;
    VmTopologyMemory result;
    std::int64_t product = 1;
    for (const std::string_view digits : *factors) {
        std::int32_t factor = 0;
        if (!store_figure(digits, factor))
            return std::nullopt;
        product *= factor;
        if (product == 0 || product > std::numeric_limits<std::int32_t>::max())
            return std::nullopt;
    }
    result.vm_cpus = static_cast<std::int32_t>(product);

    if (const auto rss = find_memory_line(text, "Resident memory"))
        if (!store_figure(*rss, result.vm_rss))
            return std::nullopt;
    if (const auto wired = find_memory_line(text, "Wired memory"))
        if (!store_figure(*wired, result.vm_wired))
            return std::nullopt;
    return result;
}

// "^vcpu_class=(\d{1,2})" without the multi-line option: only at the very start.
std::optional<std::int32_t> parse_vcpu_class(const std::string& text) {
    constexpr std::string_view kWord = "vcpu_class=";
    const std::string_view view(text);
    if (!view.starts_with(kWord))
        return std::nullopt;
    const std::size_t end = std::min(scan::skip_digits(view, kWord.size()), kWord.size() + 2);
    if (end == kWord.size())
        return std::nullopt;
    return scan::to_integer<std::int32_t>(view.substr(kWord.size(), end - kWord.size()));
}

namespace {

// Parses a whole JSON text but keeps, of a top-level object, only the member `key`, and of that
// member's value only the scalar or an empty container: a document of 64 MiB of other members
// would otherwise become a tree some twenty times its size. Syntax errors, and the type errors of
// reading the kept member, are the same as those of the whole tree.
nlohmann::json parse_keeping_member(std::string_view text, std::string_view key) {
    using Event = nlohmann::json::parse_event_t;
    bool root_is_object = false, key_kept = false;
    const auto keep = [&](int depth, Event event, nlohmann::json& parsed) {
        if (depth == 0) {
            if (event == Event::object_start)
                root_is_object = true;
            return true;
        }
        if (depth > 1 || !root_is_object)
            return false;
        switch (event) {
        case Event::key:
            return key_kept = parsed.get_ref<const std::string&>() == key;
        case Event::object_start:
        case Event::array_start:
            return key_kept;
        default: // the member's value, or the end of the container it is
            return true;
        }
    };
    return nlohmann::json::parse(text.begin(), text.end(), keep);
}

} // namespace

std::optional<std::int32_t> parse_vdc_document(std::string_view bytes) {
    const std::size_t end = bytes.find('\0');
    if (end != std::string_view::npos)
        bytes = bytes.substr(0, end);
    const nlohmann::json outer = parse_keeping_member(bytes, "item");
    if (!outer.is_object() || !outer.contains("item"))
        return std::nullopt;
    const nlohmann::json& item = outer["item"];
    if (!item.is_string())
        (void)item.get<std::string>(); // the library's type error, as for any other misuse
    // Read in place: the item may be most of the document.
    const nlohmann::json inner = parse_keeping_member(item.get_ref<const std::string&>(), "vdc");
    if (!inner.is_object() || !inner.contains("vdc"))
        return std::nullopt;
    const nlohmann::json& vdc = inner["vdc"];
    constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
    // Checked before converting: the library's own conversion of an out-of-range number is a
    // plain cast, undefined for floating point.
    if (vdc.is_number_float()) {
        const double value = std::trunc(vdc.get<double>());
        if (!(value >= kMin && value <= kMax))
            return std::nullopt;
        return static_cast<std::int32_t>(value);
    }
    if (vdc.is_number_unsigned()) {
        const auto value = vdc.get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(kMax))
            return std::nullopt;
        return static_cast<std::int32_t>(value);
    }
    if (vdc.is_number_integer()) {
        const auto value = vdc.get<std::int64_t>();
        if (value < kMin || value > kMax)
            return std::nullopt;
        return static_cast<std::int32_t>(value);
    }
    return vdc.get<std::int32_t>(); // a boolean gives 1 or 0; other types throw a type error
}

// "^([a-z]+)=(\d+)$", every match.
std::optional<VmResourceUse> parse_rctl(const std::string& text) {
    const std::string_view view(text);
    VmResourceUse use;
    bool fits = true;
    each_line_start(view, [&](std::size_t at) -> std::size_t {
        std::size_t equals = at;
        while (equals < view.size() && is_lower(view[equals]))
            ++equals;
        if (equals == at || equals == view.size() || view[equals] != '=')
            return std::string_view::npos;
        const std::size_t end = scan::skip_digits(view, equals + 1);
        if (end == equals + 1 || !at_line_end(view, end))
            return std::string_view::npos;
        const std::string_view name = view.substr(at, equals - at);
        const std::string_view digits = view.substr(equals + 1, end - equals - 1);
        std::uint64_t ignored = 0;
        std::uint64_t& target = name == "memoryuse"    ? use.memoryuse
                                : name == "vmemoryuse" ? use.vmemoryuse
                                : name == "pcpu"       ? use.pcpu
                                                       : ignored;
        fits = fits && store_figure(digits, target);
        return end;
    });
    if (!fits)
        return std::nullopt;
    return use;
}

// "^(vcpu total runtime|number of ticks vcpu was idle|sleeps in ms due to vcpu limit
// throttle)\s+(\d+)$", every match. No name is a prefix of another, so at most one fits.
std::optional<VmRunStats> parse_get_stats(const std::string& text) {
    const std::string_view view(text);
    VmRunStats stats;
    const std::pair<std::string_view, std::uint64_t*> names[] = {
        {"vcpu total runtime", &stats.runtime},
        {"number of ticks vcpu was idle", &stats.idle_ticks},
        {"sleeps in ms due to vcpu limit throttle", &stats.limit_sleeps}};
    bool fits = true;
    each_line_start(view, [&](std::size_t at) -> std::size_t {
        for (const auto& [name, target] : names) {
            const DigitRun run = word_spaces_digits(view, at, name);
            if (run.end == std::string_view::npos || !at_line_end(view, run.end))
                continue;
            fits = fits && store_figure(run.of(view), *target);
            return run.end;
        }
        return std::string_view::npos;
    });
    if (!fits)
        return std::nullopt;
    return stats;
}

std::uint64_t idle_seconds(std::uint64_t idle_ticks, double kern_hz) {
    if (!(kern_hz > 0))
        return 0;
    const double seconds = static_cast<double>(idle_ticks) / kern_hz;
    // 2^64 exactly: the first double that no longer fits.
    constexpr double kLimit = 18446744073709551616.0;
    if (seconds >= kLimit)
        return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(seconds);
}

double runtime_seconds(std::uint64_t runtime, double tsc_freq) {
    if (!(tsc_freq > 0))
        return 0.0;
    return static_cast<double>(runtime) / tsc_freq;
}

} // namespace tarn
