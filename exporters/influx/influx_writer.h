#pragma once

#include "exporters/influx/influx_answer.h"
#include "exporters/influx/influx_endpoint.h"
#include "platform/run_flag.h"

#include <cstdint>
#include <string>

namespace tarn {

// The whole transfer of one POST unless [influx] timeout says otherwise.
constexpr std::int64_t kInfluxPostTimeoutMs = 2000;
// What a stop may still spend on posting: the last attempt at exit, or without a buffer the POST
// under way.
constexpr std::int64_t kInfluxExitAttemptMs = 2000;

// One HTTP POST of line protocol per call to the InfluxDB write endpoint.
class InfluxWriter {
  public:
    // abort_on_stop: when set, a post that begins while the flag is set is given up (cut by the
    // stop) once the flag has been seen cleared for stop_grace_ms, so that a stop need not wait
    // out the time-out.
    explicit InfluxWriter(InfluxEndpoint endpoint, const RunFlag* abort_on_stop = nullptr,
                          std::int64_t stop_grace_ms = 0);
    ~InfluxWriter();

    InfluxWriter(const InfluxWriter&) = delete;
    InfluxWriter& operator=(const InfluxWriter&) = delete;

    // A failure comes back with its message to log (never with the credentials or the token);
    // classify_answer says what the answer means.
    InfluxAnswer post(const std::string& body, std::int64_t timeout_ms = kInfluxPostTimeoutMs);

  private:
    InfluxEndpoint endpoint_;
    const RunFlag* abort_on_stop_;
    std::int64_t stop_grace_ms_;
    void* curl_ = nullptr;    // CURL*, kept opaque so users of the header need no libcurl
    void* headers_ = nullptr; // curl_slist*, or null without headers of our own
};

} // namespace tarn
