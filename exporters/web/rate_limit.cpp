#include "exporters/web/rate_limit.h"

#include <algorithm>

namespace tarn {

RateLimit::RateLimit(RateLimitSettings settings, Clock::time_point now)
    : settings_(settings), tokens_(settings.burst), filled_(now) {}

bool RateLimit::take(Clock::time_point now) {
    if (settings_.interval.count() <= 0)
        return true;
    if (now > filled_) {
        const double gained = std::chrono::duration<double>(now - filled_).count() /
                              std::chrono::duration<double>(settings_.interval).count();
        tokens_ = std::min(static_cast<double>(settings_.burst), tokens_ + gained);
        filled_ = now;
    }
    if (tokens_ < 1)
        return false;
    tokens_ -= 1;
    return true;
}

} // namespace tarn
