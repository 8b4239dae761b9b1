#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarn {

// Basic authentication against bcrypt hashes, without stalling the event loop: a bcrypt check
// costs tens of milliseconds, so checks run on a worker thread of their own, and the loop parks
// the connection until the verdict comes back through a pipe it watches. The pair last verified
// for each user is remembered, so a scraper with the right password pays for bcrypt once; a wrong
// pair is remembered for a while too, and connections that send the same pair under the same user
// list share one check. Pairs are remembered as an HMAC under a secret drawn at start: no password,
// and no plain digest of one, is kept in memory.
//
// All members run on the server thread. The worker's state outlives this object, so that ending
// it never waits for a check under way.
class CredentialCheck {
  public:
    // users: user name to bcrypt hash (checked already by the web config reader); none: every
    // request is allowed.
    explicit CredentialCheck(std::map<std::string, std::string> users);
    ~CredentialCheck();
    CredentialCheck(const CredentialCheck&) = delete;
    CredentialCheck& operator=(const CredentialCheck&) = delete;

    // Makes the pipe and starts the worker; logs and returns false on failure.
    bool start();

    // Readable when verdicts wait to be taken (non-blocking, close-on-exec).
    int ready_fd() const { return ready_read_; }

    // A reloaded user list: what was remembered is forgotten, and checks under way still answer
    // the connections that asked (under the list they asked under) but are not remembered; a
    // request from now on gets a check of its own against the new list, never the verdict of one
    // asked before.
    void replace_users(std::map<std::string, std::string> users);

    // False while the user list is empty: every request is let in.
    bool active() const { return !users_.empty(); }

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
    using Key = std::string; // HMAC of user and password
    // A check under way: the pair, and the user list it is made against.
    using Asked = std::pair<std::uint64_t, Key>;

    struct Job {
        Key key;
        std::string user;
        std::string password;
        std::string hash; // the user's, or a stand-in that never matches for an unknown user
        bool known_user = false;
        std::uint64_t generation = 0; // of the user list it was asked under
    };
    struct Result {
        Key key;
        std::string user;
        bool allowed = false;
        std::uint64_t generation = 0;
    };
    // What the worker uses; shared with it, under mutex.
    struct Shared {
        ~Shared();
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<Job> queue;
        std::vector<Result> results;
        bool stopping = false;
        int ready_write = -1;
    };

    static void work(std::shared_ptr<Shared> shared);
    Key key_of(const std::string& user, const std::string& password) const;

    std::map<std::string, std::string> users_;
    std::string unknown_user_setting_;
    std::string secret_;           // the HMAC key, random per process
    std::uint64_t generation_ = 0; // counts user lists

    // Server thread only.
    std::map<std::string, Key> verified_; // one pair per user: bounded by the user list
    std::set<Key> refused_;               // emptied when it grows past a bound
    std::map<Asked, std::vector<std::uint64_t>> waiting_; // tickets per pending check
    std::unordered_map<std::uint64_t, Asked> pending_;    // the check of each ticket

    std::shared_ptr<Shared> shared_;
    int ready_read_ = -1;
    bool started_ = false;
};

} // namespace tarn
