#include "exporters/influx/influx_batcher.h"

#include <spdlog/spdlog.h>

#include <fmt/format.h>

#include <algorithm>

namespace tarn {

InfluxBatcher::InfluxBatcher(std::size_t batch_size, std::size_t buffer_limit,
                             std::size_t max_body_bytes)
    : batch_size_(std::max<std::size_t>(batch_size, 1)), buffer_limit_(buffer_limit),
      max_body_bytes_(max_body_bytes) {}

void InfluxBatcher::begin_feed() {
    stopped_ = PostingStop::none;
    feed_ = Feed{};
    feed_.buffered_at_begin = lines_.size();
}

void InfluxBatcher::add(std::string line) {
    lines_.push_back(std::move(line));
}

bool InfluxBatcher::batch_waiting(bool partial) const {
    return stopped_ == PostingStop::none && !lines_.empty() &&
           (partial || lines_.size() >= batch_size_);
}

void InfluxBatcher::stop(PostingStop why) {
    stopped_ = why;
}

void InfluxBatcher::post_batch(const Post& post) {
    std::size_t count = 1;
    std::size_t bytes = lines_.front().size();
    while (count < lines_.size() && count < batch_size_ &&
           bytes + 1 + lines_[count].size() <= max_body_bytes_)
        bytes += 1 + lines_[count++].size();
    std::string joined;
    InfluxAnswer answer;
    AnswerVerdict verdict{AnswerKind::sent};
    std::size_t too_large_bytes = 0;
    for (;;) {
        joined.clear();
        if (count > 1) {
            for (std::size_t i = 0; i < count; ++i) {
                if (i > 0)
                    joined += '\n';
                joined += lines_[i];
            }
        }
        const std::string& body = count > 1 ? joined : lines_.front();
        answer = post(body);
        verdict = classify_answer(answer, count);
        if (verdict.kind != AnswerKind::too_large)
            break;
        // A body over the server's (or a proxy's) limit: the first half goes again at once.
        too_large_bytes = body.size();
        count /= 2;
    }
    if (too_large_bytes > 0 && verdict.kind == AnswerKind::sent) {
        const std::size_t passed = count > 1 ? joined.size() : lines_.front().size();
        max_body_bytes_ = std::max<std::size_t>(passed, 1);
        spdlog::error("InfluxDB refused a body of {} bytes as too large (413); posting bodies of "
                      "at most {} bytes from now on",
                      too_large_bytes, max_body_bytes_);
    }

    // Without a buffer a failed batch is lost either way; with one, only what a retry cannot
    // change (a refusal) is given up, and the rest waits for the next feed in its place.
    std::size_t refused = 0;
    std::uint64_t* done = nullptr;
    switch (verdict.kind) {
    case AnswerKind::sent:
        done = &counters_.sent;
        break;
    case AnswerKind::refused:
        refused = verdict.refused;
        done = &counters_.sent; // a partial write stored the lines it did not name
        break;
    case AnswerKind::too_large: // never left by the loop above
    case AnswerKind::wait:
        if (buffering()) {
            stop(PostingStop::server_busy);
        } else {
            done = &counters_.not_sent; // an error answer costs only its own batch
            feed_.lost += count;
        }
        break;
    case AnswerKind::no_answer:
        // Every further post would wait out its time-out (or fail its handshake) too.
        stop(answer.tls_failure ? PostingStop::tls_failure : PostingStop::no_answer);
        if (!buffering())
            done = &counters_.not_sent;
        break;
    }
    if (verdict.kind == AnswerKind::sent || verdict.kind == AnswerKind::refused) {
        feed_.sent += count - refused;
        if (count > refused && failing_) {
            failing_ = false;
            feed_.recovered = true;
        }
    } else {
        failing_ = true;
        // A refused connection says less than the answer before it.
        if (answer.status != 0 || answer.tls_failure || !feed_.failed)
            feed_.last_failure = std::move(answer);
        feed_.failed = true;
    }
    if (refused > 0) {
        counters_.refused += refused;
        feed_.refused += refused;
        if (feed_.refused_why.empty()) {
            const std::string reason = answer_reason(answer.text);
            feed_.refused_why = reason.empty() ? std::to_string(answer.status)
                                               : fmt::format("{}: {}", answer.status, reason);
        }
    }
    if (done != nullptr) {
        *done += count - refused;
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(count));
    }
}

void InfluxBatcher::end_feed() {
    if (!buffering()) {
        if (lines_.empty())
            return report_feed();
        const std::size_t skipped = lines_.size();
        counters_.not_sent += skipped;
        lines_.clear();
        report_feed();
        if (stopped_ == PostingStop::out_of_time)
            spdlog::error("Influx posting used the whole interval; skipped {} lines of this feed",
                          skipped);
        else if (stopped_ == PostingStop::shutdown)
            spdlog::error("Influx posting ended by the stop; skipped {} lines of this feed",
                          skipped);
        else if (stopped_ == PostingStop::tls_failure)
            spdlog::error("Influx TLS failure; skipped {} lines of this feed", skipped);
        else
            spdlog::error("Influx unreachable; skipped {} lines of this feed", skipped);
        return;
    }
    if (lines_.size() > buffer_limit_) {
        const std::size_t dropped = lines_.size() - buffer_limit_;
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(dropped));
        counters_.dropped_buffer_full += dropped;
        spdlog::error("Influx buffer over its limit of {} lines; dropped the {} oldest",
                      buffer_limit_, dropped);
    }
    report_feed();
    if (lines_.empty())
        return;
    // A line built piece by piece holds up to twice its length; kept for long, it gives it back.
    for (std::string& line : lines_)
        line.shrink_to_fit();
    switch (stopped_) {
    case PostingStop::no_answer:
        spdlog::error("Influx unreachable; {} lines kept in the buffer", lines_.size());
        break;
    case PostingStop::tls_failure:
        spdlog::error("Influx TLS failure; {} lines kept in the buffer", lines_.size());
        break;
    case PostingStop::server_busy:
        spdlog::error("Influx cannot take lines now; {} lines kept in the buffer", lines_.size());
        break;
    case PostingStop::out_of_time:
        spdlog::error("Influx posting used the whole interval; {} lines kept in the buffer",
                      lines_.size());
        break;
    case PostingStop::none:
    case PostingStop::shutdown: // the last attempt at exit says what became of them
        break;
    }
}

void InfluxBatcher::report_feed() {
    const InfluxAnswer& failure = feed_.last_failure;
    if (feed_.failed && (failure.status != 0 || failure.tls_failure)) {
        const std::string reason = answer_reason(failure.text);
        const std::string problem = fmt::format("{} {}", failure.status, reason);
        if (problem != problem_logged_) {
            problem_logged_ = problem;
            if (failure.tls_failure)
                spdlog::error("InfluxDB TLS failure: {}; check ca_file (the CA that signed the "
                              "server's certificate) and the host name in url",
                              reason);
            else
                spdlog::error("InfluxDB answered {}{}{}; {} lines {}", failure.status,
                              reason.empty() ? "" : ": ", reason,
                              buffering() ? lines_.size() : feed_.lost,
                              buffering() ? "kept in the buffer" : "dropped");
        }
    }
    if (feed_.recovered && !failing_) {
        problem_logged_.clear();
        spdlog::info("InfluxDB accepts lines again; {} buffered lines sent",
                     std::min<std::uint64_t>(feed_.sent, feed_.buffered_at_begin));
    }
    if (feed_.refused > 0)
        spdlog::error("InfluxDB refused {} lines of this feed ({})", feed_.refused,
                      feed_.refused_why);
}

void InfluxBatcher::drop_at_exit() {
    report_feed();
    if (lines_.empty())
        return;
    counters_.dropped_at_exit += lines_.size();
    spdlog::error("Influx buffer: {} lines not sent before exit", lines_.size());
    lines_.clear();
}

InfluxCounters InfluxBatcher::counters() const {
    InfluxCounters counters = counters_;
    counters.buffered = lines_.size();
    return counters;
}

} // namespace tarn
