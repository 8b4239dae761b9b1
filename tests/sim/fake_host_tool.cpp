// Stand-in for the host tools bhyvectl and rctl of the simulated host, a small compiled program as
// the real ones are, so that a benchmark sees the daemon's own cost and not a shell's. Installed
// under both names; its own file name says which tool it is. It answers from the fixture files
// that tests/sim/simhost.py lays out below kFixtures, per VM number (bhyvectl) or process id
// (rctl):
//
//   QUERY.out      what it prints; absent: it prints nothing and exits 1
//   QUERY.status   its exit status after printing (default 0)
//   QUERY.delay    seconds (fractions allowed) to pause before answering; while it pauses its
//                  command name is "sleep", so that a test can tell a pausing tool from a busy one
//   QUERY.counter  a number raised by one per call; "@COUNT@" in the output becomes the new value
//   QUERY.signal   a signal name (SEGV, KILL, ...) to die by right after printing, without a core
//
// QUERY is "get-all", "get-vcpu-class" or "get-stats" for bhyvectl and "rctl" for rctl.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr const char* kFixtures = "/run/tarn-vm-perfdata/fixtures";

std::optional<std::string> read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

bool all_of(std::string_view text, std::string_view allowed) {
    return !text.empty() && text.find_first_not_of(allowed) == std::string_view::npos;
}

void write_all(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void pause_for(double seconds) {
    ::prctl(PR_SET_NAME, "sleep", 0, 0, 0);
    timespec left{
        static_cast<time_t>(seconds),
        static_cast<long>((seconds - static_cast<double>(static_cast<time_t>(seconds))) * 1e9)};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Raises the counter under a lock (calls for several VMs may run at once) and returns its value.
long next_count(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ::flock(fd, LOCK_EX);
    char buffer[32] = {};
    const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
    const long value = (n > 0 ? std::strtol(buffer, nullptr, 10) : 0) + 1;
    const std::string text = std::to_string(value) + "\n";
    if (::ftruncate(fd, 0) == 0 && ::pwrite(fd, text.data(), text.size(), 0) < 0) {
        // nothing to do: the count is lost, as a test would then see
    }
    ::close(fd); // releases the lock
    return value;
}

int signal_number(std::string_view name) {
    struct Name {
        const char* text;
        int number;
    };
    static const Name names[] = {{"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT},
                                 {"ILL", SIGILL},   {"ABRT", SIGABRT}, {"FPE", SIGFPE},
                                 {"KILL", SIGKILL}, {"SEGV", SIGSEGV}, {"PIPE", SIGPIPE},
                                 {"ALRM", SIGALRM}, {"TERM", SIGTERM}, {"USR1", SIGUSR1},
                                 {"USR2", SIGUSR2}, {"BUS", SIGBUS},   {"TRAP", SIGTRAP}};
    while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
        name.remove_suffix(1);
    for (const Name& entry : names)
        if (name == entry.text)
            return entry.number;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view self = argv[0];
    const std::string_view tool = self.substr(self.rfind('/') + 1);
    std::string directory;
    std::string query;
    if (tool == "rctl") {
        // rctl -u process:PID
        if (argc < 3 || std::strcmp(argv[1], "-u") != 0)
            return 1;
        std::string_view pid = argv[2];
        if (pid.substr(0, 8) == "process:")
            pid.remove_prefix(8);
        if (!all_of(pid, "0123456789"))
            return 1;
        directory = std::string(kFixtures) + "/pid/" + std::string(pid);
        query = "rctl";
    } else {
        // bhyvectl --get-all|--get-vcpu-class|--get-stats --vm=N, in any order
        std::string_view vm;
        for (int i = 1; i < argc; ++i) {
            const std::string_view arg = argv[i];
            if (arg.substr(0, 5) == "--vm=")
                vm = arg.substr(5);
            else if (arg == "--get-all" || arg == "--get-vcpu-class" || arg == "--get-stats")
                query = std::string(arg.substr(2));
        }
        if (!all_of(vm, "0123456789-") || query.empty())
            return 1;
        directory = std::string(kFixtures) + "/vm/" + std::string(vm);
    }
    const std::string base = directory + "/" + query;

    if (::access((base + ".out").c_str(), F_OK) != 0)
        return 1;
    if (const auto delay = read_file(base + ".delay"))
        pause_for(std::strtod(delay->c_str(), nullptr));
    // Read after the pause, so that a fixture changed meanwhile is what gets printed.
    std::optional<std::string> out = read_file(base + ".out");
    if (!out)
        return 1;
    if (::access((base + ".counter").c_str(), F_OK) == 0) {
        const std::string count = std::to_string(next_count(base + ".counter"));
        for (std::size_t at = out->find("@COUNT@"); at != std::string::npos;
             at = out->find("@COUNT@", at + count.size()))
            out->replace(at, 7, count);
    }
    write_all(*out);
    if (const auto name = read_file(base + ".signal")) {
        if (const int number = signal_number(*name)) {
            const rlimit no_core{0, 0};
            ::setrlimit(RLIMIT_CORE, &no_core);
            std::signal(number, SIG_DFL);
            ::raise(number);
        }
    }
    const auto status = read_file(base + ".status");
    return status ? std::atoi(status->c_str()) : 0;
}
