#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <spdlog/sinks/sink.h>

namespace tarn {

inline constexpr const char* kLoggerName = "tarn-vm-perfdata";
inline constexpr const char* kLogPattern = "[%Y-%m-%d %H:%M:%S.%e] [%l] %v";
inline constexpr std::size_t kRotatedLogFiles = 5;

// Makes a logger around the one sink spdlog's default logger; the one before is released.
void install_logger(std::shared_ptr<spdlog::sinks::sink> sink);

// stderr when it is a terminal, syslog otherwise; used until the command line is known.
void setup_early_logging();

// stderr, or the rotating file when use_file is set; syslog when the file cannot be opened.
void setup_logging(const std::string& log_file, std::uint64_t log_size, bool use_file);

} // namespace tarn
