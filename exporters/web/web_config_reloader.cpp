#include "exporters/web/web_config_reloader.h"

#include "metrics/health_figures.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <sys/stat.h>

#include <cerrno>

namespace tarn {
namespace {

constexpr auto kCheckEvery = std::chrono::seconds(1);

} // namespace

WebSettingsResult load_web_settings(const std::string& path) {
    WebConfigResult read = read_web_config(path);
    if (!read.config)
        return {std::nullopt, std::move(read.error), {}};
    const WebConfig& config = *read.config;
    WebSettings settings;
    if (config.tls) {
        TlsContextResult tls = make_tls_context(*config.tls, path);
        if (!tls.context)
            return {std::nullopt, std::move(tls.error), {}};
        settings.tls = std::move(tls.context);
        for (std::string& warning : tls_warnings(*config.tls, path))
            read.warnings.push_back(std::move(warning));
    }
    settings.users = config.users;
    for (const auto& [name, value] : config.headers)
        settings.headers += fmt::format("{}: {}\r\n", name, value);
    settings.rate_limit = config.rate_limit;
    settings.http2_asked = config.http2_asked;
    settings.files = config.named_files();
    settings.files.insert(settings.files.begin(), path);
    return {std::move(settings), {}, std::move(read.warnings)};
}

void record_web_config_load(bool loaded) {
    health_figures().set("web_config_last_reload_successful", loaded ? "1" : "0");
    if (loaded) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        health_figures().set("web_config_last_reload_success_timestamp_seconds",
                             fmt::format("{:.3f}", std::chrono::duration<double>(now).count()));
    }
}

WebConfigReloader::WebConfigReloader(std::string path, WebSettings loaded)
    : path_(std::move(path)), current_(std::move(loaded)), seen_(stamps_of(current_.files)),
      next_check_(Clock::now() + kCheckEvery) {}

WebConfigReloader::Stamps
WebConfigReloader::stamps_of(const std::vector<std::string>& files) const {
    Stamps stamps;
    for (const std::string& file : files) {
        struct stat status {};
        Stamp& stamp = stamps[file];
        if (::stat(file.c_str(), &status) != 0) {
            stamp.error = errno;
            continue;
        }
        stamp.device = status.st_dev;
        stamp.inode = status.st_ino;
        stamp.size = static_cast<unsigned long long>(status.st_size);
        stamp.modified_ns = status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec;
        stamp.changed_ns = status.st_ctim.tv_sec * 1000000000LL + status.st_ctim.tv_nsec;
    }
    return stamps;
}

bool WebConfigReloader::poll(Clock::time_point now) {
    if (now < next_check_)
        return false;
    next_check_ = now + kCheckEvery;
    std::vector<std::string> files;
    for (const auto& [file, stamp] : seen_)
        files.push_back(file);
    const Stamps before = stamps_of(files);
    if (before == seen_)
        return false;
    WebSettingsResult loaded = load_web_settings(path_);
    // What the load read is known by the stamps taken before it, so that a file written while it
    // ran is read again at the next check.
    Stamps after = stamps_of(loaded.settings ? loaded.settings->files : files);
    for (auto& [file, stamp] : after) {
        const auto earlier = before.find(file);
        if (earlier != before.end())
            stamp = earlier->second;
    }
    seen_ = std::move(after);
    record_web_config_load(loaded.settings.has_value());
    if (!loaded.settings) {
        spdlog::error("{}; new connections are served with the web config loaded before",
                      loaded.error);
        return false;
    }
    for (const std::string& warning : loaded.warnings)
        spdlog::warn("{}", warning);
    current_ = std::move(*loaded.settings);
    spdlog::info("Web config {} reloaded: TLS {}, basic auth for {} user(s)", path_,
                 current_.tls ? "on" : "off", current_.users.size());
    return true;
}

} // namespace tarn
