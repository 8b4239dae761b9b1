#include "metrics/metric_store.h"

namespace tarn {

MetricStore::MetricStore(std::string prefix)
    : prefix_(std::move(prefix)), samples_(std::make_shared<const std::vector<MetricSample>>()) {}

void MetricStore::replace(std::vector<MetricSample>&& samples) {
    // The set is wrapped before the lock; under it only the pointer changes hands.
    SampleSet incoming = std::make_shared<const std::vector<MetricSample>>(std::move(samples));
    samples.clear();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        samples_.swap(incoming);
        ++generation_;
    }
    // incoming now holds the old set: it is freed here, outside the lock, unless a scrape still
    // renders it, in which case the scrape's release frees it.
}

SampleSet MetricStore::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return samples_;
}

SampleSet MetricStore::snapshot(std::uint64_t& generation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    generation = generation_;
    return samples_;
}

std::uint64_t MetricStore::generation() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return generation_;
}

} // namespace tarn
