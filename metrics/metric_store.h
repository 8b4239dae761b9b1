#pragma once

#include "metrics/metric_sample.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tarn {

// One complete set of samples, never changed once stored: readers share it instead of copying it.
using SampleSet = std::shared_ptr<const std::vector<MetricSample>>;

// Holds the latest complete set of one collection; a scrape shares that set, which stays whole
// for as long as the scrape holds it, even when a newer set replaces it in the store.
class MetricStore {
  public:
    explicit MetricStore(std::string prefix);

    MetricStore(const MetricStore&) = delete;
    MetricStore& operator=(const MetricStore&) = delete;

    // Takes the whole vector; the caller's vector is left empty.
    void replace(std::vector<MetricSample>&& samples);
    // The current set (never null; empty before the first replace).
    SampleSet snapshot() const;
    // The same set together with the generation it belongs to, taken under one lock.
    SampleSet snapshot(std::uint64_t& generation) const;

    // Counts the replacements: equal generations hold equal samples.
    std::uint64_t generation() const;

    // Never changes after construction, so it needs no lock.
    const std::string& prefix() const { return prefix_; }

  private:
    const std::string prefix_;
    mutable std::mutex mutex_;
    SampleSet samples_;
    std::uint64_t generation_ = 0;
};

} // namespace tarn
