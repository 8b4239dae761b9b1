#include "exporters/scrape_cache.h"

#include "exporters/gzip.h"
#include "exporters/prometheus_text.h"

namespace tarn {
namespace {

constexpr int kGzipLevel = 1;

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
    if (!gzip_document_)
        gzip_document_ = std::make_shared<const std::string>(gzip_compress(*document_, kGzipLevel));
    return gzip_document_;
}

} // namespace tarn
