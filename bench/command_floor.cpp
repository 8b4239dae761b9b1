// The floor of a feed: runs the commands read from stdin, one per line, through /bin/sh -c one
// after another, each with its output read from a pipe to the end and its shell reaped with a
// blocking wait. Prints "COMMANDS FAILED BYTES SLEEPS" at the end; exit status 1 when one could not
// run.
//
// --poll-wait reaps the shell as the daemon's command runner does instead: waitpid with WNOHANG,
// napping 20 us and doubling up to 2 ms between tries, to show what that wait adds to the floor.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

extern char** environ;

namespace {

// Output bytes of the command, or -1 when it could not be started.
bool g_poll_wait = false;
long g_sleeps = 0; // naps taken while waiting for shells whose output had ended

void reap(pid_t pid, int& status) {
    if (!g_poll_wait) {
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return;
    }
    useconds_t nap = 20;
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        ++g_sleeps;
        ::usleep(nap);
        nap = nap * 2 < 2000 ? nap * 2 : 2000;
    }
}

long run(std::string command, int& status) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    char sh[] = "/bin/sh";
    char dash_c[] = "-c";
    char* argv[] = {sh, dash_c, command.data(), nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (spawned != 0) {
        ::close(fds[0]);
        return -1;
    }
    long bytes = 0;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes += n;
    }
    ::close(fds[0]);
    reap(pid, status);
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    g_poll_wait = argc > 1 && std::strcmp(argv[1], "--poll-wait") == 0;
    std::string command;
    long commands = 0, failed = 0, bytes = 0;
    while (std::getline(std::cin, command)) {
        if (command.empty())
            continue;
        int status = 0;
        const long n = run(command, status);
        if (n < 0)
            return 1;
        ++commands;
        bytes += n;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ++failed;
    }
    std::printf("%ld %ld %ld %ld\n", commands, failed, bytes, g_sleeps);
    return 0;
}
