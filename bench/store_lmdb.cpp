// LMDB as its experts would set it up for time-stamped blobs: 8-byte big-endian keys
// (sign bit flipped, so that byte order is timestamp order), MDB_NOSYNC|MDB_NOMETASYNC|
// MDB_WRITEMAP, MDB_APPEND for in-order keys, one read transaction per batch of point reads
// (renewed at the start of the batch and reset at its end).
#include <lmdb.h>

#include <cstring>
#include <memory>

#include "bench_common.h"

namespace brenvale::bench {

namespace {

constexpr size_t kMapSize = size_t{64} << 30;  // address space only: the file stays sparse

struct EnvCloser {
    void operator()(MDB_env* e) const { mdb_env_close(e); }
};
struct TxnAborter {
    void operator()(MDB_txn* t) const { mdb_txn_abort(t); }
};
struct CursorCloser {
    void operator()(MDB_cursor* c) const { mdb_cursor_close(c); }
};
using EnvPtr = std::unique_ptr<MDB_env, EnvCloser>;
using TxnPtr = std::unique_ptr<MDB_txn, TxnAborter>;
using CursorPtr = std::unique_ptr<MDB_cursor, CursorCloser>;

Error lmdb_error(const char* what, int rc) { return invalid_data_fmt("lmdb {}: {}", what, mdb_strerror(rc)); }

void encode_key(int64_t ts, uint8_t out[8]) {
    uint64_t v = static_cast<uint64_t>(ts) ^ (uint64_t{1} << 63);
    for (int i = 7; i >= 0; --i, v >>= 8) out[i] = static_cast<uint8_t>(v);
}

int64_t decode_key(const MDB_val& k) {
    uint64_t v = 0;
    const auto* p = static_cast<const uint8_t*>(k.mv_data);
    for (size_t i = 0; i < 8 && i < k.mv_size; ++i) v = (v << 8) | p[i];
    return static_cast<int64_t>(v ^ (uint64_t{1} << 63));
}

class LmdbStore final : public Store {
public:
    static Result<std::unique_ptr<Store>> open(const std::string& dir, bool create, uint32_t batch) {
        auto store = std::make_unique<LmdbStore>(batch);
        BRVL_TRY(store->init(dir, create));
        return std::unique_ptr<Store>(std::move(store));
    }

    explicit LmdbStore(uint32_t batch) : batch_(batch) {}

    Status put(int64_t ts, std::span<const uint8_t> data) override {
        if (!write_txn_) {
            MDB_txn* t = nullptr;
            if (int rc = mdb_txn_begin(env_.get(), nullptr, 0, &t); rc != 0) return lmdb_error("txn_begin", rc);
            write_txn_.reset(t);
        }
        uint8_t key[8];
        encode_key(ts, key);
        MDB_val k{sizeof key, key};
        MDB_val v{data.size(), const_cast<uint8_t*>(data.data())};
        if (int rc = mdb_put(write_txn_.get(), dbi_, &k, &v, MDB_APPEND); rc != 0) return lmdb_error("put", rc);
        if (++pending_ >= batch_) return commit();
        return {};
    }

    Status end_writes() override { return write_txn_ ? commit() : Status(); }

    Status begin_reads() override {
        if (in_batch_) return {};
        BRVL_TRY(read_txn());
        in_batch_ = true;
        return {};
    }

    Status end_reads() override {
        if (in_batch_) mdb_txn_reset(reader_.get());
        in_batch_ = false;
        return {};
    }

    Result<bool> get(int64_t ts, std::vector<uint8_t>& out) override {
        // Outside a batch a read is its own transaction.
        MDB_txn* t = in_batch_ ? reader_.get() : BRVL_TRY(read_txn());
        uint8_t key[8];
        encode_key(ts, key);
        MDB_val k{sizeof key, key};
        MDB_val v;
        const int rc = mdb_get(t, dbi_, &k, &v);
        bool found = false;
        if (rc == 0) {
            const auto* p = static_cast<const uint8_t*>(v.mv_data);
            out.assign(p, p + v.mv_size);
            found = true;
        }
        if (!in_batch_) mdb_txn_reset(t);
        if (rc != 0 && rc != MDB_NOTFOUND) return lmdb_error("get", rc);
        return found;
    }

    Status scan(int64_t lo, int64_t hi, bool backward, Digest& digest) override {
        BRVL_TRY(end_reads());
        MDB_txn* t = BRVL_TRY(read_txn());
        MDB_cursor* raw = nullptr;
        if (int rc = mdb_cursor_open(t, dbi_, &raw); rc != 0) {
            mdb_txn_reset(t);
            return lmdb_error("cursor_open", rc);
        }
        CursorPtr cursor(raw);
        Status st = backward ? walk_backward(cursor.get(), lo, hi, digest) : walk_forward(cursor.get(), lo, hi, digest);
        cursor.reset();
        mdb_txn_reset(t);
        return st;
    }

    Status flush() override {
        BRVL_TRY(end_writes());
        if (int rc = mdb_env_sync(env_.get(), 1); rc != 0) return lmdb_error("env_sync", rc);
        return {};
    }

    Status close() override {
        BRVL_TRY(end_writes());
        in_batch_ = false;
        reader_.reset();
        env_.reset();
        return {};
    }

private:
    Status init(const std::string& dir, bool create) {
        MDB_env* e = nullptr;
        if (int rc = mdb_env_create(&e); rc != 0) return lmdb_error("env_create", rc);
        env_.reset(e);
        if (int rc = mdb_env_set_mapsize(e, kMapSize); rc != 0) return lmdb_error("set_mapsize", rc);
        const unsigned flags = MDB_NOSYNC | MDB_NOMETASYNC | MDB_WRITEMAP;
        if (int rc = mdb_env_open(e, dir.c_str(), flags, 0644); rc != 0) return lmdb_error("env_open", rc);
        MDB_txn* t = nullptr;
        if (int rc = mdb_txn_begin(e, nullptr, 0, &t); rc != 0) return lmdb_error("txn_begin", rc);
        TxnPtr txn(t);
        if (int rc = mdb_dbi_open(t, nullptr, create ? MDB_CREATE : 0, &dbi_); rc != 0) return lmdb_error("dbi_open", rc);
        if (int rc = mdb_txn_commit(txn.release()); rc != 0) return lmdb_error("txn_commit", rc);
        return {};
    }

    Status commit() {
        pending_ = 0;
        if (int rc = mdb_txn_commit(write_txn_.release()); rc != 0) return lmdb_error("commit", rc);
        return {};
    }

    // The store's one read transaction, begun on first use and renewed after each reset.
    Result<MDB_txn*> read_txn() {
        if (!reader_) {
            MDB_txn* t = nullptr;
            if (int rc = mdb_txn_begin(env_.get(), nullptr, MDB_RDONLY, &t); rc != 0) return lmdb_error("txn_begin", rc);
            reader_.reset(t);
            return t;
        }
        if (int rc = mdb_txn_renew(reader_.get()); rc != 0) return lmdb_error("txn_renew", rc);
        return reader_.get();
    }

    static void take(const MDB_val& k, const MDB_val& v, Digest& digest) {
        const auto* p = static_cast<const uint8_t*>(v.mv_data);
        std::vector<uint8_t> data(p, p + v.mv_size);
        digest.add(decode_key(k), data);
    }

    static Status walk_forward(MDB_cursor* c, int64_t lo, int64_t hi, Digest& digest) {
        uint8_t key[8];
        encode_key(lo, key);
        MDB_val k{sizeof key, key}, v;
        int rc = mdb_cursor_get(c, &k, &v, MDB_SET_RANGE);
        for (; rc == 0; rc = mdb_cursor_get(c, &k, &v, MDB_NEXT)) {
            if (decode_key(k) > hi) return {};
            take(k, v, digest);
        }
        return rc == MDB_NOTFOUND ? Status() : lmdb_error("cursor_get", rc);
    }

    static Status walk_backward(MDB_cursor* c, int64_t lo, int64_t hi, Digest& digest) {
        uint8_t key[8];
        encode_key(hi, key);
        MDB_val k{sizeof key, key}, v;
        // The first key at or after hi; step back once when it lies beyond hi or is missing.
        int rc = mdb_cursor_get(c, &k, &v, MDB_SET_RANGE);
        if (rc == MDB_NOTFOUND) {
            rc = mdb_cursor_get(c, &k, &v, MDB_LAST);
        } else if (rc == 0 && decode_key(k) > hi) {
            rc = mdb_cursor_get(c, &k, &v, MDB_PREV);
        }
        for (; rc == 0; rc = mdb_cursor_get(c, &k, &v, MDB_PREV)) {
            if (decode_key(k) < lo) return {};
            take(k, v, digest);
        }
        return rc == MDB_NOTFOUND ? Status() : lmdb_error("cursor_get", rc);
    }

    // Declared first so that it is dropped last.
    EnvPtr env_;
    MDB_dbi dbi_ = 0;
    TxnPtr write_txn_;
    TxnPtr reader_;
    uint32_t batch_;
    uint32_t pending_ = 0;
    bool in_batch_ = false;  // reader_ is live for a batch of point reads
};

}  // namespace

Result<std::unique_ptr<Store>> open_lmdb(const std::string& dir, bool create, uint32_t batch) {
    return LmdbStore::open(dir, create, batch);
}

}  // namespace brenvale::bench
