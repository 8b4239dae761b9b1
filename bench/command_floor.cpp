// The floor of a feed: runs the commands read from stdin, one per line, one after another, each
// started directly by posix_spawn from its words (split at spaces; the first is the tool's path),
// its output read from a pipe to the end and the tool reaped with a blocking wait. Prints
// "COMMANDS FAILED BYTES" at the end; exit status 1 when one could not be started.
//
// --shell starts each command through /bin/sh -c instead, as the daemon used to.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

bool g_shell = false;

// Output bytes of the command, or -1 when it could not be started.
long run(const std::string& command, int& status) {
    std::vector<std::string> words;
    if (g_shell) {
        words = {"/bin/sh", "-c", command};
    } else {
        std::istringstream in(command);
        for (std::string word; in >> word;)
            words.push_back(word);
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
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
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    g_shell = argc > 1 && std::strcmp(argv[1], "--shell") == 0;
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
    std::printf("%ld %ld %ld\n", commands, failed, bytes);
    return 0;
}
