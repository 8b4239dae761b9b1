#include "exporters/bounded_file.h"

#include <fmt/format.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tarn {
namespace {

const char* kind_of(mode_t mode) {
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    return "not a regular file";
}

std::string too_large(std::size_t limit) {
    return limit % (std::size_t{1} << 20) == 0
               ? fmt::format("larger than the limit of {} MiB", limit >> 20)
               : fmt::format("larger than the limit of {} bytes", limit);
}

// Checked before anything is read: opening a device or a FIFO could wait or act.
std::optional<std::string> refusal(const struct stat& status, std::size_t limit) {
    if (!S_ISREG(status.st_mode)) {
        const std::string kind = kind_of(status.st_mode);
        return kind.starts_with("a ") ? kind + ", not a regular file" : kind;
    }
    if (static_cast<unsigned long long>(status.st_size) > limit)
        return too_large(limit);
    return std::nullopt;
}

} // namespace

BoundedFile read_bounded_file(const std::string& path, std::size_t limit) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return {std::nullopt, std::strerror(errno)};
    if (auto refused = refusal(status, limit))
        return {std::nullopt, std::move(*refused)};
    // The name may lead elsewhere by the time it is opened: never wait in open, and look again
    // at what was opened.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return {std::nullopt, std::strerror(errno)};
    BoundedFile result;
    if (::fstat(fd, &status) != 0)
        result.error = std::strerror(errno);
    else if (auto refused = refusal(status, limit))
        result.error = std::move(*refused);
    std::string text;
    if (result.error.empty()) {
        text.resize(static_cast<std::size_t>(status.st_size) + 1);
        std::size_t got = 0;
        // One byte past the limit tells a file that grew over it.
        while (got <= limit) {
            if (got == text.size())
                text.resize(std::min(text.size() * 2, limit + 1));
            const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                result.error = std::strerror(errno);
                break;
            }
            if (n == 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        text.resize(got);
        if (result.error.empty() && got > limit)
            result.error = too_large(limit);
    }
    ::close(fd);
    if (result.error.empty())
        result.text = std::move(text);
    return result;
}

} // namespace tarn
