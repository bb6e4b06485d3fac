// Model-based and whole-dataset tests: random operations checked against an in-memory
// model, totals across many segments, read-only mappings, clock steps and crash points.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dataset/dataset.h"
#include "format/meta.h"
#include "file.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::TempDir;

using testing::bytes;
using testing::text;

struct ModelParams {
    bool continuous;
    uint8_t compress_type;
};

class DatasetModelTest : public ::testing::TestWithParam<ModelParams> {
protected:
    DataSetKey key{"model", "ds"};
    TempDir dir;
    std::string path = dir.file("model/ds");
    std::shared_ptr<BlockCache> cache = std::make_shared<BlockCache>(64 << 10);  // small: evicts often
    DirtyListPtr dirty = std::make_shared<DirtyList>();

    DatasetConfig config() const {
        DatasetConfig c;
        c.data_segment_size = 32 << 10;  // many roll-overs
        c.initial_data_segment_size = 4096;
        c.index_segment_size = 1024;  // 28 entries per index segment
        c.initial_index_segment_size = 256;
        c.index_continuous = GetParam().continuous ? 1 : 0;
        c.compress_type = GetParam().compress_type;
        c.compress_level = 1;
        return c;
    }

    Dataset equip(Dataset d) {
        EXPECT_TRUE(d.set_identifier(3).ok());
        DatasetRuntime rt;
        rt.block_cache = cache;
        rt.dirty_list = dirty;
        EXPECT_TRUE(d.attach_runtime(rt).ok());
        return d;
    }
};

TEST_P(DatasetModelTest, RandomOperationsMatchTheModel) {
    auto created = Dataset::create(key, path, config());
    ASSERT_TRUE(created.ok());
    Dataset d = equip(std::move(*created));
    std::mt19937_64 rng(GetParam().continuous * 2 + GetParam().compress_type + 1234);
    auto rand = [&](uint64_t n) { return static_cast<int64_t>(rng() % n); };
    auto payload = [&](int64_t ts) {
        size_t len = rng() % 8 == 0 ? 2000 + rng() % 6000 : rng() % 120;
        std::string s(len, static_cast<char>('a' + ts % 26));
        if (len > 0) s[0] = static_cast<char>('A' + rng() % 26);
        return s;
    };

    std::map<int64_t, std::string> live;
    std::set<int64_t> indexed;  // timestamps with an index entry (live or deleted)
    std::optional<int64_t> latest;
    const int64_t first = 1000;
    const int steps = 2500;

    for (int step = 0; step < steps; ++step) {
        SCOPED_TRACE(step);
        int op = static_cast<int>(rand(100));
        if (op < 40 || !latest) {  // new latest record
            int64_t ts = latest ? *latest + 1 + rand(3) : first;
            std::string v = payload(ts);
            ASSERT_TRUE(d.write(ts, bytes(v)).ok());
            live[ts] = v;
            indexed.insert(ts);
            latest = ts;
        } else if (op < 50) {  // correction of the latest
            std::string v = payload(*latest);
            ASSERT_TRUE(d.write(*latest, bytes(v)).ok());
            live[*latest] = v;
        } else if (op < 60) {  // out of order
            int64_t ts = first + rand(static_cast<uint64_t>(*latest - first + 1));
            std::string v = payload(ts);
            auto st = d.write(ts, bytes(v));
            if (!GetParam().continuous && !indexed.count(ts)) {
                ASSERT_FALSE(st.ok());
                EXPECT_EQ(st.error().kind(), ErrorKind::NotFound);
            } else {
                ASSERT_TRUE(st.ok()) << st.error().to_string();
                live[ts] = v;
                indexed.insert(ts);
            }
        } else if (op < 68) {  // append to the latest or above it
            bool above = rand(3) == 0;
            int64_t ts = above ? *latest + 1 : *latest;
            std::string v(rand(40), 'x');
            auto st = d.append(ts, bytes(v));
            if (!above && !live.count(ts) && !v.empty()) {
                ASSERT_FALSE(st.ok());
                EXPECT_EQ(st.error().to_string(),
                          fmt::format("not found: latest index entry at timestamp {} is deleted", ts));
            } else if (!above && !v.empty() && !st.ok()) {
                // Appending in place needs the record to be the last one of the pending
                // block; an out-of-order write or a seal since then refuses it, unchanged.
                EXPECT_TRUE(st.error().kind() == ErrorKind::InvalidData ||
                            st.error().kind() == ErrorKind::SegmentFull)
                    << st.error().to_string();
                ASSERT_EQ(text(d.read(ts)->value().data), live[ts]);
            } else {
                ASSERT_TRUE(st.ok()) << st.error().to_string();
                if (!v.empty()) {
                    live[ts] += v;
                    indexed.insert(ts);
                    latest = ts;
                }
            }
        } else if (op < 76) {  // delete
            int64_t ts = first + rand(static_cast<uint64_t>(*latest - first + 1));
            auto st = d.delete_record(ts);
            if (live.count(ts)) {
                ASSERT_TRUE(st.ok()) << st.error().to_string();
                live.erase(ts);
            } else {
                ASSERT_FALSE(st.ok());
            }
        } else if (op < 79) {
            ASSERT_TRUE(d.flush().ok());
        } else if (op < 81) {
            ASSERT_TRUE(d.release_files().ok());
        } else if (op < 82) {
            ASSERT_TRUE(d.close().ok());
            auto opened = Dataset::open(key, path);
            ASSERT_TRUE(opened.ok()) << opened.error().to_string();
            d = equip(std::move(*opened));
        } else {  // reads
            int64_t ts = first - 2 + rand(static_cast<uint64_t>(*latest - first + 5));
            auto r = d.read(ts);
            ASSERT_TRUE(r.ok()) << r.error().to_string();
            auto it = live.find(ts);
            ASSERT_EQ(r->has_value(), it != live.end());
            if (it != live.end()) {
                ASSERT_EQ(text((*r)->data), it->second);
            }
            ASSERT_EQ(*d.read_exist(ts), it != live.end());
            auto len = d.read_length(ts);
            ASSERT_TRUE(len.ok());
            if (it != live.end()) {
                ASSERT_EQ(**len, it->second.size());
            }
        }
        ASSERT_EQ(d.latest_timestamp(), latest);

        if (step % 250 == 249 || step == steps - 1) {
            auto all = d.query_all(INT64_MIN, INT64_MAX);
            ASSERT_TRUE(all.ok()) << all.error().to_string();
            ASSERT_EQ(all->size(), live.size());
            size_t i = 0;
            for (const auto& [ts, v] : live) {
                ASSERT_EQ((*all)[i].timestamp, ts);
                ASSERT_EQ(text((*all)[i].data), v);
                ++i;
            }
            // A backward walk with a skip over a random sub-range.
            int64_t lo = first + rand(static_cast<uint64_t>(*latest - first + 1));
            int64_t hi = lo + rand(500);
            uint64_t skip = static_cast<uint64_t>(rand(5));
            auto it = d.query(lo, hi);
            ASSERT_TRUE(it.ok());
            it->reverse().skip(skip);
            auto got = it->collect_all();
            ASSERT_TRUE(got.ok()) << got.error().to_string();
            std::vector<int64_t> expect;
            for (auto m = live.upper_bound(hi); m != live.begin();) {
                --m;
                if (m->first < lo) break;
                expect.push_back(m->first);
            }
            expect.erase(expect.begin(), expect.begin() + std::min<size_t>(skip, expect.size()));
            std::vector<int64_t> got_ts;
            for (const auto& r : *got) got_ts.push_back(r.timestamp);
            ASSERT_EQ(got_ts, expect);
            auto lens = d.query_length_all(lo, hi);
            ASSERT_TRUE(lens.ok());
            size_t n = 0;
            for (auto m = live.lower_bound(lo); m != live.end() && m->first <= hi; ++m) {
                ASSERT_LT(n, lens->size());
                ASSERT_EQ((*lens)[n].timestamp, m->first);
                ASSERT_EQ((*lens)[n].length, m->second.size());
                ++n;
            }
            ASSERT_EQ(n, lens->size());
            auto bitmap = d.query_exist(lo, hi);
            ASSERT_TRUE(bitmap.ok());
            for (int64_t t = lo; t <= hi; ++t) {
                bool bit = ((*bitmap)[(t - lo) / 8] >> ((t - lo) % 8)) & 1;
                ASSERT_EQ(bit, live.count(t) == 1) << t;
            }
        }
    }
    auto st = d.inspect();
    ASSERT_TRUE(st.ok());
    EXPECT_GT(st->state.data_segments, 3u);
    EXPECT_GT(st->state.index_segments, 3u);
    EXPECT_GE(st->state.total_record_count, live.size());
}

INSTANTIATE_TEST_SUITE_P(Modes, DatasetModelTest,
                         ::testing::Values(ModelParams{false, 0}, ModelParams{true, 0}, ModelParams{false, 1},
                                           ModelParams{true, 1}),
                         [](const auto& info) {
                             return std::string(info.param.continuous ? "Continuous" : "Sparse") +
                                    (info.param.compress_type == 0 ? "Zstd" : "Deflate");
                         });

TEST(DatasetTotalsTest, TotalsCoverEverySegmentAcrossRollOversAndReopen) {
    TempDir dir;
    DataSetKey key{"t", "t"};
    DatasetConfig c;
    c.data_segment_size = 16 << 10;
    c.initial_data_segment_size = 4096;
    c.index_segment_size = 2048;
    c.initial_index_segment_size = 2048;
    uint64_t raw = 0;
    {
        auto d = Dataset::create(key, dir.file("d"), c);
        ASSERT_TRUE(d.ok());
        for (int i = 0; i < 600; ++i) {
            std::string v(50 + i % 70, 'q');
            raw += 12 + v.size();
            ASSERT_TRUE(d->write(i, bytes(v)).ok());
        }
        ASSERT_TRUE(d->write(10, bytes("again")).ok());  // out of order: one invalid record
        raw += 12 + 5;
        ASSERT_TRUE(d->delete_record(11).ok());
        auto st = d->inspect();
        ASSERT_TRUE(st.ok());
        EXPECT_GT(st->state.data_segments, 2u);
        EXPECT_EQ(st->state.total_record_count, 601u);
        EXPECT_EQ(st->state.total_uncompressed_size, raw);
        EXPECT_EQ(st->state.total_invalid_record_count, 2u);
        EXPECT_EQ(st->state.min_timestamp, 0);
        EXPECT_EQ(st->state.max_timestamp, 599);
        ASSERT_TRUE(d->close().ok());
    }
    auto d = Dataset::open(key, dir.file("d"));
    ASSERT_TRUE(d.ok());
    auto st = d->inspect();
    ASSERT_TRUE(st.ok());
    EXPECT_EQ(st->state.total_record_count, 601u);
    EXPECT_EQ(st->state.total_uncompressed_size, raw);
    EXPECT_EQ(st->state.total_invalid_record_count, 2u);
    EXPECT_EQ(st->state.open_data_segments, 0u);
    EXPECT_EQ(st->state.max_timestamp, 599);

    // A damaged state file stops no write and leaves no count wrong for good: a watermark
    // that cannot be a segment base (damaged or saturated) or lies past the newest segment,
    // and totals the folded segments cannot hold, are counted again from the segment files
    // by a writable open, with a warning; the counts stay exact across more writes and a
    // reopen.
    struct Damage {
        size_t at;  // the field's offset in the state file
        uint64_t value;
        const char* warning;
        // Instead in the newest index segment's header, with the flag of a change (2) at 80
        // and the newest data segment's base for its record: a change record the files
        // cannot hold (its write's place (0, 0) lies below that record).
        bool change_record = false;
    };
    const uint64_t span = c.data_segment_size;
    const Damage damages[] = {
        {8, UINT64_MAX, "[dataset-state] statistics watermark"},
        {8, uint64_t{1} << 63, "[dataset-state] statistics watermark"},
        {8, static_cast<uint64_t>(INT64_MAX) - 3000, "[dataset-state] statistics watermark"},
        {8, (uint64_t{1} << 63) - 2 * span, "[dataset-state] statistics watermark"},  // past the newest file
        {8, uint64_t{1} << 40, "[dataset-state] statistics watermark"},
        {56, 5000, "[dataset-state] totals of"},               // invalid records above records
        {32, uint64_t{1} << 62, "[dataset-state] totals of"},  // records above what the blocks hold
        {96, 0, "[dataset] dropping the change record of timestamp 0", true},
    };
    uint64_t records = 601;
    for (const Damage& damage : damages) {
        SCOPED_TRACE(fmt::format("{} at {}", damage.value, damage.at));
        ASSERT_TRUE(d->close().ok());
        uint8_t le[8];
        store_u64(le, damage.value);
        std::string file = dir.file("d/state");
        auto newest = [&](const char* sub) {
            std::vector<std::string> names = *list_dir(dir.file(sub));
            std::erase(names, paths::kStageFile);
            return *std::max_element(names.begin(), names.end());
        };
        if (damage.change_record) {
            store_u64(le, *parse_segment_file_name(newest("d/data")));
            file = dir.file("d/index/" + newest("d/index"));
            uint8_t flag[8];
            store_u64(flag, 2);
            ASSERT_TRUE(FileHandle::open(file, FileHandle::Mode::ReadWrite)->write_at(80, {flag, 8}).ok());
        }
        ASSERT_TRUE(FileHandle::open(file, FileHandle::Mode::ReadWrite)->write_at(damage.at, {le, 8}).ok());
        testing::LogCapture logs(log::Level::Warn);
        d = Dataset::open(key, dir.file("d"));
        ASSERT_TRUE(d.ok());
        EXPECT_EQ(logs.count_starting(damage.warning), 1u);
        for (int reopen = 0; reopen < 2; ++reopen) {
            for (int64_t i = 0; i < 30; ++i, ++records)
                ASSERT_TRUE(d->write(600 + static_cast<int64_t>(records), bytes("more")).ok());
            EXPECT_EQ(d->inspect()->state.total_record_count, records);
            EXPECT_EQ(d->inspect()->state.total_invalid_record_count, 2u);
            EXPECT_EQ(d->query_all(INT64_MIN, INT64_MAX)->size(), records - 2);  // one deleted, one replaced
            ASSERT_TRUE(d->close().ok());
            d = Dataset::open(key, dir.file("d"));
            ASSERT_TRUE(d.ok());
        }
    }
}

// Every mapping of a file under dir in this process, with its permissions.
std::vector<std::string> mappings_under(const std::string& dir) {
    std::ifstream maps("/proc/self/maps");
    std::vector<std::string> out;
    for (std::string line; std::getline(maps, line);)
        if (line.find(dir) != std::string::npos) out.push_back(line);
    return out;
}

TEST(DatasetReadOnlyTest, MapsEveryFileReadOnlyAndChangesNothing) {
    TempDir dir;
    DataSetKey key{"r", "o"};
    std::string path = dir.file("ro");
    {
        auto d = Dataset::create(key, path, DatasetConfig{});
        ASSERT_TRUE(d.ok());
        for (int i = 0; i < 100; ++i) ASSERT_TRUE(d->write(i, bytes(fmt::format("record {}", i))).ok());
        ASSERT_TRUE(d->close().ok());
    }
    auto before = list_dir(path + "/data");
    auto d = Dataset::open_read_only(key, path);
    ASSERT_TRUE(d.ok()) << d.error().to_string();
    DatasetRuntime rt;
    rt.read_only = true;
    ASSERT_TRUE(d->attach_runtime(rt).ok());
    auto all = d->query_all(0, 1000);
    ASSERT_TRUE(all.ok());
    EXPECT_EQ(all->size(), 100u);
    auto maps = mappings_under(path);
    EXPECT_FALSE(maps.empty());
    for (const auto& m : maps) EXPECT_EQ(m.find(" rw"), std::string::npos) << m;
    EXPECT_EQ(d->write(100, bytes("x")).error().to_string(), "invalid data: read-only dataset cannot be written");
    ASSERT_TRUE(d->close().ok());
    EXPECT_EQ(list_dir(path + "/data")->size(), before->size());
}

TEST(DatasetClockTest, RetentionFloorHoldsWhenTheClockStepsBack) {
    TempDir dir;
    DatasetConfig c;
    c.retention_window = 100;
    c.timestamp_units_per_seconds = 1;
    auto d = Dataset::create(DataSetKey{"c", "k"}, dir.file("c"), c);
    ASSERT_TRUE(d.ok());
    int64_t now = *now_in_units(1);
    ASSERT_TRUE(d->write(now - 50, bytes("inside")).ok());
    EXPECT_EQ(d->write(now - 200, bytes("old")).error().kind(), ErrorKind::Expired);
    ASSERT_TRUE(d->reclaim_expired().ok());
    int64_t floor = *d->inspect()->state.retention_floor;
    EXPECT_GE(floor, now - 100);
    set_wall_clock_offset(std::chrono::hours(-1));  // the clock is set back an hour
    auto st = d->write(now - 150, bytes("would be inside an hour ago"));
    set_wall_clock_offset(std::chrono::nanoseconds(0));
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().to_string(),
              fmt::format("expired: timestamp {} is older than retention threshold {}", now - 150, floor));
    EXPECT_EQ(*d->read(now - 50).value()->data.data(), 'i');
}

TEST(DatasetCrashTest, KilledMetaReplacementLeavesTheOldFile) {
    TempDir dir;
    std::string meta = dir.file("meta");
    DatasetMetaFile m;
    m.data_segment_size = 1000;
    m.index_segment_size = 2000;
    ASSERT_TRUE(m.write(meta).ok());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        set_crash_hook([](const char* step) {
            if (std::string(step) == "atomic write: before rename") _exit(42);
        });
        DatasetMetaFile other = m;
        other.data_segment_size = 5000;
        (void)other.write(meta);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 42);
    auto back = DatasetMetaFile::read(meta);
    ASSERT_TRUE(back.ok()) << back.error().to_string();
    EXPECT_EQ(back->data_segment_size, 1000u);
}

}  // namespace
}  // namespace brenvale
