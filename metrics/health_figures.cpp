#include "metrics/health_figures.h"

namespace tarn {

void HealthFigures::count(const std::string& name, Labels labels, std::uint64_t n) {
    const std::lock_guard lock(mutex_);
    Figure& figure = figures_[{name, std::move(labels)}];
    figure.kind = MetricKind::counter;
    figure.count += n;
}

void HealthFigures::set_count(const std::string& name, std::uint64_t value, Labels labels) {
    const std::lock_guard lock(mutex_);
    Figure& figure = figures_[{name, std::move(labels)}];
    figure.kind = MetricKind::counter;
    figure.count = value;
}

void HealthFigures::set(const std::string& name, std::string value, Labels labels) {
    const std::lock_guard lock(mutex_);
    Figure& figure = figures_[{name, std::move(labels)}];
    figure.kind = MetricKind::gauge;
    figure.value = std::move(value);
}

std::vector<MetricSample> HealthFigures::samples(const std::string& hostname) const {
    std::vector<MetricSample> samples;
    const std::lock_guard lock(mutex_);
    samples.reserve(figures_.size());
    for (const auto& [key, figure] : figures_) {
        MetricSample& sample = samples.emplace_back("exporter");
        for (const auto& [label, value] : key.second)
            sample.add_label(label, value);
        sample.add_label("hostname", hostname);
        if (figure.kind == MetricKind::counter)
            sample.add_counter(key.first, figure.count);
        else
            sample.add_gauge(key.first, std::string(figure.value));
    }
    return samples;
}

HealthFigures& health_figures() {
    static HealthFigures figures;
    return figures;
}

} // namespace tarn
