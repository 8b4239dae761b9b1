// Posts a feed's Influx lines the way the feed loop does (InfluxBatcher and InfluxWriter), for
// bench/influx_output.py:
//   influx_posting URL DATABASE LINES_FILE FEEDS BATCH_SIZE GZIP INFLUXD_PID
//       posts FEEDS feeds of the file's lines, each feed with a fresh timestamp, and prints
//       "WALL_S CPU_S SERVER_CPU_S BODY_BYTES POSTS FAILED" per feed: the posting's wall and CPU
//       time (the whole process), the server's CPU time (utime + stime of INFLUXD_PID, taken
//       over all feeds and a settling pause after them), the bytes of the bodies as sent
//       (compressed when GZIP is 1), the POSTs and the lines not accepted;
//   influx_posting --buffer LINES_FILE COUNT
//       fills a buffer of COUNT lines with feeds of the file's lines, each line built anew by
//       influx_line as the daemon builds it, and prints "RSS_BEFORE_KIB RSS_AFTER_FIRST_FEED_KIB
//       LINES_OF_A_FEED RSS_AFTER_KIB LINES_HELD";
//   influx_posting --spool LINES_FILE FEEDS FILE
//       hands FEEDS feeds of the file's lines to a batcher in memory and to one keeping them in
//       the buffer file FILE too, in turns, every POST accepted at once, and prints per feed
//       "MEMORY_WALL_S FILE_WALL_S COMMIT_WALL_S": the feed's adding, posting and settling in
//       each, and the write ahead alone; then fills the file with 100,000 lines (no answer) and
//       prints "LINES FILE_BYTES";
//   influx_posting --drain URL DATABASE LINES_FILE COUNT FILE
//       fills the buffer file FILE with COUNT lines (feeds of the file's lines, no answer), then
//       posts them to the server in batches of 5000 as the daemon does after a start, and
//       prints "LINES SECONDS BYTES_FULL BYTES_DRAINED".
#include "exporters/gzip.h"
#include "exporters/influx/influx_batcher.h"
#include "exporters/influx/influx_line.h"
#include "exporters/influx/influx_spool.h"
#include "exporters/influx/influx_writer.h"

#include <spdlog/spdlog.h>

#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

double seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// utime + stime of a process, in seconds.
double process_cpu(const std::string& pid) {
    std::ifstream file("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14)
            ticks += std::strtod(field.c_str(), nullptr);
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

long rss_kib() {
    std::ifstream file("/proc/self/status");
    for (std::string line; std::getline(file, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

std::vector<std::string> read_lines(const char* path) {
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

std::string with_timestamp(const std::string& line, const std::string& stamp) {
    return line.substr(0, line.rfind(' ') + 1) + stamp;
}

// The sample a line was made from (no escapes in the daemon's lines).
tarn::MetricSample parse_line(const std::string& line) {
    const std::size_t key_end = line.find(' '), fields_end = line.rfind(' ');
    std::istringstream key(line.substr(0, key_end));
    std::string part;
    std::getline(key, part, ',');
    tarn::MetricSample sample(part);
    while (std::getline(key, part, ','))
        sample.labels.emplace_back(part.substr(0, part.find('=')), part.substr(part.find('=') + 1));
    std::istringstream fields(line.substr(key_end + 1, fields_end - key_end - 1));
    while (std::getline(fields, part, ','))
        sample.fields.push_back({part.substr(0, part.find('=')), part.substr(part.find('=') + 1),
                                 tarn::MetricKind::gauge});
    return sample;
}

int hold_buffer(const char* path, std::size_t count) {
    std::vector<tarn::MetricSample> samples;
    for (const std::string& line : read_lines(path))
        samples.push_back(parse_line(line));
    if (samples.empty())
        return 2;
    spdlog::set_level(spdlog::level::off); // the last feed's drops would be logged to stdout
    const long before = rss_kib();
    // Feed by feed, as the daemon fills it while the server is away: each feed's lines are
    // built anew, and the buffer keeps what it holds across feeds.
    tarn::InfluxBatcher buffer(5000, count);
    long first_feed = 0;
    for (std::int64_t feed = 0; buffer.waiting() < count; ++feed) {
        const std::string stamp = std::to_string(1800000000000000000 + feed);
        buffer.begin_feed();
        buffer.stop(tarn::PostingStop::shutdown); // says nothing at the end of the feed
        for (const tarn::MetricSample& sample : samples)
            buffer.add(tarn::influx_line(sample, stamp));
        buffer.end_feed();
        if (feed == 0)
            first_feed = rss_kib();
    }
    std::printf("%ld %ld %zu %ld %zu\n", before, first_feed, samples.size(), rss_kib(),
                buffer.waiting());
    return 0;
}

// One feed of `lines` (stamped anew) through `batcher`, posted by `post`; its wall time, and
// in `commit` the write ahead's.
double spool_feed(tarn::InfluxBatcher& batcher, const std::vector<std::string>& lines,
                  std::int64_t feed, const tarn::InfluxBatcher::Post& post, double& commit) {
    const std::string stamp = std::to_string(1800000000000000000 + feed);
    std::vector<std::string> stamped;
    for (const std::string& line : lines)
        stamped.push_back(with_timestamp(line, stamp));
    const double wall0 = seconds(CLOCK_MONOTONIC);
    batcher.begin_feed();
    for (std::string& line : stamped)
        batcher.add(std::move(line));
    const double commit0 = seconds(CLOCK_MONOTONIC);
    batcher.write_ahead();
    commit = seconds(CLOCK_MONOTONIC) - commit0;
    while (batcher.batch_waiting(true))
        batcher.post_batch(post);
    batcher.end_feed();
    return seconds(CLOCK_MONOTONIC) - wall0;
}

// Fills a buffer file with `count` lines, as an outage does.
std::unique_ptr<tarn::InfluxSpool> filled_spool(const std::vector<std::string>& lines,
                                                std::size_t count, const char* path) {
    std::unique_ptr<tarn::InfluxSpool> spool = tarn::open_influx_spool(path).spool;
    tarn::InfluxBatcher batcher(5000, count);
    batcher.keep_in(*spool);
    double commit = 0;
    for (std::int64_t feed = 0; batcher.waiting() < count; ++feed)
        spool_feed(
            batcher, lines, feed, [](const std::string&) { return tarn::InfluxAnswer{0}; }, commit);
    spool.reset(); // opened again, as at a start, to find them
    return tarn::open_influx_spool(path).spool;
}

int spool_cost(const char* lines_file, int feeds, const char* path) {
    const std::vector<std::string> lines = read_lines(lines_file);
    spdlog::set_level(spdlog::level::off);
    std::unique_ptr<tarn::InfluxSpool> spool = tarn::open_influx_spool(path).spool;
    tarn::InfluxBatcher memory(5000, 100000), file(5000, 100000);
    file.keep_in(*spool);
    const tarn::InfluxBatcher::Post accepted = [](const std::string&) {
        return tarn::InfluxAnswer{204};
    };
    for (int feed = 0; feed < feeds; ++feed) {
        double commit = 0, none = 0;
        const double in_memory = spool_feed(memory, lines, feed, accepted, none);
        const double in_file = spool_feed(file, lines, feed, accepted, commit);
        std::printf("%f %f %f\n", in_memory, in_file, commit);
    }
    spool.reset();
    std::remove(path);
    spool = filled_spool(lines, 100000, path);
    std::printf("%llu %llu\n", static_cast<unsigned long long>(spool->figures().lines),
                static_cast<unsigned long long>(spool->figures().bytes));
    return 0;
}

int drain(const char* url, const char* database, const char* lines_file, std::size_t count,
          const char* path) {
    const std::vector<std::string> lines = read_lines(lines_file);
    spdlog::set_level(spdlog::level::off);
    std::unique_ptr<tarn::InfluxSpool> spool = filled_spool(lines, count, path);
    const std::uint64_t full = spool->figures().bytes;
    tarn::InfluxTarget target;
    target.url = url;
    target.database = database;
    target.batched = true;
    tarn::InfluxWriter writer(tarn::influx_endpoint(target));
    tarn::InfluxBatcher batcher(5000, count);
    batcher.keep_in(*spool);
    const double wall0 = seconds(CLOCK_MONOTONIC);
    batcher.begin_feed();
    while (batcher.batch_waiting(true))
        batcher.post_batch([&](const std::string& body) { return writer.post(body, 30000); });
    batcher.end_feed();
    const double wall = seconds(CLOCK_MONOTONIC) - wall0;
    std::printf("%llu %f %llu %llu\n", static_cast<unsigned long long>(batcher.counters().sent),
                wall, static_cast<unsigned long long>(full),
                static_cast<unsigned long long>(spool->figures().bytes));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--buffer") == 0)
        return hold_buffer(argv[2], std::strtoul(argv[3], nullptr, 10));
    if (argc == 5 && std::strcmp(argv[1], "--spool") == 0)
        return spool_cost(argv[2], std::atoi(argv[3]), argv[4]);
    if (argc == 7 && std::strcmp(argv[1], "--drain") == 0)
        return drain(argv[2], argv[3], argv[4], std::strtoul(argv[5], nullptr, 10), argv[6]);
    if (argc != 8) {
        std::fprintf(stderr, "usage: influx_posting URL DATABASE LINES_FILE FEEDS BATCH_SIZE "
                             "GZIP INFLUXD_PID | --buffer LINES_FILE COUNT\n");
        return 2;
    }
    const std::vector<std::string> lines = read_lines(argv[3]);
    const int feeds = std::atoi(argv[4]);
    const auto batch_size = static_cast<std::size_t>(std::atol(argv[5]));
    const bool gzip = std::strcmp(argv[6], "1") == 0;
    const std::string server_pid = argv[7];

    tarn::InfluxTarget target;
    target.url = argv[1];
    target.database = argv[2];
    target.batched = batch_size > 1;
    target.gzip = gzip;
    tarn::InfluxWriter writer(tarn::influx_endpoint(target));
    tarn::InfluxBatcher batcher(batch_size, 0);

    const double server0 = process_cpu(server_pid);
    std::vector<std::string> results;
    for (int feed = 0; feed < feeds; ++feed) {
        const std::string stamp = tarn::influx_timestamp();
        std::vector<std::string> stamped;
        stamped.reserve(lines.size());
        for (const std::string& line : lines)
            stamped.push_back(with_timestamp(line, stamp));
        std::size_t posts = 0, bytes = 0;
        std::vector<std::string> bodies; // sized after the timing, not during it
        const tarn::InfluxBatcher::Post post = [&](const std::string& body) {
            ++posts;
            bodies.push_back(body);
            return writer.post(body);
        };
        const auto sent_before = batcher.counters().sent;

        const double cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
        const double wall0 = seconds(CLOCK_MONOTONIC);
        batcher.begin_feed();
        for (std::string& line : stamped) {
            batcher.add(std::move(line));
            while (batcher.batch_waiting(false))
                batcher.post_batch(post);
        }
        while (batcher.batch_waiting(true))
            batcher.post_batch(post);
        batcher.end_feed();
        const double wall1 = seconds(CLOCK_MONOTONIC);
        const double cpu1 = seconds(CLOCK_PROCESS_CPUTIME_ID);

        for (const std::string& body : bodies)
            bytes += gzip ? tarn::gzip_compress(body, 1).size() : body.size();
        const auto accepted = batcher.counters().sent - sent_before;
        results.push_back(std::to_string(wall1 - wall0) + " " + std::to_string(cpu1 - cpu0) +
                          " SERVER " + std::to_string(bytes) + " " + std::to_string(posts) + " " +
                          std::to_string(lines.size() - accepted));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // influxd finishes some of a write after answering it.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double server = (process_cpu(server_pid) - server0) / feeds;
    for (std::string& result : results) {
        result.replace(result.find("SERVER"), 6, std::to_string(server));
        std::printf("%s\n", result.c_str());
    }
    return 0;
}
