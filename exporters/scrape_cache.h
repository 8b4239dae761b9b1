#pragma once

#include "exporters/web/http_server.h"
#include "metrics/metric_store.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace tarn {

// The scrape document of the store's current generation, plain and gzip compressed. The store
// changes once a feed while scrapers may ask many times in between, so each set of samples is
// rendered once, and compressed once when the first scraper that takes gzip asks; every answer
// is byte for byte what rendering (and compressing) the store at that moment would give.
class ScrapeCache {
  public:
    explicit ScrapeCache(const MetricStore& store) : store_(store) {}

    // Shared, not copied: every scrape of one generation sends the same bytes.
    Document document();

    // The same document as one gzip member (level 1: most of the gain for little CPU).
    Document gzip_document();

  private:
    // Brings the plain document up to the store's generation; the lock is held.
    void refresh();

    const MetricStore& store_;
    std::mutex mutex_;
    // Generation 0 is the empty store, whose document is empty.
    std::uint64_t generation_ = 0;
    Document document_ = std::make_shared<const std::string>();
    Document gzip_document_; // of generation_, made on demand
};

} // namespace tarn
