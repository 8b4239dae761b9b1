#include "exporters/scrape_cache.h"

#include "exporters/gzip.h"
#include "exporters/prometheus_text.h"

#include <stdexcept>

namespace tarn {
namespace {

constexpr int kScrapeGzipLevel = 1;

} // namespace

void ScrapeCache::refresh() {
    if (store_.generation() == generation_)
        return;
    std::uint64_t generation = 0;
    const SampleSet samples = store_.snapshot(generation);
    // Rendered before anything is kept, so a failing render leaves the old state whole.
    Document document =
        std::make_shared<const std::string>(render_prometheus(*samples, store_.prefix()));
    document_ = std::move(document);
    gzip_document_.reset();
    generation_ = generation;
}

Document ScrapeCache::document() {
    std::lock_guard<std::mutex> lock(mutex_);
    refresh();
    return document_;
}

Document ScrapeCache::gzip_document() {
    std::lock_guard<std::mutex> lock(mutex_);
    refresh();
    if (!gzip_document_) {
        std::string packed = gzip_compress(*document_, kScrapeGzipLevel);
        // Even an empty document packs to a gzip member: empty means zlib failed (no memory).
        // Thrown, it is answered 500 and logged, and the next scrape tries again.
        if (packed.empty())
            throw std::runtime_error("gzip compression failed");
        gzip_document_ = std::make_shared<const std::string>(std::move(packed));
    }
    return gzip_document_;
}

} // namespace tarn
