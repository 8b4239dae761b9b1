#include "exporters/gzip.h"

#include <zlib.h>

#include <limits>

namespace tarn {

std::string gzip_compress(std::string_view text, int level) {
    if (text.size() > std::numeric_limits<uInt>::max())
        return {}; // one call takes at most 4 GiB
    z_stream stream{};
    // 15 window bits plus 16 asks for the gzip wrapper instead of the zlib one.
    if (deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    // deflateBound leaves room for the whole member, so one call with Z_FINISH ends it.
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return result == Z_STREAM_END ? out : std::string();
}

} // namespace tarn
