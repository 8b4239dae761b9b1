#pragma once

#include "exporters/web/web_config.h"

#include <chrono>

namespace tarn {

// A token bucket over all requests of the endpoint: it holds up to burst tokens, gains one per
// interval, and each request takes one; a request that finds it empty is answered 429. An
// interval of 0 lets everything through.
class RateLimit {
  public:
    using Clock = std::chrono::steady_clock;

    RateLimit() = default;
    RateLimit(RateLimitSettings settings, Clock::time_point now);

    const RateLimitSettings& settings() const { return settings_; }

    // True when the request may go on (a token was taken).
    bool take(Clock::time_point now);

  private:
    RateLimitSettings settings_;
    double tokens_ = 0;
    Clock::time_point filled_; // when tokens_ was last brought up to date
};

} // namespace tarn
