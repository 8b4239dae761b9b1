#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

struct sqlite3;

namespace tarn {

// What the file holds and what became of it, for the daemon's own figures.
struct InfluxSpoolFigures {
    std::uint64_t lines = 0;          // in the file now
    std::uint64_t bytes = 0;          // the database's size (its pages)
    std::uint64_t write_failures = 0; // writes that failed while running
    std::uint64_t set_aside = 0;      // files renamed aside as unusable
};

class InfluxSpool;

struct InfluxSpoolOpening {
    std::unique_ptr<InfluxSpool> spool; // null: no file, the buffer stays in memory
    bool in_use = false;                // another process holds the file: the start must stop
};

// The lines the Influx batcher keeps, stored in a SQLite file under their sequence numbers (the
// row ids) in the order they are kept: the batcher decides what is kept, sent or refused; this
// only stores what it is told. A commit returns once SQLite has made it durable (WAL,
// synchronous FULL), so the project writes no file format or recovery of its own. One
// connection, holding the file's lock exclusively while the daemon runs.
//
// States: writing, or failing since a write failed (logged once, with the reason; figures
// count each failure). The next store() tries again and, once it commits, logs the return to
// writing. A file found removed or replaced is opened anew and written whole by the batcher.
class InfluxSpool {
  public:
    ~InfluxSpool();
    InfluxSpool(const InfluxSpool&) = delete;
    InfluxSpool& operator=(const InfluxSpool&) = delete;

    const std::string& path() const { return path_; }
    // The lines found at opening, oldest first (once; empty afterwards), and the sequence
    // number of the first of them; new lines are numbered on from the last.
    std::vector<std::string> take_left_lines();
    std::uint64_t first_left_seq() const { return first_left_seq_; }
    std::uint64_t next_seq() const { return next_seq_; }

    // Writes lines[from..] under first_seq, first_seq + 1, ... in one transaction (a row already
    // there is replaced); true once committed. False: logged (once an episode) and counted.
    bool store(std::uint64_t first_seq, const std::deque<std::string>& lines, std::size_t from);
    // Removes every line numbered up to last_seq (settled or dropped), and gives freed pages back
    // to the file system once they make up most of the file. False: as store().
    bool remove_through(std::uint64_t last_seq);
    // True when the file was removed or replaced since it was opened: it has been opened anew
    // (empty), and the batcher then stores every line it keeps (logged, counted as a failure).
    bool reopened_empty();

    InfluxSpoolFigures figures() const;

  private:
    friend InfluxSpoolOpening open_influx_spool(const std::string&, const char*);
    InfluxSpool(std::string path, std::string synchronous);

    std::string path_;
    std::string synchronous_;
    sqlite3* db_ = nullptr;
    std::vector<std::string> left_;
    std::uint64_t first_left_seq_ = 1;
    std::uint64_t next_seq_ = 1;
    std::uint64_t lines_ = 0;
    std::uint64_t device_ = 0, inode_ = 0; // of the file opened, to notice it replaced
    bool failing_ = false;
    InfluxSpoolFigures counts_;

    // The opening steps on path_: false when the file cannot be used (logged; in_use set when
    // another process holds it).
    bool start(bool& in_use);
    void close();
    // Runs one statement; SQLite's result code.
    int run(const char* sql);
    // Ends a write that failed with `code`: rolled back, counted, logged once an episode.
    bool failed(int code);
    // Ends a write that committed: an episode of failures ends with a line.
    bool written();
};

// Opens (or creates) the buffer file; `synchronous` is SQLite's setting for commits (FULL: each
// commit is on the disk when it returns). A file that is not a database or fails SQLite's
// integrity check is renamed aside as PATH.corrupt-TIMESTAMP (logged with the reason) and a new
// one started; a file another process holds is refused (logged, in_use); one that cannot be
// opened otherwise leaves the buffer in memory (logged).
InfluxSpoolOpening open_influx_spool(const std::string& path, const char* synchronous = "FULL");

} // namespace tarn
