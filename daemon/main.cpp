#include "collectors/collect_samples.h"
#include "daemon/collection_loop.h"
#include "daemon/command_line.h"
#include "daemon/config.h"
#include "daemon/logging.h"
#include "daemon/stop_signal.h"
#include "exporters/influx/influx_spool.h"
#include "exporters/influx/influx_writer.h"
#include "exporters/prometheus_text.h"
#include "exporters/scrape_cache.h"
#include "exporters/web/credential_check.h"
#include "exporters/web/http_server.h"
#include "exporters/web/listen_address.h"
#include "exporters/web/tls_context.h"
#include "exporters/web/web_config.h"
#include "exporters/web/web_config_reloader.h"
#include "metrics/metric_store.h"
#include "platform/host_name.h"
#include "platform/run_flag.h"
#include "platform/sysctl.h"

#include <spdlog/spdlog.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

namespace {

int dump_prometheus_once(tarn::MetricStore& store, const std::string& hostname,
                         std::uint64_t tsc_freq) {
    try {
        store.replace(tarn::collect_samples(hostname, tsc_freq));
    } catch (const tarn::CollectorThreadError&) {
        return 1; // already logged
    }
    const std::string document = tarn::render_prometheus(store);
    std::fwrite(document.data(), 1, document.size(), stdout);
    std::fflush(stdout);
    return 0;
}

// What the web config file and the gzip key add to the scrape endpoint; false (logged, naming
// the file and the key) when the file, a certificate or a key cannot be used.
bool endpoint_options(const tarn::DaemonConfig& config, tarn::ScrapeCache& cache,
                      tarn::EndpointOptions& options) {
    if (config.prometheus_gzip)
        options.render_gzip = [&cache] { return cache.gzip_document(); };
    if (config.web_config_file.empty())
        return true;
    tarn::WebSettingsResult web = tarn::load_web_settings(config.web_config_file);
    if (!web.settings) {
        spdlog::error("{}", web.error);
        return false;
    }
    for (const std::string& warning : web.warnings)
        spdlog::warn("{}", warning);
    tarn::record_web_config_load(true);
    const tarn::WebSettings& settings = *web.settings;
    if (settings.http2_asked)
        spdlog::info("Web config {}: http_server_config.http2: HTTP/2 is not served; answers go "
                     "out over HTTP/1.1",
                     config.web_config_file);
    if (!settings.tls && settings.users.empty())
        spdlog::warn("Web config {} asks for neither TLS nor basic auth: scrapes are answered "
                     "over plain HTTP to anyone",
                     config.web_config_file);
    options.tls = settings.tls;
    options.credentials = std::make_unique<tarn::CredentialCheck>(settings.users);
    spdlog::info("Scrape endpoint: web config {}, TLS {}, basic auth for {} user(s)",
                 config.web_config_file, options.tls ? "on" : "off", settings.users.size());
    options.web_config =
        std::make_unique<tarn::WebConfigReloader>(config.web_config_file, std::move(*web.settings));
    return true;
}

// What a daemon start refuses beyond the config file's own keys: no transport, a listen address
// that cannot be bound, a web config, certificate or key that cannot be used. Checked before
// anything is bound, collected or posted; `endpoint` receives the scrape endpoint's set-up.
// False when the start must not go on (logged).
bool startable(const tarn::CommandLineOptions& command, const tarn::DaemonConfig& config,
               tarn::ScrapeCache& cache, tarn::EndpointOptions& endpoint) {
    if (!config.prometheus_enabled && !config.influx_enabled && !command.dump_influx) {
        spdlog::error("Both transports disabled (prometheus.enabled=false, influx.enabled=false) "
                      "and --dump-influx-metrics not set; nothing to do");
        return false;
    }
    if (!config.prometheus_enabled)
        return true;
    const std::optional<tarn::ListenAddress> listen =
        tarn::read_listen_address(config.listen_address);
    if (!listen || !endpoint_options(config, cache, endpoint))
        return false;
    if (config.web_config_file.empty() && !tarn::loopback_host(listen->host))
        spdlog::warn("listen = {} is reachable from other hosts and no web_config_file is set: "
                     "the scrape is served over plain HTTP without a password",
                     config.listen_address);
    return true;
}

// -t: everything a start reads and refuses, without collecting or posting; the listen address is
// bound with port 0, as the configured port may be held by the daemon about to be restarted.
// Findings and the verdict go to standard error, wherever the daemon logs.
int check_configuration(const tarn::CommandLineOptions& options, const tarn::ConfigResult& loaded) {
    bool fine = loaded.config.has_value();
    if (fine) {
        tarn::MetricStore store(loaded.config->metrics_prefix);
        tarn::ScrapeCache cache(store);
        tarn::EndpointOptions endpoint;
        fine = startable(options, *loaded.config, cache, endpoint) &&
               (!loaded.config->prometheus_enabled ||
                tarn::listen_address_usable(loaded.config->listen_address));
    }
    if (!fine) {
        spdlog::error("Configuration {} is not valid", options.config_path);
        return 1;
    }
    std::fprintf(stderr, "Configuration %s is valid\n", options.config_path.c_str());
    std::fflush(stderr);
    return 0;
}

int run(int argc, char** argv) {
    tarn::setup_early_logging();
    tarn::install_stop_signal_handler();
    tarn::reset_child_signal();

    tarn::ParsedCommandLine parsed = tarn::parse_command_line(argc, argv);
    if (!parsed.error.empty()) {
        // -t answers on standard error even where the log would go to syslog.
        if (parsed.options.check_config)
            tarn::setup_logging(parsed.options.log_file, parsed.options.log_size, false);
        spdlog::error("{}", parsed.error);
        if (parsed.show_help)
            std::fputs(tarn::kHelpText, stderr);
        return 1;
    }
    if (parsed.exit_status)
        return *parsed.exit_status;
    const tarn::CommandLineOptions& options = parsed.options;

    const bool use_file =
        !options.dump_prometheus && !options.check_config && !::isatty(STDERR_FILENO);
    tarn::setup_logging(options.log_file, options.log_size, use_file);

    tarn::ConfigResult loaded = tarn::load_config(options.config_path);
    if (options.check_config)
        return check_configuration(options, loaded);
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

    // Declared before the server so that it outlives the server's thread.
    tarn::ScrapeCache scrape_cache(store);
    tarn::EndpointOptions endpoint;
    if (!startable(options, config, scrape_cache, endpoint))
        return 1;

    // A second daemon on the same buffer file would post the same lines: refused here, before
    // anything is bound or posted. Any other fault of the file leaves the buffer in memory.
    std::unique_ptr<tarn::InfluxSpool> spool;
    if (config.influx_enabled && !config.influx_buffer_file.empty()) {
        tarn::InfluxSpoolOpening opening = tarn::open_influx_spool(config.influx_buffer_file);
        if (opening.in_use)
            return 1;
        spool = std::move(opening.spool);
    }

    std::optional<tarn::InfluxWriter> writer;
    if (config.influx_enabled) {
        tarn::InfluxTarget target;
        target.user = config.influx_user;
        target.password = config.influx_password;
        target.url = config.influx_url;
        target.database = config.influx_database;
        target.retention_policy = config.influx_retention_policy;
        target.token = config.influx_token;
        target.org = config.influx_org;
        target.bucket = config.influx_bucket;
        target.batched = config.influx_batch_size > 1;
        target.gzip = config.influx_gzip;
        target.ca_file = config.influx_ca_file;
        target.insecure_skip_verify = config.influx_insecure_skip_verify;
        // With a buffer, a post under way at a stop is given up at once: its lines stay
        // buffered for the last attempt, which has its own time. Without one it is the last
        // attempt, and gets that time.
        const bool buffering = config.influx_buffer_limit > 0;
        writer.emplace(tarn::influx_endpoint(target), &tarn::g_run_flag,
                       buffering ? 0 : tarn::kInfluxExitAttemptMs);
    }

    std::optional<tarn::HttpServer> server;
    std::thread server_thread;
    if (config.prometheus_enabled) {
        server.emplace(
            config.listen_address, [&scrape_cache] { return scrape_cache.document(); },
            &tarn::g_run_flag, std::move(endpoint));
        if (!server->start())
            return 1;
        try {
            server_thread = std::thread([&server] {
                // Like a failed wait: the scrape server ends, the collection goes on.
                try {
                    server->serve();
                } catch (const std::exception& error) {
                    spdlog::error("Scrape server stopped: {}", error.what());
                }
            });
        } catch (const std::system_error& error) {
            spdlog::error("Cannot start the scrape server thread: {}", error.what());
            return 1;
        }
    }

    // From here on the server thread runs: no exception may pass it unjoined (that would be
    // std::terminate), so every one ends the run in order with status 1.
    int status = 0;
    try {
        spdlog::info("Started, config={}, hostname={}, tsc_freq={}, interval={}, prometheus={} "
                     "({}), influx={}, log={} ({} bytes)",
                     options.config_path, hostname, *tsc_freq, config.interval_seconds,
                     config.prometheus_enabled ? "on" : "off", config.listen_address,
                     config.influx_enabled ? "on" : "off", options.log_file, options.log_size);

        tarn::CollectionSettings settings;
        settings.hostname = hostname;
        settings.tsc_freq = *tsc_freq;
        settings.interval_seconds = config.interval_seconds;
        settings.prometheus_enabled = config.prometheus_enabled;
        settings.influx_enabled = config.influx_enabled;
        settings.dump_influx = options.dump_influx;
        settings.self_metrics = config.self_metrics;
        // Checked only with Influx on; off, they are not used.
        settings.influx_batch_size =
            static_cast<std::size_t>(std::max<std::int32_t>(config.influx_batch_size, 1));
        settings.influx_buffer_limit =
            static_cast<std::size_t>(std::max<std::int32_t>(config.influx_buffer_limit, 0));
        settings.influx_timeout_ms = std::int64_t{config.influx_timeout_seconds} * 1000;
        tarn::run_collection_loop(settings, store, writer ? &*writer : nullptr, spool.get());
    } catch (const tarn::CollectorThreadError&) {
        status = 1; // already logged
    } catch (const std::exception& error) {
        spdlog::error("Collection stopped: {}", error.what());
        status = 1;
    } catch (...) {
        spdlog::error("Collection stopped: unknown error");
        status = 1;
    }
    if (status != 0)
        tarn::g_run_flag.store(0, std::memory_order_relaxed); // stops the server like a signal

    if (server_thread.joinable())
        server_thread.join();
    if (status != 0)
        return status;
    spdlog::info("Exiting");
    // The server goes before the writer, and both before the store they were given.
    server.reset();
    writer.reset();
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
