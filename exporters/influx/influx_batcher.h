#pragma once

#include "exporters/influx/influx_answer.h"
#include "exporters/influx/influx_spool.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace tarn {

// What became of the lines handed to the batcher, since it was made.
struct InfluxCounters {
    std::uint64_t sent = 0;                // accepted by the server
    std::uint64_t refused = 0;             // refused by the server for their content (400, 422,
                                           // a single line too large), and given up
    std::uint64_t not_sent = 0;            // lost without a buffer: no answer, an error answer,
                                           // or posting stopped
    std::uint64_t dropped_buffer_full = 0; // the oldest, over the buffer limit
    std::uint64_t dropped_at_exit = 0;     // still waiting when the daemon stopped: not sent, or
                                           // sent but not confirmed in time
    std::uint64_t buffered = 0;            // waiting now
    const InfluxSpool* file = nullptr;     // with a buffer file: it, for its own figures
};

// Why posting ended before every waiting line was sent.
enum class PostingStop { none, no_answer, tls_failure, server_busy, out_of_time, shutdown };

// A POST body stays below this many bytes (before compression) whatever the batch size.
constexpr std::size_t kInfluxMaxBodyBytes = 4u << 20;

// Lines in the order they are handed over, posted in batches of at most batch_size lines joined
// with "\n". Without a buffer (buffer_limit 0) what a feed could not post is lost at the end of
// that feed; with one it is kept, up to buffer_limit lines (the oldest go first), and sent ahead
// of the next feed's lines.
class InfluxBatcher {
  public:
    // Posts one body, or declines to (a cut answer) when the stop came or no time is left: it
    // decides before every POST, the halves of a batch too large included.
    using Post = std::function<InfluxAnswer(const std::string& body)>;

    InfluxBatcher(std::size_t batch_size, std::size_t buffer_limit,
                  std::size_t max_body_bytes = kInfluxMaxBodyBytes);

    // With a buffer, keeps what it keeps in `spool` too (which outlives the batcher): the lines
    // found there go first, and from here on the lines a feed adds are written to it by
    // write_ahead() and leave it when they are settled (sent or refused) or dropped at the
    // limit. A write that fails leaves the lines in memory only; the next write_ahead() tries
    // them again.
    void keep_in(InfluxSpool& spool);
    bool writes_ahead() const { return spool_ != nullptr; }
    // Opens posting for a new feed (or the last attempt at exit).
    void begin_feed();
    void add(std::string line);
    // With a buffer file, commits the lines added since (and any its last write missed) before
    // the feed's first POST.
    void write_ahead();
    // True while posting is open and a batch waits: a whole one, or with `partial` any line.
    bool batch_waiting(bool partial) const;
    // Posts the oldest lines as one batch, as classify_answer says: sent or refused, they are
    // done with; too large, the batch is posted again at once in halves (and what passes caps
    // the bodies); an answer to wait on stops posting for the feed with a buffer (the lines stay
    // first in line) and costs only the batch without one; no answer, or a cut one, stops
    // posting for the feed (the batch stays in line: kept, or counted when the feed ends).
    // Each POST's message is logged once in an episode of failures; see say().
    void post_batch(const Post& post);
    void stop(PostingStop why);
    // Ends the feed: logs and counts what was not posted (lost, or kept and over the limit), the
    // lines refused and why, and the server's reason (without a buffer whenever lines were lost,
    // with one when it changed); the last of these lines counts the POST messages held back.
    // Then the body cap may rise (see cap_bytes_).
    void end_feed();
    // After the last attempt at exit: what still waits is logged with its count and dropped;
    // the lines of a POST that got no answer in time as not confirmed.
    void drop_at_exit();

    bool buffering() const { return buffer_limit_ > 0; }
    std::size_t waiting() const { return lines_.size(); }
    InfluxCounters counters() const;

  private:
    std::size_t batch_size_;
    std::size_t buffer_limit_;
    std::size_t max_body_bytes_;
    // The body size learned from a 413 episode: what passed after the halving. A ceiling, not a
    // fact: after feeds whose POSTs all passed under it (and no 413 came) it doubles, back to
    // max_body_bytes_, or is lifted at once when whole batches fit under it. Each 413 met while
    // a cap holds doubles the clean feeds the next rise waits for (up to kMaxRaiseWait), so that
    // a lasting limit is not posted over every other feed.
    std::size_t cap_bytes_;
    int raise_after_ = 1; // clean feeds between two rises
    int raise_wait_ = 1;  // clean feeds left before the next
    static constexpr int kMaxRaiseWait = 16;
    std::deque<std::string> lines_;
    // With a file: the sequence number of lines_.front() (the others follow it one by one), and
    // how many of the newest lines are not in the file yet.
    InfluxSpool* spool_ = nullptr;
    std::uint64_t front_seq_ = 1;
    std::size_t unsaved_ = 0;
    PostingStop stopped_ = PostingStop::none;
    InfluxCounters counters_;

    // The feed's own tally, for its log lines.
    struct Feed {
        std::size_t buffered_at_begin = 0;
        std::uint64_t sent = 0;
        std::uint64_t refused = 0;
        std::string refused_why;   // the first refusal's status and reason
        std::uint64_t lost = 0;    // without a buffer, to the last answer to wait on
        InfluxAnswer last_failure; // the feed's last answer that was not taken
        bool failed = false;
        bool recovered = false;      // sent again after a failure
        std::uint64_t held_back = 0; // POST messages not logged again in this feed
        std::string last_held_back;
        std::uint64_t unconfirmed = 0; // lines of the last POST whose answer came too late
        bool too_large = false;        // a 413 came
        bool cut_by_cap = false;       // a batch was made smaller by cap_bytes_
    } feed_;
    std::string problem_logged_; // the failure last explained in the log; empty: none since
    bool failing_ = false;       // a failure has been met and nothing sent since
    // The POST messages logged in this episode: an episode runs from a POST with a message
    // (an error answer, no answer) to the next POST the server accepts (2xx), feeds apart or
    // not; within it each message is logged once and its repeats are counted instead.
    std::vector<std::string> said_;

    void say(const std::string& message);
    // Adds the feed's report lines (the server's reason, the lines refused) to `errors`.
    void report_feed(std::vector<std::string>& errors);
    // Logs them, the last one ending with the count of messages held back.
    void log_report(std::vector<std::string>& errors);
    void relax_cap();
    // Removes the `count` oldest lines, and those of them in the file from it.
    void forget(std::size_t count);
};

} // namespace tarn
