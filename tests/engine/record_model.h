// A model of a dataset's records for the crash and I/O fault tests: a fixed random workload
// of record operations, the map of records they leave, and a check of a dataset against it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dataset/dataset.h"

namespace brenvale::testing {

struct RecordOp {
    enum Kind { Write, Append, Delete, Flush, Reopen } kind;
    int64_t ts = 0;
    std::vector<uint8_t> data;
};

using RecordModel = std::map<int64_t, std::vector<uint8_t>>;

inline void apply(RecordModel& m, const RecordOp& op) {
    if (op.kind == RecordOp::Write) m[op.ts] = op.data;
    if (op.kind == RecordOp::Append) {
        auto& v = m[op.ts];
        v.insert(v.end(), op.data.begin(), op.data.end());
    }
    if (op.kind == RecordOp::Delete) m.erase(op.ts);
}

// Small files: data segments roll over and grow, index segments roll over every dozen entries.
inline DatasetConfig small_segments(bool continuous, uint8_t compress_type) {
    DatasetConfig c;
    c.data_segment_size = 16 << 10;
    c.initial_data_segment_size = 4096;
    c.index_segment_size = 512;
    c.initial_index_segment_size = 256;
    c.index_continuous = continuous ? 1 : 0;
    c.compress_type = compress_type;
    c.compress_level = 1;
    return c;
}

// New latest records with gaps, corrections and appends of the latest, out-of-order
// replacements (into filler slots too, when continuous), deletes, flushes and reopens.
inline std::vector<RecordOp> record_ops(uint64_t seed, int count, bool continuous, bool reopens) {
    std::mt19937_64 rng(seed);
    auto data = [&](size_t n) {
        std::vector<uint8_t> d(n);
        for (auto& b : d) b = static_cast<uint8_t>(rng() % 7);  // compressible but not uniform
        return d;
    };
    std::vector<RecordOp> ops;
    std::vector<int64_t> written;
    int64_t latest = 0;
    for (int i = 0; i < count; ++i) {
        const unsigned r = static_cast<unsigned>(rng() % 20);
        if (r < 9 || written.size() < 3) {
            latest += 1 + static_cast<int64_t>(rng() % 3);
            ops.push_back({RecordOp::Write, latest, data(50 + rng() % 2500)});
            written.push_back(latest);
        } else if (r < 11) {
            ops.push_back({RecordOp::Write, latest, data(50 + rng() % 2500)});
        } else if (r < 13) {
            ops.push_back({RecordOp::Append, latest, data(10 + rng() % 300)});
        } else if (r < 16) {
            int64_t ts = written[rng() % written.size()];
            if (continuous && rng() % 2) ts = latest - 1;
            ops.push_back({RecordOp::Write, ts, data(50 + rng() % 2500)});
        } else if (r < 18) {
            ops.push_back({RecordOp::Delete, written[rng() % written.size()], {}});
        } else {
            ops.push_back({r == 19 && reopens ? RecordOp::Reopen : RecordOp::Flush, 0, {}});
        }
    }
    return ops;
}

// Runs one op; a reopen closes the dataset and opens it again from `path`.
inline Status run_record_op(std::optional<Dataset>& d, const RecordOp& op, const DataSetKey& key,
                            const std::string& path) {
    switch (op.kind) {
        case RecordOp::Write: return d->write(op.ts, op.data);
        case RecordOp::Append: return d->append(op.ts, op.data);
        case RecordOp::Delete: return d->delete_record(op.ts);
        case RecordOp::Flush: return d->flush();
        case RecordOp::Reopen: {
            BRVL_TRY(d->close());
            d.reset();
            d.emplace(BRVL_TRY(Dataset::open(key, path)));
            return {};
        }
    }
    return {};
}

// A refusal changes nothing: a deleted record deleted again, an out-of-order write without
// an entry to replace, an append to a record that is no longer the last of its block or
// does not fit beside it.
inline bool is_refusal(const Error& e) {
    return e.kind() == ErrorKind::NotFound || e.kind() == ErrorKind::InvalidData ||
           e.kind() == ErrorKind::SegmentFull;
}

// The dataset holds `m` exactly, except that the records of `alt` (the model with the op
// that was interrupted or failed done) may show instead: through reads, query_all, the
// backward iterator, the existence bitmap and inspect's counts.
inline void expect_records(Dataset& d, const RecordModel& m, const RecordModel* alt, const std::string& where) {
    auto matches = [&](int64_t ts, const std::vector<uint8_t>* got) {
        auto same = [&](const RecordModel& x) {
            auto it = x.find(ts);
            return it == x.end() ? got == nullptr : got != nullptr && *got == it->second;
        };
        return same(m) || (alt != nullptr && same(*alt));
    };
    std::set<int64_t> keys;
    for (const auto& [ts, v] : m) keys.insert(ts);
    if (alt)
        for (const auto& [ts, v] : *alt) keys.insert(ts);
    for (int64_t ts : keys) {
        auto r = d.read(ts);
        ASSERT_TRUE(r.ok()) << where << ": read " << ts << ": " << r.error().to_string();
        const std::vector<uint8_t>* got = r->has_value() ? &(*r)->data : nullptr;
        EXPECT_TRUE(matches(ts, got)) << where << ": record " << ts << " has " << (got ? got->size() : 0) << " bytes";
    }
    auto all = d.query_all(INT64_MIN, INT64_MAX);
    ASSERT_TRUE(all.ok()) << where << ": " << all.error().to_string();
    std::set<int64_t> listed;
    for (const auto& rec : *all) {
        listed.insert(rec.timestamp);
        EXPECT_TRUE(matches(rec.timestamp, &rec.data)) << where << ": listed " << rec.timestamp;
    }
    for (int64_t ts : keys) EXPECT_TRUE(listed.count(ts) || matches(ts, nullptr)) << where << ": " << ts << " not listed";
    auto it = d.query(INT64_MIN, INT64_MAX);
    ASSERT_TRUE(it.ok()) << where;
    auto back = it->reverse().collect_all();
    ASSERT_TRUE(back.ok()) << where << ": " << back.error().to_string();
    std::reverse(back->begin(), back->end());
    EXPECT_TRUE(*back == *all) << where << ": the backward iterator differs";
    // The records counted minus the invalid ones are those the dataset holds.
    auto in = d.inspect();
    ASSERT_TRUE(in.ok()) << where << ": " << in.error().to_string();
    EXPECT_EQ(in->state.total_record_count - in->state.total_invalid_record_count, all->size())
        << where << ": " << in->state.total_record_count << " records, " << in->state.total_invalid_record_count
        << " invalid";
    if (keys.empty()) return;
    const int64_t lo = *keys.begin();
    auto bits = d.query_exist(lo, *keys.rbegin());
    ASSERT_TRUE(bits.ok()) << where;
    for (int64_t ts : keys) {
        const uint64_t bit = static_cast<uint64_t>(ts - lo);
        EXPECT_EQ(((*bits)[bit / 8] >> (bit % 8) & 1) != 0, listed.count(ts) != 0) << where << ": bit of " << ts;
    }
}

}  // namespace brenvale::testing
