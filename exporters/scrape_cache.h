#pragma once

#include "exporters/http_server.h"
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

    // Shared, not copied: every scrape of one generation sends the same bytes.
    Document document();

  private:
    const MetricStore& store_;
    std::mutex mutex_;
    // Generation 0 is the empty store, whose document is empty.
    std::uint64_t generation_ = 0;
    Document document_ = std::make_shared<const std::string>();
};

} // namespace tarn
