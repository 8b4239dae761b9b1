#include "exporters/influx/influx_batcher.h"

#include <spdlog/spdlog.h>

#include <fmt/format.h>

#include <algorithm>

namespace tarn {

InfluxBatcher::InfluxBatcher(std::size_t batch_size, std::size_t buffer_limit,
                             std::size_t max_body_bytes)
    : batch_size_(std::max<std::size_t>(batch_size, 1)), buffer_limit_(buffer_limit),
      max_body_bytes_(max_body_bytes), cap_bytes_(max_body_bytes) {}

void InfluxBatcher::keep_in(InfluxSpool& spool) {
    spool_ = &spool;
    std::vector<std::string> left = spool.take_left_lines();
    front_seq_ = left.empty() ? spool.next_seq() : spool.first_left_seq();
    unsaved_ = 0;
    if (!left.empty())
        spdlog::info("Influx buffer file {}: {} lines kept from before the start are posted first",
                     spool.path(), left.size());
    lines_.assign(std::make_move_iterator(left.begin()), std::make_move_iterator(left.end()));
}

void InfluxBatcher::write_ahead() {
    if (spool_ == nullptr)
        return;
    if (spool_->reopened_empty())
        unsaved_ = lines_.size();
    if (unsaved_ > 0 &&
        spool_->store(front_seq_ + (lines_.size() - unsaved_), lines_, lines_.size() - unsaved_))
        unsaved_ = 0;
}

void InfluxBatcher::forget(std::size_t count) {
    const std::size_t saved = lines_.size() - unsaved_;
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(count));
    front_seq_ += count;
    unsaved_ -= count > saved ? count - saved : 0;
    if (spool_ != nullptr && saved > 0)
        spool_->remove_through(front_seq_ - 1);
}

void InfluxBatcher::begin_feed() {
    stopped_ = PostingStop::none;
    feed_ = Feed{};
    feed_.buffered_at_begin = lines_.size();
}

void InfluxBatcher::add(std::string line) {
    lines_.push_back(std::move(line));
    ++unsaved_;
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
    while (count < lines_.size() && count < batch_size_) {
        const std::size_t longer = bytes + 1 + lines_[count].size();
        if (longer > cap_bytes_) {
            feed_.cut_by_cap = feed_.cut_by_cap || longer <= max_body_bytes_;
            break;
        }
        bytes = longer;
        ++count;
    }
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
        if (answer.status >= 200 && answer.status <= 299)
            said_.clear();
        else
            say(answer.message);
        if (answer.cut != PostCut::none)
            break;
        verdict = classify_answer(answer, count);
        if (verdict.kind != AnswerKind::too_large)
            break;
        // A body over the server's (or a proxy's) limit: the first half goes again at once.
        feed_.too_large = true;
        too_large_bytes = body.size();
        count /= 2;
    }
    if (answer.cut != PostCut::none) {
        // Stopped or out of time: what became of the batch is not known, so it stays first in
        // line (kept, or counted by end_feed).
        stop(answer.cut == PostCut::stop ? PostingStop::shutdown : PostingStop::out_of_time);
        feed_.unconfirmed = answer.cut == PostCut::late ? count : 0;
        return;
    }
    if (too_large_bytes > 0 && verdict.kind == AnswerKind::sent) {
        const std::size_t passed = count > 1 ? joined.size() : lines_.front().size();
        if (cap_bytes_ < max_body_bytes_) // a cap tried higher met the limit again
            raise_after_ = std::min(raise_after_ * 2, kMaxRaiseWait);
        raise_wait_ = raise_after_;
        cap_bytes_ = std::max<std::size_t>(passed, 1);
        spdlog::error("InfluxDB refused a body of {} bytes as too large (413); posting bodies of "
                      "at most {} bytes from now on",
                      too_large_bytes, cap_bytes_);
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
        // Every further post would wait out its time-out (or fail its handshake) too. The
        // batch stays in line: kept, or counted with the feed's skipped lines.
        stop(answer.tls_failure ? PostingStop::tls_failure : PostingStop::no_answer);
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
        forget(count);
    }
}

// A failing server answers every POST alike: the first of each message in an episode is
// logged, its repeats only counted, into the feed's last report line.
void InfluxBatcher::say(const std::string& message) {
    if (message.empty())
        return;
    if (std::find(said_.begin(), said_.end(), message) != said_.end()) {
        ++feed_.held_back;
        feed_.last_held_back = message;
        return;
    }
    said_.push_back(message);
    spdlog::error("{}", message);
}

void InfluxBatcher::end_feed() {
    std::vector<std::string> errors;
    if (!buffering()) {
        const std::size_t skipped = lines_.size();
        counters_.not_sent += skipped;
        forget(skipped);
        report_feed(errors);
        if (skipped > 0) {
            const char* why = stopped_ == PostingStop::out_of_time
                                  ? "posting used the whole interval"
                              : stopped_ == PostingStop::shutdown    ? "posting ended by the stop"
                              : stopped_ == PostingStop::tls_failure ? "TLS failure"
                                                                     : "unreachable";
            errors.push_back(fmt::format("Influx {}; skipped {} lines of this feed", why, skipped));
        }
        log_report(errors);
        return relax_cap();
    }
    if (lines_.size() > buffer_limit_) {
        const std::size_t dropped = lines_.size() - buffer_limit_;
        forget(dropped);
        counters_.dropped_buffer_full += dropped;
        spdlog::error("Influx buffer over its limit of {} lines; dropped the {} oldest",
                      buffer_limit_, dropped);
    }
    report_feed(errors);
    if (!lines_.empty()) {
        // A line built piece by piece holds up to twice its length; kept for long, it gives it
        // back.
        for (std::string& line : lines_)
            line.shrink_to_fit();
        const char* why = stopped_ == PostingStop::no_answer     ? "unreachable"
                          : stopped_ == PostingStop::tls_failure ? "TLS failure"
                          : stopped_ == PostingStop::server_busy ? "cannot take lines now"
                          : stopped_ == PostingStop::out_of_time ? "posting used the whole interval"
                                                                 : nullptr;
        // After the stop the last attempt at exit says what became of them.
        if (why != nullptr)
            errors.push_back(
                fmt::format("Influx {}; {} lines kept in the buffer", why, lines_.size()));
    }
    log_report(errors);
    relax_cap();
}

void InfluxBatcher::report_feed(std::vector<std::string>& errors) {
    const InfluxAnswer& failure = feed_.last_failure;
    if (feed_.failed && (failure.status != 0 || failure.tls_failure)) {
        const std::string reason = answer_reason(failure.text);
        const std::string problem = fmt::format("{} {}", failure.status, reason);
        // Lost lines are counted every feed; a reason alone is said when it changes.
        if (problem != problem_logged_ || (!buffering() && feed_.lost > 0)) {
            problem_logged_ = problem;
            if (failure.tls_failure)
                errors.push_back(fmt::format("InfluxDB TLS failure: {}; check ca_file (the CA "
                                             "that signed the server's certificate) and the host "
                                             "name in url",
                                             reason));
            else
                errors.push_back(fmt::format("InfluxDB answered {}{}{}; {} lines {}",
                                             failure.status, reason.empty() ? "" : ": ", reason,
                                             buffering() ? lines_.size() : feed_.lost,
                                             buffering() ? "kept in the buffer" : "dropped"));
        }
    }
    if (feed_.recovered && !failing_) {
        problem_logged_.clear();
        spdlog::info("InfluxDB accepts lines again; {} buffered lines sent",
                     std::min<std::uint64_t>(feed_.sent, feed_.buffered_at_begin));
    }
    if (feed_.refused > 0)
        errors.push_back(fmt::format("InfluxDB refused {} lines of this feed ({})", feed_.refused,
                                     feed_.refused_why));
}

void InfluxBatcher::log_report(std::vector<std::string>& errors) {
    if (feed_.held_back > 0) {
        if (errors.empty())
            errors.push_back(feed_.last_held_back);
        errors.back() += fmt::format(" ({} more like it in this feed)", feed_.held_back);
    }
    for (const std::string& error : errors)
        spdlog::error("{}", error);
}

void InfluxBatcher::relax_cap() {
    if (cap_bytes_ >= max_body_bytes_ || feed_.too_large || feed_.failed || feed_.sent == 0 ||
        --raise_wait_ > 0)
        return;
    raise_wait_ = raise_after_;
    // A cap that made no batch smaller has nothing left to hold back.
    cap_bytes_ = feed_.cut_by_cap ? std::min(cap_bytes_ * 2, max_body_bytes_) : max_body_bytes_;
    if (cap_bytes_ == max_body_bytes_)
        spdlog::info("InfluxDB takes whole batches again; bodies are no longer capped");
}

void InfluxBatcher::drop_at_exit() {
    std::vector<std::string> errors;
    report_feed(errors);
    if (spool_ != nullptr) {
        // What the file holds stays there for the next start; what it could not take is lost.
        write_ahead();
        if (lines_.size() > unsaved_)
            spdlog::info("Influx buffer: {} lines kept in {} for the next start",
                         lines_.size() - unsaved_, spool_->path());
        if (unsaved_ > 0)
            errors.push_back(fmt::format("Influx buffer: {} lines not sent before exit", unsaved_));
        counters_.dropped_at_exit += unsaved_;
        lines_.clear();
        unsaved_ = 0;
    } else if (!lines_.empty()) {
        // The oldest lines were those of the last POST.
        const std::size_t unconfirmed = std::min<std::size_t>(feed_.unconfirmed, lines_.size());
        counters_.dropped_at_exit += lines_.size();
        if (unconfirmed > 0)
            errors.push_back(
                fmt::format("Influx buffer: {} lines not confirmed before exit", unconfirmed));
        if (lines_.size() > unconfirmed)
            errors.push_back(fmt::format("Influx buffer: {} lines not sent before exit",
                                         lines_.size() - unconfirmed));
        lines_.clear();
    }
    log_report(errors);
}

InfluxCounters InfluxBatcher::counters() const {
    InfluxCounters counters = counters_;
    counters.buffered = lines_.size();
    counters.file = spool_;
    return counters;
}

} // namespace tarn
