#include "exporters/web/web_config_reloader.h"

#include "metrics/health_figures.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

namespace tarn {
namespace {

constexpr auto kCheckEvery = std::chrono::seconds(1);

} // namespace

WebSettingsResult load_web_settings(const std::string& path) {
    WebConfigResult read = read_web_config(path);
    if (!read.config)
        return {std::nullopt, std::move(read.error), {}, {path}};
    const WebConfig& config = *read.config;
    std::vector<std::string> files = config.named_files();
    files.insert(files.begin(), path);
    WebSettings settings;
    if (config.tls) {
        TlsContextResult tls = make_tls_context(*config.tls, path);
        if (!tls.context)
            return {std::nullopt, std::move(tls.error), {}, std::move(files)};
        settings.tls = std::move(tls.context);
        for (std::string& warning : tls_warnings(*config.tls, path))
            read.warnings.push_back(std::move(warning));
    }
    settings.users = config.users;
    for (const auto& [name, value] : config.headers)
        settings.headers += fmt::format("{}: {}\r\n", name, value);
    settings.rate_limit = config.rate_limit;
    settings.http2_asked = config.http2_asked;
    settings.files = files;
    return {std::move(settings), {}, std::move(read.warnings), std::move(files)};
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
    : path_(std::move(path)), current_(std::move(loaded)), watched_(current_.files),
      seen_(stamps_of(watched_)), next_check_(Clock::now() + kCheckEvery) {}

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

void WebConfigReloader::warn_of_dropped(const WebSettings& next) const {
    if (current_.tls && !next.tls)
        spdlog::warn("Web config {} reloaded without TLS (the running set had it): new "
                     "connections are served over plain HTTP",
                     path_);
    if (!current_.users.empty() && next.users.empty())
        spdlog::warn("Web config {} reloaded without basic auth users (the running set had {}): "
                     "new connections are served without a password",
                     path_, current_.users.size());
}

bool WebConfigReloader::poll(Clock::time_point now) {
    if (now < next_check_)
        return false;
    next_check_ = now + kCheckEvery;
    const Stamps stamps = stamps_of(watched_);
    if (stamps == seen_) {
        moving_.reset();
        return false;
    }
    if (stamps != moving_) {
        moving_ = stamps; // still being written, perhaps: the next check tells
        return false;
    }
    moving_.reset();
    WebSettingsResult loaded = load_web_settings(path_);
    // A failed set's files are watched with the good set's: either may be mended next.
    std::vector<std::string> files = loaded.files;
    if (!loaded.settings)
        for (const std::string& file : current_.files)
            if (std::find(files.begin(), files.end(), file) == files.end())
                files.push_back(file);
    watched_ = files;
    // What the load read is what the two checks saw only if no file changed under it and it
    // named none that was not watched; otherwise the load counts for nothing and the files wait
    // for the next check.
    const Stamps after = stamps_of(files);
    const bool steady = std::all_of(after.begin(), after.end(), [&stamps](const auto& file) {
        const auto checked = stamps.find(file.first);
        return checked != stamps.end() && checked->second == file.second;
    });
    if (!steady) {
        moving_ = after;
        seen_.clear();
        return false;
    }
    seen_ = after;
    record_web_config_load(loaded.settings.has_value());
    if (!loaded.settings) {
        spdlog::error("{}; new connections are served with the web config loaded before",
                      loaded.error);
        return false;
    }
    for (const std::string& warning : loaded.warnings)
        spdlog::warn("{}", warning);
    warn_of_dropped(*loaded.settings);
    current_ = std::move(*loaded.settings);
    spdlog::info("Web config {} reloaded: TLS {}, basic auth for {} user(s)", path_,
                 current_.tls ? "on" : "off", current_.users.size());
    return true;
}

} // namespace tarn
