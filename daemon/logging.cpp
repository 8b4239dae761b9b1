#include "daemon/logging.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/sinks/syslog_sink.h>
#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

namespace tarn {
namespace {

// One syslog sink for the whole process: a second sink's destructor would call closelog() and
// drop the ident and LOG_PID of the one still in use.
std::shared_ptr<spdlog::sinks::sink> syslog_sink() {
    static auto sink =
        std::make_shared<spdlog::sinks::syslog_sink_mt>(kLoggerName, LOG_PID, LOG_DAEMON, false);
    return sink;
}

std::shared_ptr<spdlog::sinks::sink> stderr_sink() {
    return std::make_shared<spdlog::sinks::stderr_sink_mt>();
}

// The sink opens the file (again at each rotation) without close-on-exec; the host tools the
// daemon starts must not inherit it.
spdlog::file_event_handlers close_on_exec() {
    spdlog::file_event_handlers handlers;
    handlers.after_open = [](const spdlog::filename_t&, std::FILE* file) {
        const int fd = ::fileno(file);
        const int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0)
            ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    };
    return handlers;
}

} // namespace

void install_logger(std::shared_ptr<spdlog::sinks::sink> sink) {
    auto logger = std::make_shared<spdlog::logger>(kLoggerName, std::move(sink));
    logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(kLogPattern));
    logger->flush_on(spdlog::level::info);
    spdlog::set_default_logger(std::move(logger));
}

void setup_early_logging() {
    install_logger(::isatty(STDERR_FILENO) ? stderr_sink() : syslog_sink());
}

void setup_logging(const std::string& log_file, std::uint64_t log_size, bool use_file) {
    if (!use_file) {
        install_logger(stderr_sink());
        return;
    }
    try {
        install_logger(std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            log_file, static_cast<std::size_t>(log_size), kRotatedLogFiles, false,
            close_on_exec()));
    } catch (const spdlog::spdlog_ex& error) {
        ::syslog(LOG_ERR, "cannot open log file %s: %s", log_file.c_str(), error.what());
        install_logger(syslog_sink());
    }
}

} // namespace tarn
