#include "platform/process_table.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace tarn {
namespace {

// Numeric entries of /proc, ascending like the kernel's own table walk.
std::vector<std::int32_t> process_ids() {
    std::vector<std::int32_t> pids;
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr)
        return pids;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name(entry->d_name);
        std::int32_t pid = 0;
        const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (error == std::errc() && end == name.data() + name.size() && pid > 0)
            pids.push_back(pid);
    }
    ::closedir(dir);
    std::sort(pids.begin(), pids.end());
    return pids;
}

// Plain reads: for a process that ends meanwhile read() fails with ESRCH, which libstdc++'s
// istreambuf_iterator would throw out of the whole collection.
std::optional<std::string> read_whole_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string content;
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(fd, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR))
        content.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
    ::close(fd);
    if (count < 0)
        return std::nullopt;
    return content;
}

// /proc/PID/cmdline holds the arguments each ended by a NUL byte.
std::optional<std::vector<std::string>> argument_vector(std::int32_t pid) {
    const auto content = read_whole_file("/proc/" + std::to_string(pid) + "/cmdline");
    if (!content || content->empty())
        return std::nullopt;
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < content->size()) {
        std::size_t end = content->find('\0', start);
        if (end == std::string::npos)
            end = content->size();
        arguments.emplace_back(*content, start, end - start);
        start = end + 1;
    }
    return arguments;
}

} // namespace

ProcessTable::ProcessTable() {
    DIR* dir = ::opendir("/proc");
    if (dir == nullptr) {
        error_ = "/proc: cannot be opened";
        return;
    }
    ::closedir(dir);
    open_ = true;
}

ProcessTable::~ProcessTable() = default;

bool ProcessTable::for_each_named(const std::string& command_name,
                                  const std::function<void(const ProcessInfo&)>& visit) {
    if (!open_)
        return false;
    for (const std::int32_t pid : process_ids()) {
        auto comm = read_whole_file("/proc/" + std::to_string(pid) + "/comm");
        if (!comm)
            continue; // the process ended meanwhile
        if (!comm->empty() && comm->back() == '\n')
            comm->pop_back();
        if (*comm != command_name)
            continue;
        ProcessInfo info;
        info.pid = pid;
        info.command_name = std::move(*comm);
        info.arguments = argument_vector(pid);
        visit(info);
    }
    return true;
}

} // namespace tarn
