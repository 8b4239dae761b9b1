#include "exporters/scrape_cache.h"

#include "exporters/prometheus_text.h"

namespace tarn {

Document ScrapeCache::document() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (store_.generation() != generation_) {
        std::uint64_t generation = 0;
        const SampleSet samples = store_.snapshot(generation);
        // Rendered before anything is kept, so a failing render leaves the old state whole.
        Document document =
            std::make_shared<const std::string>(render_prometheus(*samples, store_.prefix()));
        document_ = std::move(document);
        generation_ = generation;
    }
    return document_;
}

} // namespace tarn
