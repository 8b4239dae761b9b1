#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace tarn {

// The most read of a web config file, and of a certificate, key or CA file (a long chain of
// certificates is some tens of KiB).
constexpr std::size_t kMaxWebConfigBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxPemFileBytes = std::size_t{4} << 20;

struct BoundedFile {
    std::optional<std::string> text;
    std::string error; // when text is empty: "No such file or directory", "a FIFO, not a regular
                       // file", "larger than the limit of 1 MiB"
};

// The whole of a regular file of at most `limit` bytes. Whatever else the name leads to (a FIFO,
// a device, a directory) is refused without being read or waited on, and a file is never read
// past the limit, even when it grows while read.
BoundedFile read_bounded_file(const std::string& path, std::size_t limit);

} // namespace tarn
