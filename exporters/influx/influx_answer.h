#pragma once

#include <cstddef>
#include <string>

namespace tarn {

// How one POST came back. status 0: no answer (no connection, a time-out, a failed TLS
// handshake, no usable handle); then `text` is libcurl's explanation, otherwise the start of the
// answer's body.
struct InfluxAnswer {
    long status = 0;
    std::string text{};
    bool tls_failure = false; // the handshake or the server's certificate failed
};

// The most of an answer's body the writer keeps: enough for any reason InfluxDB gives.
constexpr std::size_t kInfluxAnswerBodyBytes = 4096;

// What becomes of a batch after its answer.
enum class AnswerKind {
    sent,      // 2xx: stored
    refused,   // 400, 422: the data's fault; a partial write refuses only the lines it names
    too_large, // 413: post the batch again in halves (a single line is refused)
    wait,      // 401, 403, 404, 429, 5xx, any other answer: kept in the buffer when there is one
    no_answer, // no answer at all: the server is not worth trying again in this feed
};

struct AnswerVerdict {
    AnswerKind kind;
    std::size_t refused = 0; // of the batch's lines; the others were stored (kind sent/refused)
};

// One verdict per answer, for a batch of `lines` lines.
AnswerVerdict classify_answer(const InfluxAnswer& answer, std::size_t lines);

// The server's reason from an answer's body, fit for one log line: the "error" or "message"
// member of a JSON body, or the text itself; trimmed, control characters dropped, at most
// kInfluxReasonBytes bytes.
std::string answer_reason(const std::string& body);
constexpr std::size_t kInfluxReasonBytes = 300;

} // namespace tarn
