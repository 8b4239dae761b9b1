#pragma once

#include "exporters/influx/influx_endpoint.h"
#include "platform/run_flag.h"

#include <cstdint>
#include <string>

namespace tarn {

// How one post ended: accepted (2xx); rejected: the server refused the data (an answer that a
// retry would not change, such as 400 for a bad line or 401); retry_later: the server cannot take
// it now (5xx, 429 Too Many Requests); no_answer: no connection, a time-out, no usable handle.
enum class PostResult { accepted, rejected, retry_later, no_answer };

// The whole transfer of one POST, as the writer has always allowed it.
constexpr std::int64_t kInfluxPostTimeoutMs = 2000;

// One HTTP POST of line protocol per call to the InfluxDB write endpoint.
class InfluxWriter {
  public:
    // abort_on_stop: when set, a post that begins while the flag is set is given up (as without
    // an answer) as soon as it is cleared, so that a stop need not wait out the time-out.
    explicit InfluxWriter(InfluxEndpoint endpoint, const RunFlag* abort_on_stop = nullptr);
    ~InfluxWriter();

    InfluxWriter(const InfluxWriter&) = delete;
    InfluxWriter& operator=(const InfluxWriter&) = delete;

    // Failures are logged (never with the credentials or the token).
    PostResult post(const std::string& body, std::int64_t timeout_ms = kInfluxPostTimeoutMs);

  private:
    InfluxEndpoint endpoint_;
    const RunFlag* abort_on_stop_;
    void* curl_ = nullptr;    // CURL*, kept opaque so users of the header need no libcurl
    void* headers_ = nullptr; // curl_slist*, or null without headers of our own
};

} // namespace tarn
