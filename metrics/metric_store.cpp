#include "metrics/metric_store.h"

namespace tarn {

void MetricStore::replace(std::vector<MetricSample>&& samples) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The old set is released under the lock, so a scrape never sees it half gone.
    std::vector<MetricSample>().swap(samples_);
    samples_ = std::move(samples);
    samples.clear();
    ++generation_;
}

std::vector<MetricSample> MetricStore::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
}

std::vector<MetricSample> MetricStore::snapshot(std::uint64_t& generation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    generation = generation_;
    return samples_;
}

std::uint64_t MetricStore::generation() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
}

} // namespace tarn
