#include "daemon/config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace tarn {
namespace {

class ConfigFile {
  public:
    explicit ConfigFile(const std::string& text) {
        char name[] = "/tmp/tarn-config-XXXXXX";
        int fd = ::mkstemp(name);
        ::close(fd);
        path_ = name;
        std::ofstream(path_) << text;
    }
    ~ConfigFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

DaemonConfig load(const std::string& text) {
    ConfigFile file(text);
    auto result = load_config(file.path());
    EXPECT_TRUE(result.config) << text;
    return result.config.value_or(DaemonConfig{});
}

TEST(ConfigTest, EmptyFileGivesEveryDefault) {
    DaemonConfig c = load("");
    EXPECT_TRUE(c.prometheus_enabled);
    EXPECT_EQ(c.listen_address, "127.0.0.1:9273");
    EXPECT_EQ(c.metrics_prefix, "tarn_vm");
    EXPECT_TRUE(c.influx_enabled);
    EXPECT_EQ(c.influx_user, "");
    EXPECT_EQ(c.influx_password, "");
    EXPECT_EQ(c.influx_url, "");
    EXPECT_EQ(c.influx_database, "");
    EXPECT_EQ(c.interval_seconds, 10);
}

TEST(ConfigTest, EveryKeyIsReadCaseInsensitively) {
    DaemonConfig c = load("[Prometheus]\nEnabled = no\nLISTEN = [::1]:1\nmetrics_PREFIX = x\n"
                          "[INFLUX]\nenabled=off\nuser = u:@/\npassword = p w\nurl = h:8086\n"
                          "database = db\ninterval = 3\n[other]\nenabled = false\n");
    EXPECT_FALSE(c.prometheus_enabled);
    EXPECT_EQ(c.listen_address, "[::1]:1");
    EXPECT_EQ(c.metrics_prefix, "x");
    EXPECT_FALSE(c.influx_enabled);
    EXPECT_EQ(c.influx_user, "u:@/");
    EXPECT_EQ(c.influx_password, "p w");
    EXPECT_EQ(c.influx_url, "h:8086");
    EXPECT_EQ(c.influx_database, "db");
    EXPECT_EQ(c.interval_seconds, 3);
}

TEST(ConfigTest, Booleans) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"YES", true}, {"On", true},     {"1", true},  {"true", true},
        {"no", false}, {"OFF", false},   {"0", false}, {"False", false},
        {"2", true},   {"enable", true}, {"", true},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(load("[prometheus]\nenabled = " + text + "\n").prometheus_enabled, expected)
            << text;
}

TEST(ConfigTest, EmptyTextValuesDoNotFallBackToTheDefault) {
    DaemonConfig c = load("[prometheus]\nlisten =\nmetrics_prefix =   \n");
    EXPECT_EQ(c.listen_address, "");
    EXPECT_EQ(c.metrics_prefix, "");
}

TEST(ConfigTest, IntervalParsingAndClamp) {
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"0x1e", 30},
        {"010", 8},
        {"15s", 15},
        {"abc", 10},
        {"", 10},
        {"1", 1},
        {"0", 1},
        {"-5", 1},
        {"2147483647", 2147483647},
        {"99999999999", 2147483647},
        {"-99999999999", 1},
        {" 7 ", 7},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(load("[influx]\ninterval = " + text + "\n").interval_seconds, expected) << text;
}

TEST(ConfigTest, MissingFileAndBadLinesReportTheParseError) {
    auto missing = load_config("/nonexistent/tarn.conf");
    EXPECT_FALSE(missing.config);
    EXPECT_EQ(missing.error.parse_error, -1);

    ConfigFile bad("[prometheus]\nenabled = true\nthis line is bad\n[influx\nalso bad\n");
    auto result = load_config(bad.path());
    EXPECT_FALSE(result.config);
    EXPECT_EQ(result.error.parse_error, 3);
}

} // namespace
} // namespace tarn
