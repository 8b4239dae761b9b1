#pragma once

#include <string>
#include <string_view>

namespace tarn {

// The whole text as one gzip member (RFC 1952) at zlib's level 0 to 9; empty when zlib fails
// (it only does for lack of memory), since even empty input gives a non-empty member.
std::string gzip_compress(std::string_view text, int level);

} // namespace tarn
