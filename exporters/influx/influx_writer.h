#pragma once

#include "exporters/influx/influx_answer.h"
#include "exporters/influx/influx_endpoint.h"
#include "platform/run_flag.h"

#include <cstdint>
#include <string>

namespace tarn {

// The whole transfer of one POST unless [influx] timeout says otherwise.
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

    // Failures are logged (never with the credentials or the token); classify_answer says what
    // the answer means.
    InfluxAnswer post(const std::string& body, std::int64_t timeout_ms = kInfluxPostTimeoutMs);

  private:
    InfluxEndpoint endpoint_;
    const RunFlag* abort_on_stop_;
    void* curl_ = nullptr;    // CURL*, kept opaque so users of the header need no libcurl
    void* headers_ = nullptr; // curl_slist*, or null without headers of our own
};

} // namespace tarn
