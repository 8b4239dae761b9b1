#include "exporters/web/credential_check.h"

#include "exporters/web/request_headers.h"
#include "platform/password_hash.h"

#include <openssl/evp.h>
#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace tarn {
namespace {

// Wrong pairs remembered at most; past it they are forgotten all at once, which costs an
// attacker nothing they did not have and bounds the memory.
constexpr std::size_t kRefusedRemembered = 4096;

std::string digest(const std::string& user, const std::string& password) {
    std::string input = user;
    input.push_back('\0');
    input += password;
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (::EVP_Digest(input.data(), input.size(), out, &size, ::EVP_sha256(), nullptr) != 1)
        return {}; // never remembered (see check)
    return std::string(reinterpret_cast<const char*>(out), size);
}

bool set_flags(int fd) {
    return ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0 &&
           ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

} // namespace

CredentialCheck::CredentialCheck(std::map<std::string, std::string> users)
    : users_(std::move(users)) {
    // A user name that is not configured still costs one bcrypt check at the same cost, so that
    // the time of a refusal does not tell which names exist.
    const std::string cost = users_.empty() ? "10" : users_.begin()->second.substr(4, 2);
    unknown_user_setting_ = "$2b$" + cost + "$" + std::string(22, '.');
}

CredentialCheck::~CredentialCheck() {
    if (worker_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        worker_.join();
    }
    if (ready_read_ >= 0)
        ::close(ready_read_);
    if (ready_write_ >= 0)
        ::close(ready_write_);
}

bool CredentialCheck::start() {
    int ends[2];
    if (::pipe(ends) != 0) {
        spdlog::error("Cannot make the credential check's pipe: {}", std::strerror(errno));
        return false;
    }
    ready_read_ = ends[0];
    ready_write_ = ends[1];
    if (!set_flags(ready_read_) || !set_flags(ready_write_)) {
        spdlog::error("Cannot make the credential check's pipe: {}", std::strerror(errno));
        return false;
    }
    try {
        worker_ = std::thread([this] { work(); });
    } catch (const std::system_error& error) {
        spdlog::error("Cannot start the credential check thread: {}", error.what());
        return false;
    }
    return true;
}

CredentialCheck::Verdict CredentialCheck::check(std::optional<std::string_view> authorization,
                                                std::uint64_t ticket) {
    if (!authorization)
        return Verdict::refused;
    const std::optional<BasicCredentials> credentials = parse_basic_authorization(*authorization);
    if (!credentials)
        return Verdict::refused;
    Key key = digest(credentials->user, credentials->password);
    if (key.empty())
        return Verdict::refused;
    if (verified_.count(key) != 0)
        return Verdict::allowed;
    if (refused_.count(key) != 0)
        return Verdict::refused;
    pending_[ticket] = key;
    std::vector<std::uint64_t>& tickets = waiting_[key];
    tickets.push_back(ticket);
    if (tickets.size() > 1)
        return Verdict::pending; // the same pair is being checked already
    const auto user = users_.find(credentials->user);
    Job job;
    job.key = std::move(key);
    job.password = credentials->password;
    job.known_user = user != users_.end();
    job.hash = job.known_user ? user->second : unknown_user_setting_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return Verdict::pending;
}

void CredentialCheck::cancel(std::uint64_t ticket) {
    const auto pending = pending_.find(ticket);
    if (pending == pending_.end())
        return;
    const Key key = pending->second;
    pending_.erase(pending);
    std::vector<std::uint64_t>& tickets = waiting_[key];
    tickets.erase(std::remove(tickets.begin(), tickets.end(), ticket), tickets.end());
    if (!tickets.empty())
        return;
    waiting_.erase(key);
    // A check nobody waits for is dropped unless the worker has begun it.
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.erase(std::remove_if(queue_.begin(), queue_.end(),
                                [&](const Job& job) { return job.key == key; }),
                 queue_.end());
}

std::vector<std::pair<std::uint64_t, bool>> CredentialCheck::take_verdicts() {
    char drain[64];
    while (::read(ready_read_, drain, sizeof drain) > 0) {
    }
    std::vector<Result> results;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        results.swap(results_);
    }
    std::vector<std::pair<std::uint64_t, bool>> verdicts;
    for (const Result& result : results) {
        if (result.allowed) {
            verified_.insert(result.key);
        } else {
            if (refused_.size() >= kRefusedRemembered)
                refused_.clear();
            refused_.insert(result.key);
        }
        const auto waiting = waiting_.find(result.key);
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

void CredentialCheck::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_)
            return;
        Job job = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        const std::string hash = crypt_hash(job.password, job.hash);
        // Every byte is compared, so that the time taken does not tell how much matched.
        bool same = hash.size() == job.hash.size();
        unsigned char difference = 0;
        for (std::size_t i = 0; same && i < hash.size(); ++i)
            difference |= static_cast<unsigned char>(hash[i] ^ job.hash[i]);
        const bool allowed = job.known_user && same && difference == 0;
        lock.lock();
        results_.push_back({std::move(job.key), allowed});
        // One byte says "look": a full pipe already says so.
        const char signal = 1;
        [[maybe_unused]] const ssize_t written = ::write(ready_write_, &signal, 1);
    }
}

} // namespace tarn
