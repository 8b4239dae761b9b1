#include "exporters/influx/influx_batcher.h"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace tarn {

InfluxBatcher::InfluxBatcher(std::size_t batch_size, std::size_t buffer_limit,
                             std::size_t max_body_bytes)
    : batch_size_(std::max<std::size_t>(batch_size, 1)), buffer_limit_(buffer_limit),
      max_body_bytes_(max_body_bytes) {}

void InfluxBatcher::begin_feed() {
    stopped_ = PostingStop::none;
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
    if (count > 1) {
        joined.reserve(bytes);
        for (std::size_t i = 0; i < count; ++i) {
            if (i > 0)
                joined += '\n';
            joined += lines_[i];
        }
    }
    const PostResult result = post(count > 1 ? joined : lines_.front());

    // Without a buffer a failed batch is lost either way; with one, only what a retry cannot
    // change (a refusal) is given up, and the rest waits for the next feed in its place.
    std::uint64_t* done = nullptr;
    switch (result) {
    case PostResult::accepted:
        done = &counters_.sent;
        break;
    case PostResult::rejected:
        done = &counters_.refused;
        break;
    case PostResult::retry_later:
        if (buffering())
            stop(PostingStop::server_busy);
        else
            done = &counters_.refused; // an error answer costs only its own batch
        break;
    case PostResult::no_answer:
        stop(PostingStop::no_answer); // every further post would wait out its time-out too
        if (!buffering())
            done = &counters_.not_sent;
        break;
    }
    if (done != nullptr) {
        *done += count;
        lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(count));
    }
}

void InfluxBatcher::end_feed() {
    if (!buffering()) {
        if (lines_.empty())
            return;
        const std::size_t skipped = lines_.size();
        counters_.not_sent += skipped;
        lines_.clear();
        if (stopped_ == PostingStop::out_of_time)
            spdlog::error("Influx posting used the whole interval; skipped {} lines of this feed",
                          skipped);
        else if (stopped_ == PostingStop::shutdown)
            spdlog::error("Influx posting ended by the stop; skipped {} lines of this feed",
                          skipped);
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
    if (lines_.empty())
        return;
    // A line built piece by piece holds up to twice its length; kept for long, it gives it back.
    for (std::string& line : lines_)
        line.shrink_to_fit();
    switch (stopped_) {
    case PostingStop::no_answer:
        spdlog::error("Influx unreachable; {} lines kept in the buffer", lines_.size());
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

void InfluxBatcher::drop_at_exit() {
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
