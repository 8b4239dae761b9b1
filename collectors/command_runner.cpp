#include "collectors/command_runner.h"

#include "collectors/abandoned_tools.h"
#include "platform/run_flag.h"
#include "platform/spawn_actions.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

extern char** environ;

namespace tarn {
namespace {

using Clock = std::chrono::steady_clock;

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
};

struct Finished {
    std::string text;
    bool completed = false; // output read to its end and the tool reaped in time
    int status = 0;         // as waitpid reports it
    bool executed = true;   // false: the tool could not be executed at all
    ToolFailure failure = ToolFailure::none;
};

// Rounded up, so that a wait never ends just before its deadline and spins.
int milliseconds_left(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// How often a waiting runner looks at the run flag.
constexpr int kStopCheckMs = 100;

// The deadline, brought forward to kStopGrace from now once the daemon is stopping.
Clock::time_point effective_deadline(Clock::time_point& deadline, bool& stop_seen) {
    if (!stop_seen && !running()) {
        stop_seen = true;
        deadline = std::min(deadline, Clock::now() + kStopGrace);
    }
    return deadline;
}

enum class Exit { reaped, running, failed };

// The tool has closed its output (or was killed), so it is normally gone within microseconds:
// the first naps are short, and only a tool that keeps running backs off to 2 ms between checks.
Exit wait_for_exit(pid_t pid, Clock::time_point deadline, int& status, bool* stop_seen = nullptr) {
    useconds_t nap = 20;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return Exit::reaped;
        if (r < 0 && errno != EINTR)
            return Exit::failed;
        if (stop_seen != nullptr)
            effective_deadline(deadline, *stop_seen);
        if (Clock::now() >= deadline)
            return Exit::running;
        ::usleep(nap);
        nap = std::min<useconds_t>(nap * 2, 2000);
    }
}

// Kills the command's process group (the tool and whatever it started) and reaps the tool, or
// leaves it behind when it has not ended within kKillGrace.
void kill_and_reap(pid_t pid, const std::string& key, const CommandLine& command) {
    ::kill(-pid, SIGKILL);
    int status = 0;
    if (wait_for_exit(pid, Clock::now() + kKillGrace, status) == Exit::running)
        abandon_tool(pid, key, command.front());
}

// The command as one text that tells different argument vectors apart.
std::string command_key(const CommandLine& command) {
    std::string key;
    for (const std::string& word : command)
        key.append(word).push_back('\0');
    return key;
}

// errno values of a spawn whose tool could not be executed (missing, not executable, not a
// program); a shell would have started and complained, so the command still counts as run.
bool tool_not_executable(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case ENOEXEC:
    case ELOOP:
    case ENAMETOOLONG:
    case ETXTBSY:
    case EISDIR:
        return true;
    default:
        return false;
    }
}

// One line on stderr, written at once so that lines of parallel collectors do not interleave.
void complain(const std::string& tool, int error) {
    const char* reason = "cannot execute";
    if (error == ENOENT || error == ENOTDIR)
        reason = "not found";
    else if (error == EACCES || error == EPERM)
        reason = "Permission denied";
    else if (error == ENOEXEC)
        reason = "Exec format error";
    std::string line = tool;
    line.append(": ").append(reason).append("\n");
    while (::write(STDERR_FILENO, line.data(), line.size()) < 0 && errno == EINTR) {
    }
}

std::optional<Finished> run(const CommandLine& command) {
    if (command.empty() || command.front().empty())
        return std::nullopt;
    // Absent, as after a time-out: a stopping daemon starts nothing, and a command whose last
    // run is stuck would only get stuck too.
    const std::string key = command_key(command);
    if (!running())
        return Finished{};
    if (tool_still_abandoned(key)) {
        Finished stuck;
        stuck.failure = ToolFailure::timeout;
        return stuck;
    }
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str())); // posix_spawn does not write to them
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    Descriptor read_end(fds[0]);
    Descriptor write_end(fds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return std::nullopt;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return std::nullopt;
    }
    // dup2 clears close-on-exec on the child's standard output only; then nothing else of the
    // daemon's stays open in the tool.
    if (posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO) != 0 ||
        !add_close_above_stderr(actions)) {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        return std::nullopt;
    }
    // Its own process group, so that a time-out can end the tool together with its children.
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    // The path as given, not searched for; a failed exec comes back as the result.
    const int spawned =
        posix_spawn(&pid, command.front().c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        if (!tool_not_executable(spawned))
            return std::nullopt;
        complain(command.front(), spawned);
        // As through a shell: the command ran (and failed) without output.
        Finished result;
        result.completed = true;
        result.executed = false;
        result.failure = ToolFailure::not_executable;
        return result;
    }
    write_end.reset();

    auto deadline = Clock::now() + kCommandTimeLimit;
    bool stop_seen = false;
    Finished result;
    char buffer[4096];
    for (;;) {
        pollfd pfd{read_end.get(), POLLIN, 0};
        const int wait_ms =
            std::min(milliseconds_left(effective_deadline(deadline, stop_seen)), kStopCheckMs);
        int ready = ::poll(&pfd, 1, wait_ms);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0 && Clock::now() < deadline)
            continue;     // a look at the run flag
        if (ready <= 0) { // time limit reached, or poll itself failed
            kill_and_reap(pid, key, command);
            result.failure = ToolFailure::timeout;
            return result;
        }
        ssize_t n = ::read(read_end.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // end of output, or a read error: both end the stream
        if (result.text.size() + static_cast<std::size_t>(n) > kCommandOutputLimit) {
            kill_and_reap(pid, key, command);
            result.failure = ToolFailure::output_limit;
            return result;
        }
        result.text.append(buffer, static_cast<std::size_t>(n));
    }
    read_end.reset();
    if (wait_for_exit(pid, deadline, result.status, &stop_seen) != Exit::reaped) {
        kill_and_reap(pid, key, command);
        result.failure = ToolFailure::timeout;
        return result;
    }
    result.completed = true;
    if (WIFSIGNALED(result.status))
        result.failure = ToolFailure::signal;
    else if (!WIFEXITED(result.status) || WEXITSTATUS(result.status) != 0)
        result.failure = ToolFailure::exit_status;
    return result;
}

} // namespace

const char* tool_failure_name(ToolFailure failure) {
    switch (failure) {
    case ToolFailure::timeout:
        return "timeout";
    case ToolFailure::output_limit:
        return "output_limit";
    case ToolFailure::exit_status:
        return "exit_status";
    case ToolFailure::signal:
        return "signal";
    case ToolFailure::not_executable:
        return "not_executable";
    case ToolFailure::none:
        break;
    }
    return "";
}

CommandOutput run_command(const CommandLine& command, ToolFailure* failure) {
    auto finished = run(command);
    if (failure != nullptr)
        *failure = finished ? finished->failure : ToolFailure::none;
    if (!finished || !finished->completed)
        return std::nullopt;
    return std::move(finished->text);
}

CommandOutput run_command_strict(const CommandLine& command, ToolFailure* failure) {
    auto finished = run(command);
    if (failure != nullptr)
        *failure = finished ? finished->failure : ToolFailure::none;
    if (!finished || !finished->completed)
        return std::nullopt;
    if (!finished->executed || !WIFEXITED(finished->status) || WEXITSTATUS(finished->status) != 0)
        return std::nullopt;
    return std::move(finished->text);
}

} // namespace tarn
