#include "exporters/influx/influx_writer.h"

#include "exporters/bounded_file.h"
#include "exporters/gzip.h"

#include <curl/curl.h>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <optional>

namespace tarn {
namespace {

constexpr long kConnectTimeoutSeconds = 1;
// Level 1 gives most of the size gain of line protocol for a fraction of the CPU of the higher.
constexpr int kGzipLevel = 1;

// Keeps the start of the answer's body (where InfluxDB puts its reason) and reads the rest away.
std::size_t keep_response_start(char* data, std::size_t size, std::size_t count, void* kept) {
    std::string& text = *static_cast<std::string*>(kept);
    const std::size_t bytes = size * count;
    if (text.size() < kInfluxAnswerBodyBytes)
        text.append(data, std::min(bytes, kInfluxAnswerBodyBytes - text.size()));
    return bytes;
}

// The server was reached, but the TLS handshake or its certificate failed: a fault to fix in
// ca_file or on the server, not an outage.
bool tls_failure(CURLcode result) {
    switch (result) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return true;
    default:
        return false;
    }
}

struct StopWatch {
    const RunFlag* flag;
    std::chrono::milliseconds grace;
    std::optional<std::chrono::steady_clock::time_point> seen{}; // the flag first seen cleared
};

// libcurl calls this while a transfer waits (about once a second when nothing moves, at once
// when the stop signal interrupts its wait); non-zero ends the transfer.
int abort_after_stop(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    StopWatch& watch = *static_cast<StopWatch*>(data);
    if (running(*watch.flag))
        return 0;
    const auto now = std::chrono::steady_clock::now();
    if (!watch.seen)
        watch.seen = now;
    return now - *watch.seen >= watch.grace ? 1 : 0;
}

} // namespace

InfluxWriter::InfluxWriter(InfluxEndpoint endpoint, const RunFlag* abort_on_stop,
                           std::int64_t stop_grace_ms)
    : endpoint_(std::move(endpoint)), abort_on_stop_(abort_on_stop), stop_grace_ms_(stop_grace_ms) {
    curl_global_init(CURL_GLOBAL_ALL);
    curl_ = curl_easy_init();
    curl_slist* list = nullptr;
    for (const std::string& header : endpoint_.headers) {
        curl_slist* longer = curl_slist_append(list, header.c_str());
        if (longer == nullptr) {
            curl_slist_free_all(list);
            list = nullptr;
            if (curl_ != nullptr)
                curl_easy_cleanup(static_cast<CURL*>(curl_));
            curl_ = nullptr; // a request without its headers would go out wrong: none goes out
            break;
        }
        list = longer;
    }
    headers_ = list;
}

InfluxWriter::~InfluxWriter() {
    curl_slist_free_all(static_cast<curl_slist*>(headers_));
    if (curl_ != nullptr)
        curl_easy_cleanup(static_cast<CURL*>(curl_));
    curl_global_cleanup();
}

InfluxAnswer InfluxWriter::post(const std::string& body, std::int64_t timeout_ms) {
    CURL* curl = static_cast<CURL*>(curl_);
    if (curl == nullptr) {
        return {.text = "curl not initialized", .message = "InfluxWriter: curl not initialized"};
    }
    std::string compressed;
    if (endpoint_.gzip) {
        compressed = gzip_compress(body, kGzipLevel);
        if (compressed.empty()) {
            return {.text = "gzip compression failed",
                    .message = "Influx POST not sent: gzip compression failed"};
        }
    }
    const std::string& sent = endpoint_.gzip ? compressed : body;
    curl_easy_setopt(curl, CURLOPT_URL, endpoint_.write_url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, sent.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(sent.size()));
    InfluxAnswer answer;
    char error[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keep_response_start);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.text);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    if (headers_ != nullptr)
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(headers_));
    // Handed over as text, read anew for each post: libcurl would open the file itself at each
    // connection and wait there for good if it had become a FIFO. Plain http and a server left
    // unverified make no use of it, so it is not read.
    if (!endpoint_.ca_file.empty() && endpoint_.verify_tls &&
        endpoint_.write_url.starts_with("https://")) {
        const BoundedFile authorities = read_bounded_file(endpoint_.ca_file, kMaxPemFileBytes);
        if (!authorities.text) {
            const std::string reason = fmt::format("[influx] ca_file '{}' cannot be read: {}",
                                                   endpoint_.ca_file, authorities.error);
            return {.text = reason,
                    .tls_failure = true,
                    .message = fmt::format("Influx POST not sent: {}", reason)};
        }
        curl_blob blob{const_cast<char*>(authorities.text->data()), authorities.text->size(),
                       CURL_BLOB_COPY};
        curl_easy_setopt(curl, CURLOPT_CAINFO_BLOB, &blob);
    }
    if (!endpoint_.verify_tls) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    // Only a post begun before the stop is given up: the last attempt at exit runs with the
    // flag already cleared and keeps its own time limit.
    const bool abortable = abort_on_stop_ != nullptr && running(*abort_on_stop_);
    StopWatch watch{abort_on_stop_, std::chrono::milliseconds(stop_grace_ms_)};
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, abortable ? 0L : 1L);
    if (abortable) {
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, abort_after_stop);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &watch);
    }

    // curl_easy_strerror gives a fixed text per result code; it never holds the URL.
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr); // the buffer ends with this call
    if (result == CURLE_ABORTED_BY_CALLBACK && watch.seen) {
        // Not a failure of the server's: whether it stored the body is unknown.
        spdlog::info("Influx POST ended by the stop");
        return {.text = "ended by the stop", .cut = PostCut::stop};
    }
    if (result != CURLE_OK) {
        answer.message = fmt::format("Influx POST failed: {}", curl_easy_strerror(result));
        // The error buffer says which check failed ("certificate has expired"); it holds the
        // host name at most, never the credentials.
        answer.text = error[0] != '\0' ? error : curl_easy_strerror(result);
        answer.tls_failure = tls_failure(result);
        answer.status = 0;
        return answer;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    if (answer.status >= 200 && answer.status <= 299)
        return answer;
    answer.message = fmt::format("Influx HTTP error: {}", answer.status);
    return answer;
}

} // namespace tarn
