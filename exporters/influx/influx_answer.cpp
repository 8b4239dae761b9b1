#include "exporters/influx/influx_answer.h"

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
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || byte == ' ') {
            space = !reason.empty();
            continue;
        }
        if (space)
            reason += ' ';
        space = false;
        reason += c;
        if (reason.size() >= kInfluxReasonBytes)
            break;
    }
    if (reason.size() > kInfluxReasonBytes) {
        reason.resize(kInfluxReasonBytes);
    }
    // Never end inside a UTF-8 sequence.
    std::size_t end = reason.size();
    while (end > 0 && (static_cast<unsigned char>(reason[end - 1]) & 0xC0) == 0x80)
        --end;
    if (end > 0 && static_cast<unsigned char>(reason[end - 1]) >= 0xC0) {
        const auto lead = static_cast<unsigned char>(reason[end - 1]);
        const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
        if (reason.size() - (end - 1) < length)
            reason.resize(end - 1);
    }
    return reason;
}

} // namespace tarn
