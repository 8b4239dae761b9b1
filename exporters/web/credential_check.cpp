#include "exporters/web/credential_check.h"

#include "exporters/web/request_headers.h"
#include "platform/password_hash.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>
#include <thread>

namespace tarn {
namespace {

// Wrong pairs remembered at most; past it they are forgotten all at once, which costs an
// attacker nothing they did not have and bounds the memory.
constexpr std::size_t kRefusedRemembered = 4096;
constexpr std::size_t kSecretBytes = 32;

bool set_flags(int fd) {
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 &&
           ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

// A user name that is not configured still costs one bcrypt check at the cost of the first user,
// so that the time of a refusal does not tell which names exist (when all costs are equal).
std::string unknown_user_setting(const std::map<std::string, std::string>& users) {
    const std::string cost = users.empty() ? "10" : users.begin()->second.substr(4, 2);
    return "$2b$" + cost + "$" + std::string(22, '.');
}

} // namespace

CredentialCheck::Shared::~Shared() {
    if (ready_write >= 0)
        ::close(ready_write);
}

CredentialCheck::CredentialCheck(std::map<std::string, std::string> users)
    : users_(std::move(users)), unknown_user_setting_(unknown_user_setting(users_)),
      shared_(std::make_shared<Shared>()) {
    unsigned char secret[kSecretBytes];
    if (::RAND_bytes(secret, sizeof secret) == 1)
        secret_.assign(reinterpret_cast<const char*>(secret), sizeof secret);
}

CredentialCheck::~CredentialCheck() {
    {
        // The worker sees this before it would signal again, and ends after its check; the
        // shared state goes with the last of the two.
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->wake.notify_one();
    if (ready_read_ >= 0)
        ::close(ready_read_);
}

bool CredentialCheck::start() {
    int ends[2];
    if (::pipe(ends) != 0) {
        spdlog::error("Cannot make the credential check's pipe: {}", std::strerror(errno));
        return false;
    }
    ready_read_ = ends[0];
    shared_->ready_write = ends[1];
    if (!set_flags(ready_read_) || !set_flags(ends[1])) {
        spdlog::error("Cannot make the credential check's pipe: {}", std::strerror(errno));
        return false;
    }
    try {
        std::thread(work, shared_).detach();
    } catch (const std::system_error& error) {
        spdlog::error("Cannot start the credential check thread: {}", error.what());
        return false;
    }
    started_ = true;
    return true;
}

void CredentialCheck::replace_users(std::map<std::string, std::string> users) {
    users_ = std::move(users);
    unknown_user_setting_ = unknown_user_setting(users_);
    ++generation_;
    verified_.clear();
    refused_.clear();
}

CredentialCheck::Key CredentialCheck::key_of(const std::string& user,
                                             const std::string& password) const {
    std::string input = user;
    input.push_back('\0');
    input += password;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (secret_.empty() || ::HMAC(::EVP_sha256(), secret_.data(), static_cast<int>(secret_.size()),
                                  reinterpret_cast<const unsigned char*>(input.data()),
                                  input.size(), out, &size) == nullptr)
        return {}; // never remembered (see check)
    return std::string(reinterpret_cast<const char*>(out), size);
}

CredentialCheck::Verdict CredentialCheck::check(std::optional<std::string_view> authorization,
                                                std::uint64_t ticket) {
    if (users_.empty())
        return Verdict::allowed;
    if (!authorization || !started_)
        return Verdict::refused;
    const std::optional<BasicCredentials> credentials = parse_basic_authorization(*authorization);
    if (!credentials)
        return Verdict::refused;
    // crypt() would stop at the NUL and let "right\0anything" in as "right".
    if (credentials->password.find('\0') != std::string::npos)
        return Verdict::refused;
    Key key = key_of(credentials->user, credentials->password);
    if (key.empty())
        return Verdict::refused;
    const auto verified = verified_.find(credentials->user);
    if (verified != verified_.end() && verified->second == key)
        return Verdict::allowed;
    if (refused_.count(key) != 0)
        return Verdict::refused;
    const Asked asked{generation_, key};
    pending_[ticket] = asked;
    std::vector<std::uint64_t>& tickets = waiting_[asked];
    tickets.push_back(ticket);
    if (tickets.size() > 1)
        return Verdict::pending; // the same pair is being checked against this list already
    const auto user = users_.find(credentials->user);
    Job job;
    job.key = std::move(key);
    job.user = credentials->user;
    job.password = credentials->password;
    job.known_user = user != users_.end();
    job.hash = job.known_user ? user->second : unknown_user_setting_;
    job.generation = generation_;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->queue.push_back(std::move(job));
    }
    shared_->wake.notify_one();
    return Verdict::pending;
}

void CredentialCheck::cancel(std::uint64_t ticket) {
    const auto pending = pending_.find(ticket);
    if (pending == pending_.end())
        return;
    const Asked asked = pending->second;
    pending_.erase(pending);
    std::vector<std::uint64_t>& tickets = waiting_[asked];
    tickets.erase(std::remove(tickets.begin(), tickets.end(), ticket), tickets.end());
    if (!tickets.empty())
        return;
    waiting_.erase(asked);
    // A check nobody waits for is dropped unless the worker has begun it.
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->queue.erase(std::remove_if(shared_->queue.begin(), shared_->queue.end(),
                                        [&](const Job& job) {
                                            return job.generation == asked.first &&
                                                   job.key == asked.second;
                                        }),
                         shared_->queue.end());
}

std::vector<std::pair<std::uint64_t, bool>> CredentialCheck::take_verdicts() {
    char drain[64];
    while (::read(ready_read_, drain, sizeof drain) > 0) {
    }
    std::vector<Result> results;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        results.swap(shared_->results);
    }
    std::vector<std::pair<std::uint64_t, bool>> verdicts;
    for (Result& result : results) {
        if (result.generation != generation_) {
            // Asked under the previous user list: answered, not remembered.
        } else if (result.allowed) {
            verified_[result.user] = result.key;
        } else {
            if (refused_.size() >= kRefusedRemembered)
                refused_.clear();
            refused_.insert(result.key);
        }
        const auto waiting = waiting_.find({result.generation, result.key});
        if (waiting == waiting_.end())
            continue; // every connection that asked is gone
        for (const std::uint64_t ticket : waiting->second) {
            verdicts.emplace_back(ticket, result.allowed);
            pending_.erase(ticket);
        }
        waiting_.erase(waiting);
    }
    return verdicts;
}

void CredentialCheck::work(std::shared_ptr<Shared> shared) {
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->stopping || !shared->queue.empty(); });
        if (shared->stopping)
            return;
        Job job = std::move(shared->queue.front());
        shared->queue.pop_front();
        lock.unlock();
        bool allowed = false;
        try {
            const std::string hash = crypt_hash(job.password, job.hash);
            // Every byte is compared, so that the time taken does not tell how much matched.
            bool same = hash.size() == job.hash.size();
            unsigned char difference = 0;
            for (std::size_t i = 0; same && i < hash.size(); ++i)
                difference |= static_cast<unsigned char>(hash[i] ^ job.hash[i]);
            allowed = job.known_user && same && difference == 0;
        } catch (const std::exception&) {
            allowed = false; // out of memory, say: that pair is refused, the daemon goes on
        }
        lock.lock();
        if (shared->stopping)
            return;
        shared->results.push_back(
            {std::move(job.key), std::move(job.user), allowed, job.generation});
        // One byte says "look": a full pipe already says so.
        const char signal = 1;
        [[maybe_unused]] const ssize_t written = ::write(shared->ready_write, &signal, 1);
    }
}

} // namespace tarn
