#pragma once

#include <cstddef>
#include <string>

namespace tarn {

// Why a POST ended without an answer through no fault of the server's.
enum class PostCut {
    none,
    stop,    // the stop came before it or ended it
    no_time, // not posted: the feed's interval (or the exit attempt's time) was used up
    late,    // posted, but the time left ran out before the answer came
};

// How one POST came back. status 0: no answer (no connection, a time-out, a failed TLS
// handshake, no usable handle); then `text` is libcurl's explanation, otherwise the start of the
// answer's body.
struct InfluxAnswer {
    long status = 0;
    std::string text{};
    bool tls_failure = false; // the handshake or the server's certificate failed
    PostCut cut = PostCut::none;
    std::string message{}; // what to log of this POST ("Influx HTTP error: 401"); empty: nothing
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
// member of a JSON body, or the text itself; trimmed, runs of blanks, tabs and line breaks made one
// space, at most kInfluxReasonBytes bytes. Printable UTF-8 stays; other controls, the marks that
// reorder text on a terminal and invalid bytes are shown as escapes ("\x1b", "\u202e").
std::string answer_reason(const std::string& body);
constexpr std::size_t kInfluxReasonBytes = 300;

} // namespace tarn
