#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tarn {

// Basic authentication against bcrypt hashes, without stalling the event loop: a bcrypt check
// costs tens of milliseconds, so checks run on a worker thread of their own, and the loop parks
// the connection until the verdict comes back through a pipe it watches. A pair once verified is
// remembered, so a scraper with the right password pays for bcrypt once; a wrong pair is
// remembered for a while too, and connections that send the same pair share one check.
//
// All members but the worker run on the server thread.
class CredentialCheck {
  public:
    // users: user name to bcrypt hash (checked already by the web config reader).
    explicit CredentialCheck(std::map<std::string, std::string> users);
    ~CredentialCheck();
    CredentialCheck(const CredentialCheck&) = delete;
    CredentialCheck& operator=(const CredentialCheck&) = delete;

    // Makes the pipe and starts the worker; logs and returns false on failure.
    bool start();

    // Readable when verdicts wait to be taken (non-blocking, close-on-exec).
    int ready_fd() const { return ready_read_; }

    enum class Verdict { allowed, refused, pending };

    // The verdict on a request's Authorization value (absent: refused), at once when it is known;
    // otherwise a check is queued for ticket and the answer is pending.
    Verdict check(std::optional<std::string_view> authorization, std::uint64_t ticket);

    // The connection of ticket is gone: its check is not needed any longer.
    void cancel(std::uint64_t ticket);

    // The tickets whose checks have finished, with their verdicts (allowed true); empties the
    // pipe.
    std::vector<std::pair<std::uint64_t, bool>> take_verdicts();

  private:
    using Key = std::string; // SHA-256 of user and password: no password is kept in memory

    struct Job {
        Key key;
        std::string password;
        std::string hash; // the user's, or a stand-in that never matches for an unknown user
        bool known_user = false;
    };
    struct Result {
        Key key;
        bool allowed = false;
    };

    void work();

    std::map<std::string, std::string> users_;
    std::string unknown_user_setting_;

    // Server thread only.
    std::set<Key> verified_;
    std::set<Key> refused_; // emptied when it grows past a bound
    std::unordered_map<Key, std::vector<std::uint64_t>> waiting_; // tickets per pending check
    std::unordered_map<std::uint64_t, Key> pending_;              // the check of each ticket

    // Shared with the worker, under mutex_.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    std::vector<Result> results_;
    bool stopping_ = false;

    int ready_read_ = -1;
    int ready_write_ = -1;
    std::thread worker_;
};

} // namespace tarn
