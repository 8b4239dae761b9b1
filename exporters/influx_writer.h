#pragma once

#include <string>

namespace tarn {

// Percent-encodes everything but the unreserved characters, so that a credential or a query value
// holding '@', ':', '/', '&' or a space cannot change the host, path or query of the write URL.
std::string percent_encode(const std::string& text);

// How one post ended: accepted (2xx), rejected with another HTTP answer, or without any answer
// (no connection, a time-out, no usable handle).
enum class PostResult { accepted, rejected, no_answer };

// One HTTP POST of line protocol per call to the InfluxDB write endpoint.
class InfluxWriter {
  public:
    InfluxWriter(const std::string& user, const std::string& password, const std::string& url,
                 const std::string& database);
    ~InfluxWriter();

    InfluxWriter(const InfluxWriter&) = delete;
    InfluxWriter& operator=(const InfluxWriter&) = delete;

    // Failures are logged (never with the credentials).
    PostResult post(const std::string& body);

  private:
    std::string write_url_;
    void* curl_ = nullptr; // CURL*, kept opaque so users of the header need no libcurl
};

} // namespace tarn
