#include "exporters/influx/influx_answer.h"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>

namespace tarn {
namespace {

// influxd names the lines it did not store at the end of its reason: "partial write: ...
// dropped=N". Without that figure the whole batch counts as refused.
std::size_t partial_write_dropped(const std::string& body, std::size_t lines) {
    if (body.find("partial write") == std::string::npos)
        return lines;
    const std::size_t at = body.rfind("dropped=");
    if (at == std::string::npos)
        return lines;
    const char* digits = body.c_str() + at + 8;
    char* end = nullptr;
    const unsigned long long dropped = std::strtoull(digits, &end, 10);
    if (end == digits)
        return lines;
    return static_cast<std::size_t>(std::min<unsigned long long>(dropped, lines));
}

constexpr char32_t kInvalid = 0xFFFFFFFF;

// The code point that starts at `at`, with its length in bytes; kInvalid (length 1) for a byte
// that does not begin a well-formed UTF-8 sequence (overlong forms and surrogates included).
char32_t next_code_point(const std::string& text, std::size_t at, std::size_t& length) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    length = 1;
    const unsigned char lead = byte(0);
    if (lead < 0x80)
        return lead;
    const std::size_t need = lead >= 0xC2 && lead <= 0xDF   ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
    if (need == 0 || at + need > text.size())
        return kInvalid;
    char32_t code = lead & (0xFF >> (need + 1));
    for (std::size_t i = 1; i < need; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return kInvalid;
        code = (code << 6) | (byte(i) & 0x3F);
    }
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[need] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return kInvalid;
    length = need;
    return code;
}

// The marks that change the order or direction of what follows them on a terminal, and the line
// and paragraph separators.
bool reorders_text(char32_t code) {
    return code == 0x061C || code == 0x200E || code == 0x200F ||
           (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069) ||
           code == 0x2028 || code == 0x2029;
}

} // namespace

AnswerVerdict classify_answer(const InfluxAnswer& answer, std::size_t lines) {
    const long status = answer.status;
    if (status == 0)
        return {AnswerKind::no_answer};
    if (status >= 200 && status <= 299)
        return {AnswerKind::sent};
    if (status == 400 || status == 422)
        return {AnswerKind::refused, partial_write_dropped(answer.text, lines)};
    if (status == 413)
        return lines > 1 ? AnswerVerdict{AnswerKind::too_large}
                         : AnswerVerdict{AnswerKind::refused, lines};
    // An authentication, a grant, a missing database or an outage: fixed on the server, and
    // then the same lines are welcome.
    return {AnswerKind::wait};
}

std::string answer_reason(const std::string& body) {
    std::string text = body;
    const nlohmann::json json = nlohmann::json::parse(body, nullptr, false);
    if (json.is_object())
        for (const char* member : {"error", "message"})
            if (const auto found = json.find(member); found != json.end() && found->is_string()) {
                text = found->get<std::string>();
                break;
            }
    std::string reason;
    bool space = false;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = 0;
        const char32_t code = next_code_point(text, at, length);
        std::string unit;
        if (code == kInvalid)
            unit = fmt::format("\\x{:02x}", static_cast<unsigned char>(text[at]));
        else if (code == ' ' || code == '\t' || code == '\n' || code == '\r')
            space = !reason.empty();
        else if (code < 0x20 || code == 0x7f)
            unit = fmt::format("\\x{:02x}", static_cast<unsigned>(code));
        else if ((code >= 0x80 && code <= 0x9f) || reorders_text(code))
            unit = fmt::format("\\u{:04x}", static_cast<unsigned>(code));
        else
            unit = text.substr(at, length);
        at += length;
        if (unit.empty())
            continue;
        const std::size_t gap = space ? 1 : 0;
        if (reason.size() + gap + unit.size() > kInfluxReasonBytes)
            break; // whole characters and escapes only
        if (space)
            reason += ' ';
        space = false;
        reason += unit;
    }
    return reason;
}

} // namespace tarn
