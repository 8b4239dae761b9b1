#include "daemon/collection_loop.h"
#include "exporters/influx/influx_batcher.h"
#include "exporters/influx/influx_spool.h"
#include "log_capture.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

namespace tarn {
namespace {

// A disk under SQLite's default VFS: a power cut puts every open file back as its last sync left
// it and tears the cutting write in half; from then on writes, truncations, syncs and deletes
// fail. `full` answers writes as a full disk does.
struct CutFile {
    sqlite3_file base;
    sqlite3_file* real;
    std::string synced; // the file as its last sync (or its opening) left it
};
sqlite3_vfs* g_root;
sqlite3_vfs g_vfs;
sqlite3_io_methods g_io;
int g_writes_left = -1; // the write that cuts the power; -1: none
bool g_dead = false, g_full = false;
std::vector<CutFile*> g_files;

sqlite3_file* real(sqlite3_file* f) {
    return reinterpret_cast<CutFile*>(f)->real;
}
// A method passed on to the default VFS's file.
#define PASS(method)                                                                               \
    [](sqlite3_file* f, auto... a) { return real(f)->pMethods->method(real(f), a...); }

void synced(sqlite3_file* f) {
    sqlite3_int64 size = 0;
    real(f)->pMethods->xFileSize(real(f), &size);
    std::string& data = reinterpret_cast<CutFile*>(f)->synced;
    data.resize(static_cast<std::size_t>(size));
    real(f)->pMethods->xRead(real(f), data.data(), static_cast<int>(size), 0);
}

void cut() {
    for (CutFile* f : g_files) {
        f->real->pMethods->xTruncate(f->real, static_cast<sqlite3_int64>(f->synced.size()));
        f->real->pMethods->xWrite(f->real, f->synced.data(), static_cast<int>(f->synced.size()), 0);
    }
    g_dead = true;
}

void register_cut_vfs() {
    if (g_root != nullptr)
        return sqlite3_vfs_register(&g_vfs, 1), void();
    g_root = sqlite3_vfs_find(nullptr);
    g_vfs = *g_root;
    g_vfs.zName = "cut";
    g_vfs.szOsFile = static_cast<int>(sizeof(CutFile)) + g_root->szOsFile;
    g_vfs.xOpen = [](sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out) {
        auto* f = new (file)
            CutFile{{}, reinterpret_cast<sqlite3_file*>(reinterpret_cast<CutFile*>(file) + 1), {}};
        const int code = g_root->xOpen(g_root, name, f->real, flags, out);
        if ((f->base.pMethods = f->real->pMethods != nullptr ? &g_io : nullptr) != nullptr) {
            g_files.push_back(f);
            synced(file);
        }
        return code;
    };
    g_vfs.xDelete = [](sqlite3_vfs*, const char* name, int sync) {
        return g_dead ? SQLITE_IOERR_DELETE : g_root->xDelete(g_root, name, sync);
    };
    g_io.iVersion = 1; // no shared memory, no mapping
    g_io.xClose = [](sqlite3_file* f) {
        std::erase(g_files, reinterpret_cast<CutFile*>(f));
        const int code = real(f)->pMethods->xClose(real(f));
        return reinterpret_cast<CutFile*>(f)->~CutFile(), code;
    };
    g_io.xRead = PASS(xRead);
    g_io.xWrite = [](sqlite3_file* f, const void* data, int n, sqlite3_int64 at) {
        if (g_dead || g_full)
            return g_full ? SQLITE_FULL : SQLITE_IOERR_WRITE;
        if (g_writes_left < 0 || g_writes_left-- > 0)
            return real(f)->pMethods->xWrite(real(f), data, n, at);
        cut();
        real(f)->pMethods->xWrite(real(f), data, n / 2, at); // torn
        return SQLITE_IOERR_WRITE;
    };
    g_io.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
        return g_dead ? SQLITE_IOERR_TRUNCATE : PASS(xTruncate)(f, size);
    };
    g_io.xSync = [](sqlite3_file* f, int flags) {
        return g_dead ? SQLITE_IOERR_FSYNC : (synced(f), PASS(xSync)(f, flags));
    };
    g_io.xFileSize = PASS(xFileSize);
    g_io.xLock = PASS(xLock);
    g_io.xUnlock = PASS(xUnlock);
    g_io.xCheckReservedLock = PASS(xCheckReservedLock);
    g_io.xFileControl = PASS(xFileControl);
    g_io.xSectorSize = PASS(xSectorSize);
    g_io.xDeviceCharacteristics = PASS(xDeviceCharacteristics);
    sqlite3_vfs_register(&g_vfs, 1);
}

// The lines a new opening finds in the file.
std::string left_in(const std::string& file) {
    InfluxSpoolOpening opening = open_influx_spool(file);
    return opening.spool ? fmt::format("{}", fmt::join(opening.spool->take_left_lines(), " "))
                         : "no file";
}

// Feeds of three lines "F.N" (batches of 2, a buffer of 5 lines) whose posts get the answers of
// `answers` in turn; every POST finds all kept lines in the file already. After the feeds the
// daemon dies: the file holds what was not settled or dropped, and the next start posts it
// first, as it was, before its own feed (every POST accepted).
TEST(InfluxSpoolTest, TheFileHoldsWhatTheBufferKeepsAcrossAStart) {
    // answers; feeds; the lines left in the file
    const std::vector<std::tuple<std::vector<long>, int, std::string>> cases = {
        {{}, 2, ""},
        {{0, 0}, 2, "1.1 1.2 2.0 2.1 2.2 "}, // one dropped at the limit
        {{503, 400, 204, 0}, 2, "2.1 2.2 "}, // a refusal is settled, a 503 kept
        {{204, 0, 0}, 1, "1.2 "},
    };
    for (const auto& [answers, feeds, left] : cases) {
        TempDir folder;
        int feed = 0, n = 0;
        std::size_t posts = 0;
        std::string posted;
        InfluxBatcher* batcher = nullptr;
        std::unique_ptr<InfluxSpool> spool;
        FeedHooks hooks;
        hooks.collect = [&] {
            return ++feed, n = 0, std::vector<MetricSample>(3, MetricSample("m"));
        };
        hooks.timestamp = [] { return std::string(); };
        hooks.line = [&](const MetricSample&, const std::string&) {
            return fmt::format("{}.{}", feed, n++);
        };
        hooks.post = [&](const std::string& body, std::int64_t) {
            EXPECT_EQ(spool->figures().lines, batcher->waiting()); // written ahead
            posted += body + "\n";
            return InfluxAnswer{posts < answers.size() ? answers[posts++] : 204};
        };
        hooks.monotonic_ns = [] { return std::int64_t{0}; };
        hooks.sleep_us = [](std::int64_t) {};
        const CollectionSettings settings{"h", 0, 1, false, true, false, false, 2, 5};
        MetricStore store("p");
        RunFlag flag{1};
        for (const bool start : {false, true}) { // the daemon dies after `feeds` feeds; a start
            spool.reset(), spool = open_influx_spool(folder.file).spool;
            InfluxBatcher influx(2, 5);
            influx.keep_in(*spool);
            batcher = &influx, posted.clear(), posts = std::max(posts, answers.size() * start);
            for (int i = 0; i < (start ? 1 : feeds); ++i)
                run_cycle(settings, store, hooks, influx, flag);
        }
        std::replace(posted.begin(), posted.end(), '\n', ' ');
        EXPECT_EQ(posted, left + fmt::format("{0}.0 {0}.1 {0}.2 ", feeds + 1)) << left;
    }
}

// Every feed whose commit returned survives a power cut at any write, and the file opens; with
// synchronous NORMAL the same cut loses committed feeds, so the harness does cut.
TEST(InfluxSpoolTest, PowerCutKeepsEveryCommittedFeed) {
    register_cut_vfs();
    for (const char* synchronous : {"FULL", "NORMAL"}) {
        int lost = 0;
        for (const int cut_at : {2, 20, 33, 47, 70, 1000}) {
            TempDir folder;
            std::set<std::string> committed;
            {
                g_dead = false, g_writes_left = cut_at;
                InfluxSpoolOpening opening = open_influx_spool(folder.file, synchronous);
                for (std::uint64_t feed = 1; feed <= 20 && opening.spool && !g_dead; ++feed) {
                    std::deque<std::string> lines;
                    for (int n = 0; n < 3; ++n)
                        lines.push_back(fmt::format("{}.{}", feed, n) + std::string(900, 'x'));
                    if (opening.spool->store(feed * 3, lines, 0))
                        committed.insert(lines.begin(), lines.end());
                    if (feed > 3 && opening.spool->remove_through(feed * 3 - 7))
                        std::erase_if(committed, [&](const std::string& l) {
                            return std::stoi(l) <= static_cast<int>(feed) - 3;
                        });
                }
                cut();
            }
            sqlite3_vfs_register(g_root, 1);
            LogCapture log;
            const std::string found = left_in(folder.file);
            EXPECT_EQ(log.text(), "") << synchronous << cut_at; // opens, nothing set aside
            lost += std::count_if(committed.begin(), committed.end(), [&](const std::string& l) {
                return found.find(l) == std::string::npos;
            });
            sqlite3_vfs_register(&g_vfs, 1);
        }
        EXPECT_EQ(lost > 0, std::string(synchronous) == "NORMAL") << synchronous;
    }
    g_dead = false, g_writes_left = -1;
    sqlite3_vfs_register(g_root, 1);
}

// A file failing the integrity check is set aside and a new one started (one that is not a
// database at all: e2e.test_influx_buffer_file); one another daemon holds is refused. A full
// disk keeps the lines in memory (one line an episode) until a write passes and stores them too;
// a file removed while in use is started anew with every kept line.
TEST(InfluxSpoolTest, FaultsLeaveTheBufferWorking) {
    TempDir folder;
    open_influx_spool(folder.file).spool->store(1, {20, std::string(900, 'x')}, 0);
    std::fstream(folder.file, std::ios::in | std::ios::out | std::ios::binary)
        .seekp(8192) // the table's root page
        .write(std::string(200, '\x7f').data(), 200);
    LogCapture log;
    EXPECT_EQ(left_in(folder.file), "");
    register_cut_vfs();
    InfluxSpoolOpening opening = open_influx_spool(folder.file);
    EXPECT_TRUE(open_influx_spool(folder.file).in_use);
    InfluxBatcher batcher(10, 100);
    batcher.keep_in(*opening.spool);
    for (const std::string feed : {"1", "2f", "3f", "4", "5r"}) {
        g_full = feed.ends_with('f');
        if (feed.ends_with('r'))
            std::filesystem::remove(folder.file);
        batcher.begin_feed();
        for (int n = 0; n < 3; ++n)
            batcher.add(fmt::format("{}.{}", feed[0], n));
        batcher.write_ahead();
        batcher.post_batch([](const std::string&) { return InfluxAnswer{0}; });
        batcher.end_feed();
    }
    EXPECT_EQ(opening.spool->figures().write_failures, 3u);
    opening.spool.reset();
    EXPECT_EQ(left_in(folder.file), "1.0 1.1 1.2 2.0 2.1 2.2 3.0 3.1 3.2 4.0 4.1 4.2 5.0 5.1 5.2");
    const std::string text =
        std::regex_replace(std::regex_replace(log.text(), std::regex(folder.file), "F"),
                           std::regex("used \\(.+\\); set aside as F.corrupt-\\d{8}T\\d{6}Z"),
                           "used (R); set aside as F.T");
    const std::string unwritten = "Influx buffer file F cannot be written (";
    const std::string in_memory = "); lines not in it are kept in memory until it can be\n";
    const auto kept = [](int n) {
        return fmt::format("Influx unreachable; {} lines kept in the buffer\n", n);
    };
    EXPECT_EQ(text, "Influx buffer file F cannot be used (R); set aside as F.T, a new one started\n"
                    "Influx buffer file F is in use by another process (database is locked); not "
                    "starting\n" +
                        kept(3) + unwritten + "database or disk is full" + in_memory + kept(6) +
                        kept(9) + "Influx buffer file F is written again\n" + kept(12) + unwritten +
                        "removed or replaced while in use" + in_memory +
                        "Influx buffer file F is written again\n" + kept(15));
    sqlite3_vfs_register(g_root, 1);
}

} // namespace
} // namespace tarn
