// The bytes a scraper sends: read in chunks until the header block ends, then answered.
#include "exporters/http_server.h"
#include "tests/fuzz/fuzz_util.h"

#include <fmt/format.h>

#include <stdexcept>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t kChunk = 4096;
constexpr std::string_view kBody = "tarn_vm_up 1\n";

// Status and body of a whole answer; the header block must state the body's length exactly.
void check_response(const std::string& response, int expected_status) {
    const std::string head = fmt::format("HTTP/1.1 {} ", expected_status);
    tarn::fuzz::check(response.starts_with(head), "an answer with another status line");
    const std::size_t end = response.find("\r\n\r\n");
    tarn::fuzz::check(end != std::string::npos, "an answer without an end of headers");
    const std::string_view body = std::string_view(response).substr(end + 4);
    tarn::fuzz::check(response.find(fmt::format("\r\nContent-Length: {}\r\n", body.size())) < end,
                      "a Content-Length that is not the body's size");
    if (expected_status == 200)
        tarn::fuzz::check(body == kBody, "a 200 answer without the rendered body");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tarn::fuzz::silence_logging();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // The server's read loop: stop at the first chunk after which the request counts as complete.
    std::string buffer;
    for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
        buffer.append(bytes.substr(at, kChunk));
        if (tarn::request_complete(buffer))
            break;
    }

    const tarn::RequestLine line = tarn::parse_request_line(buffer);
    auto inside = [&](std::string_view part) {
        return part.empty() || (part.data() >= buffer.data() &&
                                part.data() + part.size() <= buffer.data() + buffer.size());
    };
    tarn::fuzz::check(inside(line.method) && inside(line.path),
                      "a request line outside the buffer");
    // The request line ends at the first CR LF; a lone CR or LF is part of it.
    auto within_line = [](std::string_view part, std::string_view delimiters) {
        return part.find_first_of(delimiters) == std::string_view::npos &&
               part.find("\r\n") == std::string_view::npos;
    };
    tarn::fuzz::check(within_line(line.method, " ") && within_line(line.path, " ?"),
                      "a method or path that goes past its delimiter");

    const bool scrape = line.method == "GET" && line.path == "/metrics";
    const int expected = line.method != "GET" ? 405 : !scrape ? 404 : 200;
    check_response(
        tarn::respond_to_request(buffer, [] { return std::make_shared<const std::string>(kBody); }),
        expected);
    // A failing render is answered, not thrown.
    check_response(tarn::respond_to_request(
                       buffer, []() -> tarn::Document { throw std::runtime_error("no store"); }),
                   scrape ? 500 : expected);
    return 0;
}
