#include "collectors/command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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
    bool completed = false; // output read to its end and the shell reaped in time
    int status = 0;         // as waitpid reports it
};

int milliseconds_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Kills the command's process group (the shell and whatever it started) and reaps the shell.
void kill_and_reap(pid_t pid) {
    ::kill(-pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The shell has closed its output, so it is normally gone within microseconds: the first naps
// are short, and only a shell that keeps running backs off to 2 ms between checks.
bool wait_for_exit(pid_t pid, Clock::time_point deadline, int& status) {
    useconds_t nap = 20;
    for (;;) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
        if (Clock::now() >= deadline)
            return false;
        ::usleep(nap);
        nap = std::min<useconds_t>(nap * 2, 2000);
    }
}

std::optional<Finished> run(const std::string& command) {
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
    // dup2 clears close-on-exec on the child's standard output only.
    posix_spawn_file_actions_adddup2(&actions, write_end.get(), STDOUT_FILENO);
    // Its own process group, so that a time-out can end the shell together with its children.
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);

    char sh[] = "/bin/sh";
    char dash_c[] = "-c";
    std::string command_copy = command;
    char* argv[] = {sh, dash_c, command_copy.data(), nullptr};
    pid_t pid = -1;
    int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        return std::nullopt;
    write_end.reset();

    const auto deadline = Clock::now() + kCommandTimeLimit;
    Finished result;
    char buffer[4096];
    for (;;) {
        pollfd pfd{read_end.get(), POLLIN, 0};
        int ready = ::poll(&pfd, 1, milliseconds_left(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) { // time limit reached, or poll itself failed
            kill_and_reap(pid);
            return result;
        }
        ssize_t n = ::read(read_end.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // end of output, or a read error: both end the stream
        if (result.text.size() + static_cast<std::size_t>(n) > kCommandOutputLimit) {
            kill_and_reap(pid);
            return result;
        }
        result.text.append(buffer, static_cast<std::size_t>(n));
    }
    read_end.reset();
    if (!wait_for_exit(pid, deadline, result.status)) {
        kill_and_reap(pid);
        return result;
    }
    result.completed = true;
    return result;
}

} // namespace

CommandOutput run_command(const std::string& command) {
    auto finished = run(command);
    if (!finished || !finished->completed)
        return std::nullopt;
    return std::move(finished->text);
}

CommandOutput run_command_strict(const std::string& command) {
    auto finished = run(command);
    if (!finished || !finished->completed)
        return std::nullopt;
    if (!WIFEXITED(finished->status) || WEXITSTATUS(finished->status) != 0)
        return std::nullopt;
    return std::move(finished->text);
}

} // namespace tarn
