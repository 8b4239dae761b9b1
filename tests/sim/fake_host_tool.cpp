// The host tools bhyvectl and rctl of the simulated host: one small compiled program (a benchmark
// sees the daemon's cost, not a shell's), installed under both names. It answers from the files
// simhost.py writes below /run/tarn-vm-perfdata/fixtures/vm/N/ (bhyvectl --get-Q --vm=N) or
// pid/P/ (rctl -u process:P), per query Q (get-all, get-vcpu-class, get-stats or rctl):
//   Q.out: what it prints (absent: nothing, exit status 1); Q.status: its exit status;
//   Q.delay: seconds to wait first, in a child named "sleep" (a time-out must end it too);
//   Q.counter: raised per call, "@COUNT@" in the output becomes it.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace {

bool read_file(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), {});
    return static_cast<bool>(in);
}

// Calls for several VMs run at once, so the count is raised under a lock.
std::string next_count(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    char buffer[32] = {};
    ::flock(fd, LOCK_EX);
    const std::string value =
        std::to_string((::pread(fd, buffer, sizeof buffer - 1, 0) > 0 ? std::atol(buffer) : 0) + 1);
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, value.data(), value.size(), 0) < 0) {
        // the count is lost, as the test reading it would then see
    }
    ::close(fd);
    return value;
}

} // namespace

int main(int argc, char** argv) {
    const std::string self = argv[0];
    std::string key, query;
    if (self.substr(self.rfind('/') + 1) == "rctl") {
        if (argc != 3 || std::strcmp(argv[1], "-u") != 0 || std::strncmp(argv[2], "process:", 8))
            return 1;
        key = std::string("pid/") + (argv[2] + 8), query = "rctl";
    }
    for (int i = 1; query != "rctl" && i < argc; ++i) { // bhyvectl
        const std::string arg = argv[i];
        if (arg.rfind("--vm=", 0) == 0)
            key = "vm/" + arg.substr(5);
        else if (arg == "--get-all" || arg == "--get-vcpu-class" || arg == "--get-stats")
            query = arg.substr(2);
    }
    if (key.empty() || query.empty() || key.find("..") != std::string::npos)
        return 1;
    const std::string base = "/run/tarn-vm-perfdata/fixtures/" + key + "/" + query;
    std::string text, out;
    if (read_file(base + ".delay", text)) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::prctl(PR_SET_NAME, "sleep", 0, 0, 0);
            std::this_thread::sleep_for(std::chrono::duration<double>(std::atof(text.c_str())));
            ::_exit(0);
        }
        if (child > 0)
            ::waitpid(child, nullptr, 0);
    }
    if (!read_file(base + ".out", out))
        return 1;
    if (::access((base + ".counter").c_str(), F_OK) == 0) {
        const std::string count = next_count(base + ".counter");
        for (auto at = out.find("@COUNT@"); at != std::string::npos; at = out.find("@COUNT@", at))
            out.replace(at, 7, count);
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
        return 1;
    return read_file(base + ".status", text) ? std::atoi(text.c_str()) : 0;
}
