#include "exporters/influx/influx_spool.h"

#include <spdlog/spdlog.h>

#include <fmt/format.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace tarn {
namespace {

// Freed pages go back to the file system once there are this many and they are most of the
// file: a drained backlog leaves no large file behind, and the steady path (a feed's lines
// stored and removed, the same pages reused) moves no pages.
constexpr std::int64_t kVacuumFreePages = 256;

// A statement prepared for one use.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        code_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr);
    }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    int code() const { return code_; }
    sqlite3_stmt* get() const { return s_; }

  private:
    sqlite3_stmt* s_ = nullptr;
    int code_;
};

std::int64_t pragma_number(sqlite3* db, const char* sql) {
    Statement s(db, sql);
    return s.code() == SQLITE_OK && sqlite3_step(s.get()) == SQLITE_ROW
               ? sqlite3_column_int64(s.get(), 0)
               : 0;
}

bool unusable(int code) {
    code &= 0xff;
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

bool held_elsewhere(int code) {
    code &= 0xff;
    return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

std::string utc_stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
    return text;
}

} // namespace

InfluxSpool::InfluxSpool(std::string path, std::string synchronous)
    : path_(std::move(path)), synchronous_(std::move(synchronous)) {}

InfluxSpool::~InfluxSpool() {
    close();
}

void InfluxSpool::close() {
    sqlite3_close_v2(db_);
    db_ = nullptr;
}

int InfluxSpool::run(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

bool InfluxSpool::start(bool& in_use) {
    std::string reason;
    int code =
        sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    // Exclusive locking before WAL: no shared-memory file, and the lock is held from the first
    // write until the connection closes, so a second daemon on the file is refused.
    const std::string setup = "PRAGMA locking_mode = EXCLUSIVE; PRAGMA auto_vacuum = INCREMENTAL; "
                              "PRAGMA journal_mode = WAL; PRAGMA synchronous = " +
                              synchronous_ + "; PRAGMA journal_size_limit = 4194304;";
    if (code == SQLITE_OK)
        code = run(setup.c_str());
    if (code == SQLITE_OK) {
        Statement check(db_, "PRAGMA integrity_check(1)");
        code = check.code();
        if (code == SQLITE_OK && (code = sqlite3_step(check.get())) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0));
            reason = text != nullptr ? text : "";
            std::replace(reason.begin(), reason.end(), '\n', ' '); // one log line
            code = reason == "ok" ? SQLITE_OK : SQLITE_CORRUPT;
            if (code == SQLITE_OK)
                reason.clear();
        }
    }
    if (code == SQLITE_OK)
        code = run("BEGIN IMMEDIATE; CREATE TABLE IF NOT EXISTS lines (id INTEGER PRIMARY KEY, "
                   "line TEXT NOT NULL); COMMIT;");
    if (code == SQLITE_OK) {
        Statement rows(db_, "SELECT id, line FROM lines ORDER BY id");
        code = rows.code();
        left_.clear();
        while (code == SQLITE_OK && (code = sqlite3_step(rows.get())) == SQLITE_ROW) {
            const std::uint64_t id =
                static_cast<std::uint64_t>(sqlite3_column_int64(rows.get(), 0));
            if (left_.empty())
                first_left_seq_ = id;
            next_seq_ = id + 1;
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(rows.get(), 1));
            left_.emplace_back(text != nullptr ? text : "");
            code = SQLITE_OK;
        }
        if (code == SQLITE_DONE)
            code = SQLITE_OK;
    }
    struct stat status {};
    if (code == SQLITE_OK && ::stat(path_.c_str(), &status) == 0) {
        device_ = static_cast<std::uint64_t>(status.st_dev);
        inode_ = static_cast<std::uint64_t>(status.st_ino);
        lines_ = left_.size();
        return true;
    }
    if (reason.empty())
        reason = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    close();
    left_.clear();
    if (held_elsewhere(code)) {
        in_use = true;
        spdlog::error("Influx buffer file {} is in use by another process ({}); not starting",
                      path_, reason);
        return false;
    }
    if (!unusable(code)) {
        spdlog::error("Influx buffer file {} cannot be opened ({}); the buffer is kept in memory",
                      path_, reason);
        return false;
    }
    // Kept for a look, never read again: its write-ahead log goes with it, so that it is not
    // played into the new file.
    const std::string aside = path_ + ".corrupt-" + utc_stamp();
    if (std::rename(path_.c_str(), aside.c_str()) != 0) {
        spdlog::error("Influx buffer file {} cannot be used ({}) nor set aside ({}); the buffer "
                      "is kept in memory",
                      path_, reason, std::strerror(errno));
        return false;
    }
    std::rename((path_ + "-wal").c_str(), (aside + "-wal").c_str());
    std::remove((path_ + "-shm").c_str());
    ++counts_.set_aside;
    spdlog::error("Influx buffer file {} cannot be used ({}); set aside as {}, a new one started",
                  path_, reason, aside);
    return start(in_use);
}

InfluxSpoolOpening open_influx_spool(const std::string& path, const char* synchronous) {
    InfluxSpoolOpening opening;
    std::unique_ptr<InfluxSpool> spool(new InfluxSpool(path, synchronous));
    if (spool->start(opening.in_use))
        opening.spool = std::move(spool);
    return opening;
}

std::vector<std::string> InfluxSpool::take_left_lines() {
    return std::move(left_);
}

bool InfluxSpool::failed(int code) {
    const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
    if (db_ != nullptr && !sqlite3_get_autocommit(db_))
        run("ROLLBACK");
    ++counts_.write_failures;
    if (!failing_)
        spdlog::error("Influx buffer file {} cannot be written ({}); lines not in it are kept in "
                      "memory until it can be",
                      path_, reason);
    failing_ = true;
    return false;
}

bool InfluxSpool::written() {
    if (failing_)
        spdlog::info("Influx buffer file {} is written again", path_);
    failing_ = false;
    return true;
}

bool InfluxSpool::store(std::uint64_t first_seq, const std::deque<std::string>& lines,
                        std::size_t from) {
    if (db_ == nullptr)
        return failed(SQLITE_CANTOPEN);
    int code = run("BEGIN IMMEDIATE");
    if (code != SQLITE_OK)
        return failed(code);
    {
        Statement insert(db_, "INSERT OR REPLACE INTO lines (id, line) VALUES (?, ?)");
        code = insert.code();
        std::uint64_t seq = first_seq;
        for (std::size_t i = from; code == SQLITE_OK && i < lines.size(); ++i, ++seq) {
            sqlite3_bind_int64(insert.get(), 1, static_cast<sqlite3_int64>(seq));
            sqlite3_bind_text(insert.get(), 2, lines[i].data(), static_cast<int>(lines[i].size()),
                              SQLITE_STATIC);
            code = sqlite3_step(insert.get());
            code = code == SQLITE_DONE ? sqlite3_reset(insert.get()) : code;
        }
        if (code == SQLITE_OK)
            next_seq_ = std::max(next_seq_, seq);
    }
    if (code == SQLITE_OK)
        code = run("COMMIT");
    if (code != SQLITE_OK)
        return failed(code);
    lines_ += lines.size() - from;
    return written();
}

bool InfluxSpool::remove_through(std::uint64_t last_seq) {
    if (db_ == nullptr)
        return failed(SQLITE_CANTOPEN);
    int code =
        run(fmt::format("BEGIN IMMEDIATE; DELETE FROM lines WHERE id <= {};", last_seq).c_str());
    const std::uint64_t removed = code == SQLITE_OK ? sqlite3_changes(db_) : 0;
    if (code == SQLITE_OK) {
        const std::int64_t free_pages = pragma_number(db_, "PRAGMA freelist_count");
        if (free_pages >= kVacuumFreePages &&
            free_pages * 2 > pragma_number(db_, "PRAGMA page_count"))
            code = run("PRAGMA incremental_vacuum");
    }
    if (code == SQLITE_OK)
        code = run("COMMIT");
    if (code != SQLITE_OK)
        return failed(code);
    lines_ -= std::min(lines_, removed);
    return written();
}

bool InfluxSpool::reopened_empty() {
    struct stat status {};
    if (db_ != nullptr && ::stat(path_.c_str(), &status) == 0 &&
        static_cast<std::uint64_t>(status.st_dev) == device_ &&
        static_cast<std::uint64_t>(status.st_ino) == inode_)
        return false;
    if (db_ != nullptr && !failing_)
        spdlog::error("Influx buffer file {} cannot be written (removed or replaced while in "
                      "use); lines not in it are kept in memory until it can be",
                      path_);
    failing_ = true;
    ++counts_.write_failures;
    close();
    if (::stat(path_.c_str(), &status) != 0)
        std::remove((path_ + "-wal").c_str()); // a log without its database is of no file now
    bool in_use = false;
    if (!start(in_use))
        return false;
    left_.clear();
    lines_ = 0;
    return run("DELETE FROM lines") == SQLITE_OK;
}

InfluxSpoolFigures InfluxSpool::figures() const {
    InfluxSpoolFigures figures = counts_;
    figures.lines = lines_;
    if (db_ != nullptr)
        figures.bytes = static_cast<std::uint64_t>(pragma_number(db_, "PRAGMA page_count") *
                                                   pragma_number(db_, "PRAGMA page_size"));
    return figures;
}

} // namespace tarn
