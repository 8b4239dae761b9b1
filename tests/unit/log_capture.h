#pragma once

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

namespace tarn {

// While it lives, the default logger writes each message's text alone, one a line, to `stream`
// (messages below `level` left out).
class LogCapture {
  public:
    explicit LogCapture(spdlog::level::level_enum level = spdlog::level::trace) {
        auto logger = std::make_shared<spdlog::logger>(
            "capture", std::make_shared<spdlog::sinks::ostream_sink_mt>(stream));
        logger->set_pattern("%v");
        logger->set_level(level);
        spdlog::set_default_logger(std::move(logger));
    }
    ~LogCapture() {
        spdlog::set_default_logger(previous_);
        spdlog::drop("capture"); // its sink refers to the stream about to go
    }
    std::string text() const { return stream.str(); }

    std::ostringstream stream;

  private:
    std::shared_ptr<spdlog::logger> previous_ = spdlog::default_logger();
};

// A new folder under /tmp, removed with all it holds when this goes; `file` is a name in it.
struct TempDir {
    std::string path = ::mkdtemp(std::string("/tmp/tarn-test-XXXXXX").data());
    std::string file = path + "/f";
    ~TempDir() { std::filesystem::remove_all(path); }
};

} // namespace tarn
