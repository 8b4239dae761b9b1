#pragma once

#include "metrics/metric_store.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace tarn {

// The scrape document of the store's current generation. The store changes once a feed while
// scrapers may ask many times in between, so each set of samples is rendered once;
// every answer is byte for byte what rendering the store at that moment would give.
class ScrapeCache {
  public:
    explicit ScrapeCache(const MetricStore& store) : store_(store) {}

    std::string document();

  private:
    const MetricStore& store_;
    std::mutex mutex_;
    // Generation 0 is the empty store, whose document is empty.
    std::uint64_t generation_ = 0;
    std::string document_;
};

} // namespace tarn
