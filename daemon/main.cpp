#include "collectors/collect_samples.h"
#include "daemon/command_line.h"
#include "daemon/config.h"
#include "daemon/logging.h"
#include "daemon/stop_signal.h"
#include "exporters/prometheus_text.h"
#include "metrics/metric_store.h"
#include "platform/host_name.h"
#include "platform/run_flag.h"
#include "platform/sysctl.h"

#include <spdlog/spdlog.h>

#include <unistd.h>

#include <cstdio>
#include <exception>

namespace {

int dump_prometheus_once(tarn::MetricStore& store, const std::string& hostname,
                         std::uint64_t tsc_freq) {
    store.replace(tarn::collect_samples(hostname, tsc_freq));
    const std::string document = tarn::render_prometheus(store);
    std::fwrite(document.data(), 1, document.size(), stdout);
    std::fflush(stdout);
    return 0;
}

int run(int argc, char** argv) {
    tarn::setup_early_logging();
    tarn::install_stop_signal_handler();

    tarn::ParsedCommandLine parsed = tarn::parse_command_line(argc, argv);
    if (parsed.exit_status)
        return *parsed.exit_status;
    const tarn::CommandLineOptions& options = parsed.options;

    const bool use_file = !options.dump_prometheus && !::isatty(STDERR_FILENO);
    tarn::setup_logging(options.log_file, options.log_size, use_file);

    tarn::ConfigResult loaded = tarn::load_config(options.config_path);
    if (!loaded.config)
        return 1;
    const tarn::DaemonConfig& config = *loaded.config;

    const std::string hostname = tarn::read_host_name();
    const auto tsc_freq = tarn::sysctl_uint64("machdep.tsc_freq");
    if (!tsc_freq) {
        spdlog::error("Cannot read machdep.tsc_freq");
        return 1;
    }

    tarn::MetricStore store(config.metrics_prefix);
    if (options.dump_prometheus)
        return dump_prometheus_once(store, hostname, *tsc_freq);

    if (!config.prometheus_enabled && !config.influx_enabled && !options.dump_influx) {
        spdlog::error("Both transports disabled (prometheus.enabled=false, influx.enabled=false) "
                      "and --dump-influx-metrics not set; nothing to do");
        return 1;
    }

    spdlog::info("Started, config={}, hostname={}, tsc_freq={}, interval={}, prometheus={} ({}), "
                 "influx={}, log={} ({} bytes)",
                 options.config_path, hostname, *tsc_freq, config.interval_seconds,
                 config.prometheus_enabled ? "on" : "off", config.listen_address,
                 config.influx_enabled ? "on" : "off", options.log_file, options.log_size);

    spdlog::error("The collection loop and the transports are not built yet; stopping");
    spdlog::info("Exiting");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        // Nothing is meant to get here; a clear line beats an abort without one.
        std::fprintf(stderr, "tarn-vm-perfdata: fatal: %s\n", error.what());
        return 1;
    }
}
