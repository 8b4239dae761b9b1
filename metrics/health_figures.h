#pragma once

#include "metrics/metric_sample.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace tarn {

// The daemon's own figures (failed tool runs, skipped objects, scrapes, ...), counted from
// start-up by the code that knows each of them and offered as ordinary samples of the measurement
// "exporter". Safe to use from every thread; an event costs one short lock.
class HealthFigures {
  public:
    using Labels = std::vector<std::pair<std::string, std::string>>;

    // Adds n to a counter; a counter exists from its first event on.
    void count(const std::string& name, Labels labels = {}, std::uint64_t n = 1);
    // Sets a counter kept elsewhere to its current value.
    void set_count(const std::string& name, std::uint64_t value, Labels labels = {});
    // Sets a gauge to an already formatted value.
    void set(const std::string& name, std::string value, Labels labels = {});

    // One sample per figure, in name and label order, each labelled as given and then with the
    // host name.
    std::vector<MetricSample> samples(const std::string& hostname) const;

  private:
    struct Figure {
        MetricKind kind = MetricKind::counter;
        std::uint64_t count = 0;
        std::string value;
    };
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, Labels>, Figure> figures_;
};

// The one set of the process.
HealthFigures& health_figures();

} // namespace tarn
