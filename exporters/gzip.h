#pragma once

#include <string>
#include <string_view>

namespace tarn {

// The gzip member (RFC 1952) of data at zlib's compression level (0 to 9; -1 is zlib's default).
// Throws std::runtime_error only when zlib itself fails (out of memory).
std::string gzip_compress(std::string_view data, int level);

} // namespace tarn
