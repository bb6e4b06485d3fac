// What damaged, crafted or half-created index files may do to a dataset: never make it
// touch memory outside a buffer, never hand out entries outside the asked range, never
// block it; and refusals of the index come before any record is stored.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "file.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::TempDir;

DatasetConfig config(bool continuous, uint64_t index_size = 16384) {
    DatasetConfig c;
    c.data_segment_size = 1 << 20;
    c.initial_data_segment_size = 4096;
    c.index_segment_size = index_size;
    c.initial_index_segment_size = index_size < 1024 ? index_size : 1024;
    c.index_continuous = continuous ? 1 : 0;
    c.compress_level = 3;
    return c;
}

std::vector<uint8_t> payload(int64_t ts) {
    std::string s = "record " + std::to_string(ts);
    return {s.begin(), s.end()};
}

struct Fixture {
    DataSetKey key{"a", "b"};
    TempDir dir;
    std::string path = dir.file("a/b");
    std::string index_file(int64_t start) const { return join_path(join_path(path, "index"), fmt::format("{:020}", start)); }

    Dataset create(bool continuous, const std::vector<int64_t>& stamps, uint64_t index_size = 16384) {
        auto ds = Dataset::create(key, path, config(continuous, index_size));
        EXPECT_TRUE(ds.ok()) << ds.error().to_string();
        for (int64_t t : stamps) EXPECT_TRUE(ds->write(t, payload(t)).ok()) << t;
        return std::move(ds).value();
    }
    Dataset open(bool read_only) {
        auto ds = read_only ? Dataset::open_read_only(key, path) : Dataset::open(key, path);
        EXPECT_TRUE(ds.ok()) << ds.error().to_string();
        DatasetRuntime rt;
        rt.read_only = read_only;
        EXPECT_TRUE(ds->attach_runtime(rt).ok());
        return std::move(ds).value();
    }
    // Rewrites the timestamp of entry i of the segment file that starts at `start`.
    void poke(int64_t start, uint64_t i, int64_t ts) {
        auto f = MappedFile::open(index_file(start), true);
        ASSERT_TRUE(f.ok());
        store_i64(f->data() + 128 + 32 * i, ts);
    }
};

// Timestamps of the live entries.
std::vector<int64_t> stamps_of(const std::vector<IndexEntry>& es) {
    std::vector<int64_t> out;
    for (const auto& e : es)
        if (!e.is_sentinel()) out.push_back(e.timestamp);
    return out;
}

// Every range reader of the dataset over [lo, hi] returns exactly the timestamps `want`,
// with their own payloads and lengths: range lists, iterators of records and of lengths
// in both directions, and the existence bitmap.
void expect_range_readers(Dataset& ds, int64_t lo, int64_t hi, const std::vector<int64_t>& want,
                          const std::string& what) {
    SCOPED_TRACE(what);
    auto entries = ds.index_entries(lo, hi);
    ASSERT_TRUE(entries.ok()) << entries.error().to_string();
    EXPECT_EQ(stamps_of(*entries), want);
    auto all = ds.query_all(lo, hi);
    ASSERT_TRUE(all.ok()) << all.error().to_string();
    std::vector<int64_t> got;
    for (const auto& r : *all) {
        got.push_back(r.timestamp);
        EXPECT_EQ(r.data, payload(r.timestamp));
    }
    EXPECT_EQ(got, want);
    for (int64_t t : want) {  // point reads too
        auto r = ds.read(t);
        ASSERT_TRUE(r.ok() && r->has_value()) << t;
        EXPECT_EQ((*r)->data, payload(t));
    }
    auto expect_lengths = [&](const Result<std::vector<RecordLength>>& lens, bool reverse) {
        ASSERT_TRUE(lens.ok()) << lens.error().to_string();
        got.clear();
        for (const auto& l : *lens) {
            got.push_back(l.timestamp);
            EXPECT_EQ(l.length, payload(l.timestamp).size());
        }
        if (reverse) std::reverse(got.begin(), got.end());
        EXPECT_EQ(got, want) << "lengths, reverse " << reverse;
    };
    expect_lengths(ds.query_length_all(lo, hi), false);
    for (bool reverse : {false, true}) {
        auto it = ds.query(lo, hi);
        ASSERT_TRUE(it.ok());
        if (reverse) it->reverse();
        auto items = it->collect_all();
        ASSERT_TRUE(items.ok()) << items.error().to_string();
        got.clear();
        for (const auto& r : *items) got.push_back(r.timestamp);
        if (reverse) std::reverse(got.begin(), got.end());
        EXPECT_EQ(got, want) << "reverse " << reverse;
        auto lit = ds.query(lo, hi);
        ASSERT_TRUE(lit.ok());
        if (reverse) lit->reverse();
        expect_lengths(lit->collect_all_lengths(), reverse);
    }
    auto bits = ds.query_exist(lo, hi);
    ASSERT_TRUE(bits.ok());
    ASSERT_EQ(bits->size(), (static_cast<uint64_t>(hi - lo) + 8) / 8);
    got.clear();
    for (int64_t t = lo; t <= hi; ++t)
        if ((*bits)[static_cast<uint64_t>(t - lo) / 8] >> ((t - lo) % 8) & 1) got.push_back(t);
    EXPECT_EQ(got, want);
}

// Entries whose timestamps break the order, leave the segment's grid or lie outside the
// asked range are never handed out, in either mode and either open mode.
TEST(DatasetIndexHardening, CraftedEntryTimestampsStayOutsideEveryRange) {
    for (bool continuous : {false, true}) {
        SCOPED_TRACE(continuous ? "continuous" : "sparse");
        Fixture fx;
        std::vector<int64_t> written;
        for (int64_t t = 100; t <= 120; ++t) written.push_back(t);
        { Dataset ds = fx.create(continuous, written); ASSERT_TRUE(ds.close().ok()); }
        fx.poke(100, 5, 90);                 // 105 now claims a timestamp below the range
        fx.poke(100, 8, -1000000000000LL);   // 108 far below
        fx.poke(100, 12, 1LL << 60);         // 112 far above, in the middle of the segment
        const std::vector<int64_t> want = {100, 101, 102, 103, 104, 106, 107, 109, 110, 111, 113, 114,
                                           115, 116, 117, 118, 119, 120};
        for (bool read_only : {true, false}) {
            Dataset ds = fx.open(read_only);
            expect_range_readers(ds, 100, 120, want, read_only ? "read-only" : "writable");
            expect_range_readers(ds, 104, 110, {104, 106, 107, 109, 110}, "inner range");
            ASSERT_TRUE(ds.close().ok());
        }
        // An entry that names another record's timestamp is refused, not passed off.
        fx.poke(100, 20, 125);
        Dataset ds = fx.open(true);
        if (continuous) {  // not in its own slot: absent
            auto r = ds.read(125);
            ASSERT_TRUE(r.ok());
            EXPECT_EQ(*r, std::nullopt);
            expect_range_readers(ds, 115, 200, {115, 116, 117, 118, 119}, "slot 20 off its slot");
            continue;
        }
        // Every reader of records or lengths, read-only or writable.
        auto refused = [](const auto& res) {
            ASSERT_FALSE(res.ok());
            EXPECT_EQ(res.error().detail(), "index entry at timestamp 125 points to a record of timestamp 120");
        };
        for (bool read_only : {true, false}) {
            Dataset d = read_only ? std::move(ds) : fx.open(false);
            refused(d.read(125));
            refused(d.read_length(125));
            refused(d.query_all(125, 200));
            refused(d.query_length_all(125, 200));
            refused(d.query(125, 200)->collect_all());
            refused(d.query(125, 200)->collect_all_lengths());
            ASSERT_TRUE(d.close().ok());
        }
    }
}

// One damaged entry of one index segment hides nothing but itself: no scan, in either
// direction, ends early on it, and no reader loses records of other segments.
TEST(DatasetIndexHardening, DamagedEntryHidesOnlyItself) {
    struct Case {
        const char* what;
        bool continuous;
        int64_t segment;  // start of the damaged segment
        uint64_t entry;
        int64_t ts;  // the timestamp poked in
        bool writable;  // a writable open is possible (a damaged newest last entry refuses it)
    };
    const int64_t T = 1000000000000LL;
    const std::vector<Case> cases = {
        {"live entry far below", false, 180, 2, -T, true},
        {"live entry far above", false, 180, 2, T, true},
        {"deleted entry low", false, 180, 1, 110, true},
        {"deleted entry high", false, 180, 1, 250, true},
        {"live entry out of order in its segment", false, 220, 1, 255, true},
        {"newest segment, inner entry far above", false, 260, 1, T, true},
        {"newest segment, last entry low", false, 260, 3, 5, false},
        // Two neighbours in conflict: the first entry of a sparse segment is its start, and
        // otherwise the records' own timestamps tell which entry is wrong.
        {"first entry past its neighbour", false, 260, 0, 275, true},
        {"last entry below its neighbour", false, 260, 3, 275, true},
        {"inner entry past its neighbour", false, 260, 1, 285, true},
        {"last entry below its neighbour, inner segment", false, 220, 3, 235, true},
        {"filler low", true, 104, 1, -T, true},
        {"filler into an earlier segment", true, 104, 1, 101, true},
        {"filler high", true, 104, 1, T, true},
        {"filler into a later segment", true, 104, 1, 117, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture fx;
        // Four entries per segment. Sparse: 100, 110, ..., 290 in five segments, 190
        // deleted. Continuous: every third timestamp from 102 up is a filler.
        std::vector<int64_t> stamps;
        for (int64_t i = 0; i < 20; ++i) stamps.push_back(c.continuous ? 100 + i + i / 2 : 100 + 10 * i);
        {
            Dataset ds = fx.create(c.continuous, stamps, 128 + 32 * 4);
            if (!c.continuous) {
                ASSERT_TRUE(ds.delete_record(190).ok());
            }
            ASSERT_TRUE(ds.close().ok());
        }
        std::vector<int64_t> want;
        for (int64_t t : stamps) {  // continuous: only a filler is damaged
            if (c.continuous || (t != 190 && t != c.segment + 10 * static_cast<int64_t>(c.entry))) want.push_back(t);
        }
        fx.poke(c.segment, c.entry, c.ts);
        for (bool read_only : {true, false}) {
            if (!read_only && !c.writable) continue;
            Dataset ds = fx.open(read_only);
            const std::string mode = read_only ? "read-only" : "writable";
            expect_range_readers(ds, 0, 400, want, mode);
            std::vector<int64_t> inner;
            std::copy_if(want.begin(), want.end(), std::back_inserter(inner),
                         [](int64_t t) { return t >= 105 && t <= 275; });
            expect_range_readers(ds, 105, 275, inner, mode + " inner");
            ASSERT_TRUE(ds.close().ok());
        }
    }
}

// A kill between creating an index file and writing its header left it empty or all
// zeros: it holds no entry. A read-only open treats it as empty, a writable open replaces
// it with a warning, and the dataset is usable.
TEST(DatasetIndexHardening, EmptyOrZeroFilledIndexFilesHoldNoEntry) {
    for (bool continuous : {false, true}) {
        for (uint64_t zero_len : {uint64_t{0}, uint64_t{1024}}) {
            SCOPED_TRACE(fmt::format("{} {}", continuous ? "continuous" : "sparse", zero_len));
            Fixture fx;
            // 28 entries per segment: 100..127 fill the first, 130 starts the second.
            { Dataset ds = fx.create(continuous, {100, 101, 130}, 128 + 32 * 28); ASSERT_TRUE(ds.close().ok()); }
            // One in the middle (a gap segment of the continuous grid), one newest.
            for (int64_t start : {156, 212}) {
                auto f = FileHandle::open(fx.index_file(start), FileHandle::Mode::CreateExclusive);
                ASSERT_TRUE(f.ok());
                ASSERT_TRUE(f->set_len(zero_len).ok());
            }
            {
                Dataset ro = fx.open(true);
                expect_range_readers(ro, 0, 300, {100, 101, 130}, "read-only");
                auto latest = ro.read_latest();
                ASSERT_TRUE(latest.ok());
                EXPECT_EQ((*latest)->timestamp, 130);
                ASSERT_TRUE(ro.close().ok());
            }
            LogCapture logs(log::Level::Warn);
            {
                Dataset ds = fx.open(false);
                EXPECT_EQ(logs.count("[index] removing index segment file " + fx.index_file(212) +
                                     " that holds no entry (an interrupted create)"),
                          1u);
                expect_range_readers(ds, 0, 300, {100, 101, 130}, "writable");
                ASSERT_TRUE(ds.write(220, payload(220)).ok());
                ASSERT_TRUE(ds.write(160, payload(160)).ok() || !continuous);
                ASSERT_TRUE(ds.close().ok());
            }
            Dataset ds = fx.open(false);
            expect_range_readers(ds, 0, 300, continuous ? std::vector<int64_t>{100, 101, 130, 160, 220}
                                                        : std::vector<int64_t>{100, 101, 130, 220},
                                 "reopened");
        }
    }
}

// A kill between creating the first index segment and writing its entry left an empty
// segment: it must not fix the continuous base, so earlier timestamps are still taken.
TEST(DatasetIndexHardening, EmptySegmentDoesNotPinTheContinuousBase) {
    Fixture fx;
    { Dataset ds = fx.create(true, {}); ASSERT_TRUE(ds.close().ok()); }
    { ASSERT_TRUE(IndexSegment::create(join_path(fx.path, "index"), 1000, {1024, 16384, 3, 0}).ok()); }
    Dataset ds = fx.open(false);
    auto st = ds.inspect();
    ASSERT_TRUE(st.ok());
    EXPECT_EQ(st->state.base_timestamp, std::nullopt);
    ASSERT_TRUE(ds.write(500, payload(500)).ok());
    ASSERT_TRUE(ds.write(1000, payload(1000)).ok());
    EXPECT_EQ(ds.inspect()->state.base_timestamp, 500);
    ASSERT_TRUE(ds.close().ok());
    Dataset again = fx.open(false);
    EXPECT_EQ(again.inspect()->state.base_timestamp, 500);
    expect_range_readers(again, 0, 2000, {500, 1000}, "reopened");
}

// Every refusal the index can give an out-of-order write comes before the record is
// stored: the record count does not move.
TEST(DatasetIndexHardening, RefusedOutOfOrderWritesStoreNothing) {
    struct Case {
        bool continuous;
        int64_t ts;
        ErrorKind kind;
        std::string message;
    };
    const std::vector<Case> cases = {
        {true, 500, ErrorKind::NotFound, "timestamp 500 is before continuous index base 1000"},
        {true, 1001, ErrorKind::InvalidData, "continuous index hole invariant violated at timestamp 1001"},
        {false, 1001, ErrorKind::NotFound, "no index entry at timestamp 1001 (required for out-of-order write)"},
        // A new latest record: the segment it goes to cannot be opened.
        {true, 1004, ErrorKind::InvalidData, "reserved"},
        {false, 1004, ErrorKind::InvalidData, "reserved"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        Fixture fx;
        { Dataset ds = fx.create(c.continuous, {1000, 1001, 1003}); ASSERT_TRUE(ds.close().ok()); }
        fx.poke(1000, 1, 77);  // slot 1001 no longer holds its own timestamp
        if (c.message == "reserved") {  // a non-zero reserved byte makes the file unopenable
            auto f = MappedFile::open(fx.index_file(1000), true);
            ASSERT_TRUE(f.ok());
            f->data()[128 + 32 + 20] = 1;
        }
        Dataset ds = fx.open(false);
        const uint64_t before = ds.inspect()->state.total_record_count;
        Status st = ds.write(c.ts, payload(c.ts));
        ASSERT_FALSE(st.ok());
        EXPECT_EQ(st.error().kind(), c.kind);
        if (c.message == "reserved") {
            EXPECT_EQ(st.error().detail(), "index segment " + fx.index_file(1000) +
                                               " entry 1 malformed: invalid data: index entry reserved bytes must be zero");
        } else {
            EXPECT_EQ(st.error().detail(), c.message);
        }
        EXPECT_EQ(ds.inspect()->state.total_record_count, before);
    }
}

}  // namespace
}  // namespace brenvale
