#include "exporters/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace tarn {
namespace {

constexpr int kGzipWindowBits = 15 + 16; // the largest window, with a gzip header and trailer
constexpr int kMemoryLevel = 8;          // zlib's default

} // namespace

std::string gzip_compress(std::string_view data, int level) {
    z_stream stream{};
    if (::deflateInit2(&stream, level, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                       Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("gzip: cannot set up compression");
    std::string out(::deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    // zlib counts in 32-bit units: feed and drain at most that much per call.
    constexpr std::size_t kStep = std::numeric_limits<uInt>::max();
    std::size_t consumed = 0;
    std::size_t produced = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        if (produced == out.size())
            out.resize(out.size() * 2 + 64);
        const std::size_t in_step = std::min(kStep, data.size() - consumed);
        const std::size_t out_step = std::min(kStep, out.size() - produced);
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + consumed));
        stream.avail_in = static_cast<uInt>(in_step);
        stream.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        stream.avail_out = static_cast<uInt>(out_step);
        const bool last = consumed + in_step == data.size();
        result = ::deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
        consumed += in_step - stream.avail_in;
        produced += out_step - stream.avail_out;
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            ::deflateEnd(&stream);
            throw std::runtime_error("gzip: compression failed");
        }
    }
    ::deflateEnd(&stream);
    out.resize(produced);
    return out;
}

} // namespace tarn
