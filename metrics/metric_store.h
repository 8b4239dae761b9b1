#pragma once

#include "metrics/metric_sample.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace tarn {

// Holds the latest complete set of one collection; a scrape works on its own deep copy.
class MetricStore {
  public:
    explicit MetricStore(std::string prefix) : prefix_(std::move(prefix)) {}

    MetricStore(const MetricStore&) = delete;
    MetricStore& operator=(const MetricStore&) = delete;

    // Takes the whole vector; the caller's vector is left empty.
    void replace(std::vector<MetricSample>&& samples);
    std::vector<MetricSample> snapshot() const;
    // The same copy together with the generation it belongs to, taken under one lock.
    std::vector<MetricSample> snapshot(std::uint64_t& generation) const;

    // Counts the replacements: equal generations hold equal samples.
    std::uint64_t generation() const;

    // Never changes after construction, so it needs no lock.
    const std::string& prefix() const { return prefix_; }

  private:
    const std::string prefix_;
    mutable std::mutex mutex_;
    std::vector<MetricSample> samples_;
    std::uint64_t generation_ = 0;
};

} // namespace tarn
