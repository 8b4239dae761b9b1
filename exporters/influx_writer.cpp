#include "exporters/influx_writer.h"

#include <curl/curl.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace tarn {
namespace {

constexpr long kTransferTimeoutSeconds = 2;
constexpr long kConnectTimeoutSeconds = 1;

std::size_t discard_response(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

} // namespace

std::string percent_encode(const std::string& text) {
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                                (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                                byte == '_' || byte == '~';
        if (unreserved)
            encoded += c;
        else
            encoded += fmt::format("%{:02X}", byte);
    }
    return encoded;
}

InfluxWriter::InfluxWriter(const std::string& user, const std::string& password,
                           const std::string& url, const std::string& database)
    : write_url_(fmt::format("http://{}:{}@{}/write?db={}", percent_encode(user),
                             percent_encode(password), url, percent_encode(database))) {
    curl_global_init(CURL_GLOBAL_ALL);
    curl_ = curl_easy_init();
}

InfluxWriter::~InfluxWriter() {
    if (curl_ != nullptr)
        curl_easy_cleanup(static_cast<CURL*>(curl_));
    curl_global_cleanup();
}

PostResult InfluxWriter::post(const std::string& body) {
    CURL* curl = static_cast<CURL*>(curl_);
    if (curl == nullptr) {
        spdlog::error("InfluxWriter: curl not initialized");
        return PostResult::no_answer;
    }
    curl_easy_setopt(curl, CURLOPT_URL, write_url_.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard_response);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kTransferTimeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);

    // curl_easy_strerror gives a fixed text per result code; it never holds the URL.
    const CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) {
        spdlog::error("Influx POST failed: {}", curl_easy_strerror(result));
        return PostResult::no_answer;
    }
    long code = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (code >= 200 && code <= 299)
        return PostResult::accepted;
    spdlog::error("Influx HTTP error: {}", code);
    return PostResult::rejected;
}

} // namespace tarn
