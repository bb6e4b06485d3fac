// SQLite as its experts would set it up for time-stamped blobs: a rowid table keyed by
// the timestamp, WAL with synchronous=OFF, locking_mode=EXCLUSIVE (one process, as the
// engine), a page size suited to the payload size, prepared statements, one connection
// without its own mutex, a 256 MiB page cache and memory-mapped reads.
#include <sqlite3.h>

#include <fmt/format.h>

#include <memory>

#include "bench_common.h"
#include "file.h"

namespace brenvale::bench {

namespace {

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

Error sqlite_error(sqlite3* db, const char* what) {
    return invalid_data_fmt("sqlite {}: {}", what, db ? sqlite3_errmsg(db) : "out of memory");
}

class SqliteStore final : public Store {
public:
    static Result<std::unique_ptr<Store>> open(const std::string& dir, bool create, uint32_t batch,
                                               uint32_t page_size) {
        auto store = std::make_unique<SqliteStore>(batch);
        BRVL_TRY(store->init(join_path(dir, "bench.sqlite"), create, page_size));
        return std::unique_ptr<Store>(std::move(store));
    }

    explicit SqliteStore(uint32_t batch) : batch_(batch) {}

    Status put(int64_t ts, std::span<const uint8_t> data) override {
        if (batch_ > 1 && pending_ == 0) BRVL_TRY(exec("BEGIN"));
        sqlite3_stmt* s = insert_.get();
        sqlite3_bind_int64(s, 1, ts);
        sqlite3_bind_blob(s, 2, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) return sqlite_error(db_.get(), "insert");
        if (batch_ > 1 && ++pending_ == batch_) return commit();
        return {};
    }

    Status end_writes() override { return pending_ > 0 ? commit() : Status(); }

    Result<bool> get(int64_t ts, std::vector<uint8_t>& out) override {
        sqlite3_stmt* s = select_.get();
        sqlite3_bind_int64(s, 1, ts);
        const int rc = sqlite3_step(s);
        bool found = false;
        if (rc == SQLITE_ROW) {
            const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s, 0));
            out.assign(p, p + sqlite3_column_bytes(s, 0));
            found = true;
        }
        sqlite3_reset(s);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return sqlite_error(db_.get(), "select");
        return found;
    }

    Status scan(int64_t lo, int64_t hi, bool backward, Digest& digest) override {
        sqlite3_stmt* s = backward ? scan_desc_.get() : scan_asc_.get();
        sqlite3_bind_int64(s, 1, lo);
        sqlite3_bind_int64(s, 2, hi);
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s, 1));
            std::vector<uint8_t> data(p, p + sqlite3_column_bytes(s, 1));
            digest.add(sqlite3_column_int64(s, 0), data);
        }
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) return sqlite_error(db_.get(), "scan");
        return {};
    }

    Status flush() override { return end_writes(); }

    Status close() override {
        BRVL_TRY(end_writes());
        insert_.reset();
        select_.reset();
        scan_asc_.reset();
        scan_desc_.reset();
        // The last connection checkpoints the WAL into the database file and removes it.
        if (db_ && sqlite3_close(db_.get()) != SQLITE_OK) return sqlite_error(db_.get(), "close");
        (void)db_.release();
        return {};
    }

private:
    Status init(const std::string& path, bool create, uint32_t page_size) {
        sqlite3* raw = nullptr;
        const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
        const int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
        db_.reset(raw);
        if (rc != SQLITE_OK) return sqlite_error(raw, "open");
        // The page size holds only while the file is empty and not yet in WAL mode.
        if (create) BRVL_TRY(exec(fmt::format("PRAGMA page_size={}", page_size).c_str()));
        // Before the WAL is first used: the WAL index then lives in heap memory.
        BRVL_TRY(exec("PRAGMA locking_mode=EXCLUSIVE"));
        BRVL_TRY(exec("PRAGMA journal_mode=WAL"));
        BRVL_TRY(exec("PRAGMA synchronous=OFF"));
        BRVL_TRY(exec("PRAGMA cache_size=-262144"));  // KiB: 256 MiB, the engine's cache budget
        BRVL_TRY(exec("PRAGMA mmap_size=4294967296"));
        BRVL_TRY(exec("PRAGMA temp_store=MEMORY"));
        if (create) BRVL_TRY(exec("CREATE TABLE t (ts INTEGER PRIMARY KEY, data BLOB)"));
        insert_ = BRVL_TRY(prepare("INSERT INTO t (ts, data) VALUES (?1, ?2)"));
        select_ = BRVL_TRY(prepare("SELECT data FROM t WHERE ts = ?1"));
        scan_asc_ = BRVL_TRY(prepare("SELECT ts, data FROM t WHERE ts BETWEEN ?1 AND ?2 ORDER BY ts"));
        scan_desc_ = BRVL_TRY(prepare("SELECT ts, data FROM t WHERE ts BETWEEN ?1 AND ?2 ORDER BY ts DESC"));
        return {};
    }

    Status exec(const char* sql) {
        if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK) return sqlite_error(db_.get(), sql);
        return {};
    }

    Result<StmtPtr> prepare(const char* sql) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
            return sqlite_error(db_.get(), "prepare");
        }
        return StmtPtr(s);
    }

    Status commit() {
        pending_ = 0;
        return exec("COMMIT");
    }

    // Declared first so that it is dropped last, after the statements.
    DbPtr db_;
    StmtPtr insert_, select_, scan_asc_, scan_desc_;
    uint32_t batch_;
    uint32_t pending_ = 0;
};

}  // namespace

Result<std::unique_ptr<Store>> open_sqlite(const std::string& dir, bool create, uint32_t batch, uint32_t page_size) {
    return SqliteStore::open(dir, create, batch, page_size);
}

uint32_t sqlite_page_size(size_t payload_len, uint32_t batch) {
    // Every commit writes each page it changed to the WAL whole, so one record per commit
    // wants small pages. In batches, larger pages mean fewer pages per commit and a
    // shallower tree; 4 KiB rows take 32 KiB pages, which keep 7 rows each without
    // overflow chains (a 4 KiB page keeps a row of at most 4061 bytes).
    if (batch <= 1) return 4096;
    return payload_len <= 1024 ? 16384 : 32768;
}

}  // namespace brenvale::bench
