// A read-only segment set (or dataset) in one process beside a writer in another: the
// writer appends, corrects and extends records while its files seal, grow and roll over;
// every record the reader reads back is byte-exact and whole, it never sees an error, and
// its counts follow the writer.
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>

#include <gtest/gtest.h>

#include "dataset/dataset.h"
#include "index/index.h"
#include "segment/set.h"
#include "segment_test_util.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::TempDir;

constexpr uint64_t kSpan = 1 << 20;
constexpr uint64_t kInitial = 65536;
constexpr uint32_t kRecords = 6000;

// Version u of record i: its size and bytes follow from (i, u) alone, so a torn mix of
// two versions never passes for either.
size_t size_of(uint32_t i, uint32_t u) {
    if (i % 997 == 5 && u == 0) return 300000;  // a block of its own
    return 16 + (uint64_t{i} * 7919 + u * 104729) % 3000;
}

std::vector<uint8_t> content(uint32_t i, uint32_t u) {
    std::vector<uint8_t> out = testing::random_bytes(size_of(i, u), uint64_t{i} << 8 | u);
    store_u32(out.data(), i);
    store_u32(out.data() + 4, u);
    return out;
}

// What the writer publishes: where record i lives and its acknowledged version.
struct Slot {
    std::atomic<uint64_t> offset;
    std::atomic<uint32_t> in_block;
    std::atomic<uint32_t> version;
};
struct Board {
    std::atomic<uint32_t> published;
    std::atomic<uint32_t> done;
    Slot slots[kRecords];
};

int run_writer(const std::string& dir, uint8_t type, Board* board) {
    auto set = SegmentSet::create_dir(dir, {kSpan, kInitial, 3, type});
    if (!set.ok()) return 2;
    for (uint32_t i = 0; i < kRecords; ++i) {
        auto w = set->write(i, content(i, 0), nullptr);
        if (!w.ok()) return 3;
        Slot& s = board->slots[i];
        s.offset.store(w->block_offset());
        s.in_block.store(w->in_block);
        s.version.store(0);
        board->published.store(i + 1);
        // Now and then the latest record is corrected in place (versions 1, 2).
        for (uint32_t u = 1; u <= 2 && i % 5 == 1 && size_of(i, 0) < 262000; ++u) {
            auto c = set->correction_write(w->block_offset(), w->in_block, content(i, u));
            // A file at its size limit has no room to stage a correction, and a full
            // pending block none to grow the record: the dataset writes it anew then.
            if (!c.ok() && (c.error().kind() == ErrorKind::SegmentFull ||
                            c.error().detail() == "correction write: oversized record requires exclusive block"))
                break;
            if (!c.ok()) {
                fprintf(stderr, "correction of %u: %s\n", i, c.error().to_string().c_str());
                return 4;
            }
            s.version.store(u);
        }
    }
    board->done.store(1);
    return 0;
}

void read_beside_writer(uint8_t type) {
    TempDir dir;
    void* mem = ::mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    Board* board = new (mem) Board();
    // The data directory exists before the reader opens.
    ASSERT_TRUE(create_dir_all(join_path(dir.path(), "data")).ok());

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(run_writer(dir.path(), type, board));

    auto reader = SegmentSet::open_dir(dir.path(), {kSpan, kInitial, 3, type, /*read_only=*/true});
    ASSERT_TRUE(reader.ok());
    BlockCache cache(1 << 20);
    std::mt19937_64 rng(type);
    uint64_t reads = 0;
    int status = 0;
    bool exited = false;
    for (bool last_pass = false;;) {
        if (board->done.load()) last_pass = true;
        if (!last_pass && ::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            last_pass = true;
        }
        const uint32_t n = board->published.load();
        for (int k = 0; k < 64 && n > 0; ++k) {
            // Mostly the newest records (the pending block), sometimes any.
            uint32_t i = rng() % 4 == 0 ? static_cast<uint32_t>(rng() % n) : n - 1 - static_cast<uint32_t>(rng() % std::min<uint32_t>(n, 8));
            const Slot& s = board->slots[i];
            const uint32_t at_least = s.version.load();
            auto r = reader->read_record(s.offset.load(), static_cast<uint16_t>(s.in_block.load()),
                                         rng() % 2 ? &cache : nullptr);
            ASSERT_TRUE(r.ok()) << "record " << i << ": " << r.error().to_string();
            ASSERT_EQ(r->timestamp, i);
            ASSERT_GE(r->data.size(), 8u);
            const uint32_t u = load_u32(r->data.data() + 4);
            ASSERT_GE(u, at_least) << "record " << i;
            ASSERT_EQ(r->data, content(i, u)) << "record " << i << " version " << u;
            ++reads;
        }
        if (last_pass) break;
    }
    if (!exited) {
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    // After the writer is gone every record reads back at its final version.
    for (uint32_t i = 0; i < kRecords; ++i) {
        const Slot& s = board->slots[i];
        auto r = reader->read_record(s.offset.load(), static_cast<uint16_t>(s.in_block.load()), &cache);
        ASSERT_TRUE(r.ok()) << "record " << i << ": " << r.error().to_string();
        ASSERT_EQ(r->data, content(i, s.version.load())) << "record " << i;
    }
    EXPECT_GT(reads, 0u);
    EXPECT_GT(reader->count(), 3u);  // the writer rolled over several times
    ::munmap(mem, sizeof(Board));
}

TEST(SegmentLiveReader, ReadsBesideAWriterAreExactZstd) { read_beside_writer(0); }
TEST(SegmentLiveReader, ReadsBesideAWriterAreExactDeflate) { read_beside_writer(1); }

// ---- records rewritten in place while the reader copies them ----

// How long each rewriting writer runs: BRENVALE_LIVE_READER_SECONDS (a long local run),
// else 2 seconds.
std::chrono::steady_clock::time_point writer_deadline() {
    const char* env = std::getenv("BRENVALE_LIVE_READER_SECONDS");
    const double s = env != nullptr ? std::atof(env) : 2.0;
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(static_cast<int64_t>(s * 1000));
}

// What a rewriting writer shares: its record's place, and how far it got.
struct Progress {
    std::atomic<uint32_t> ready;
    std::atomic<uint32_t> done;
    std::atomic<uint64_t> acked;  // records written (or versions made) and acknowledged
    std::atomic<uint64_t> offset;
    std::atomic<uint32_t> in_block;
    std::atomic<uint64_t> records;
    std::atomic<uint64_t> invalid;
    std::atomic<uint64_t> segments;
    std::atomic<uint64_t> pauses;  // odd while the writer stands still inside a change
    std::atomic<uint64_t> held;    // records the dataset holds during a paused change (0: not told)
};

// Forks `writer`, calls `read` until the writer is done (and once more after), and checks
// that the writer succeeded.
void beside(const std::function<int(Progress&)>& writer, const std::function<void(Progress&)>& read) {
    void* mem = ::mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    Progress* p = new (mem) Progress();
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(writer(*p));
    int status = 0;
    bool exited = false;
    while (!p->ready.load() && !exited) exited = ::waitpid(pid, &status, WNOHANG) == pid;
    for (bool last = exited; !last && !::testing::Test::HasFatalFailure();) {
        last = p->done.load() != 0 || (exited = ::waitpid(pid, &status, WNOHANG) == pid);
        read(*p);
    }
    if (!exited) {
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
    ::munmap(mem, sizeof(Progress));
}

// A 200,000-byte record rewritten with a new uniform byte each time, in a file with room
// behind its block and in one at its size limit: every read gives one whole version.
TEST(SegmentLiveReader, ARecordRewrittenInPlaceIsNeverReadTorn) {
    for (const uint64_t size : {uint64_t{1} << 20, uint64_t{262144}}) {
        TempDir dir;
        ASSERT_TRUE(create_dir_all(join_path(dir.path(), "data")).ok());
        auto writer = [&](Progress& p) {
            auto set = SegmentSet::create_dir(dir.path(), {size, size, 3, 0});
            auto w = set.ok() ? set->write(1, std::vector<uint8_t>(200000, 1), nullptr) : Result<SegmentWrite>(set.error());
            if (!w.ok()) return 2;
            p.offset = w->block_offset();
            p.in_block = w->in_block;
            p.ready = 1;
            const auto end = writer_deadline();
            for (uint64_t k = 2; std::chrono::steady_clock::now() < end; ++k) {
                if (!set->correction_write(w->block_offset(), w->in_block, std::vector<uint8_t>(200000, k % 251 + 1)).ok())
                    return 3;
                p.acked = k;
            }
            p.done = 1;
            return 0;
        };
        auto reader = SegmentSet::open_dir(dir.path(), {size, size, 3, 0, /*read_only=*/true});
        ASSERT_TRUE(reader.ok());
        uint64_t reads = 0, torn = 0;
        beside(writer, [&](Progress& p) {
            auto r = reader->read_record(p.offset, static_cast<uint16_t>(p.in_block.load()), nullptr);
            ASSERT_TRUE(r.ok()) << r.error().to_string();
            ++reads;
            torn += r->data.size() != 200000 || std::count(r->data.begin(), r->data.end(), r->data[0]) != 200000;
        });
        EXPECT_EQ(torn, 0u) << "of " << reads << " reads, file size " << size;
    }
}

// A dataset whose latest record is corrected between 47 and 48 bytes (one 60-byte frame),
// the length's parity in every byte: an iterator never mixes two versions.
TEST(SegmentLiveReader, ASameSizedCorrectionIsNeverReadTornThroughAnIterator) {
    TempDir dir;
    const std::string path = dir.file("ds");
    const DataSetKey key{"live", "ds"};
    auto version = [](uint64_t k) { return std::vector<uint8_t>(47 + k % 2, static_cast<uint8_t>(k)); };
    auto writer = [&](Progress& p) {
        auto d = Dataset::create(key, path, DatasetConfig{});
        if (!d.ok() || !d->write(1, version(0)).ok()) return 2;
        p.ready = 1;
        const auto end = writer_deadline();
        for (uint64_t k = 1; std::chrono::steady_clock::now() < end; ++k) {
            if (!d->write(1, version(k)).ok()) return 3;
            p.acked = k;
        }
        p.done = 1;
        return 0;
    };
    std::optional<Dataset> reader;
    uint64_t reads = 0, torn = 0;
    beside(writer, [&](Progress&) {
        if (!reader) {
            auto ro = Dataset::open_read_only(key, path);
            ASSERT_TRUE(ro.ok()) << ro.error().to_string();
            reader.emplace(std::move(*ro));
        }
        auto it = reader->query(1, 1);
        ASSERT_TRUE(it.ok());
        auto all = it->collect_all();
        ASSERT_TRUE(all.ok()) << all.error().to_string();
        ASSERT_EQ(all->size(), 1u);
        const std::vector<uint8_t>& d = (*all)[0].data;
        ++reads;
        torn += d.empty() || d != version(d[0]) || d.size() != 47 + d[0] % 2u;
    });
    EXPECT_EQ(torn, 0u) << "of " << reads << " reads";
}

// A read-only dataset's counts are those of the records it can read now: never below what
// the writer acknowledged before the call, and the writer's own once it is done.
// A writer that stands still now and then inside a change (slow, descheduled): at every
// seal between the block header's compressed size and its flags, and, while
// g_pause_counts, at the steps of an out-of-order write (record stored, count-due record
// set, entry changed, old record counted). Set in the writer process.
Progress* g_progress = nullptr;
bool g_pause_counts = false;

void pause_inside_changes(const char* step) {
    const std::string_view s(step);
    const bool count = s == "index.count_due.set" || s == "dataset.write.stored" || s == "dataset.write.replaced" ||
                       s == "dataset.count.segment" || s == "dataset.count.total";
    if (s != "seal.payload_size" && !(count && g_pause_counts)) return;
    g_progress->pauses.fetch_add(1);
    ::usleep(s == "seal.payload_size" ? 25000 : 5000);
    g_progress->pauses.fetch_add(1);
}

// An inspect while the writer stands still inside an out-of-order write also counts the
// records the dataset holds, records minus invalid ones: in a growing dataset whose
// segments roll over, and in one whose record 2 of 3 is rewritten again and again.
TEST(SegmentLiveReader, AReadOnlyDatasetCountsWhatTheWriterWrote) {
    for (const bool growing : {true, false}) {
        SCOPED_TRACE(growing ? "growing" : "rewriting record 2 of 3");
        TempDir dir;
        const std::string path = dir.file("ds");
        const DataSetKey key{"live", "ds"};
        DatasetConfig cfg;
        cfg.data_segment_size = cfg.initial_data_segment_size = 65536;
        cfg.index_segment_size = cfg.initial_index_segment_size = 4096;
        const int64_t last = growing ? 3000 : 100;
        auto writer = [&](Progress& p) {
            auto d = Dataset::create(key, path, cfg);
            if (!d.ok()) return 2;
            g_progress = &p;
            set_crash_hook(pause_inside_changes);
            p.ready = 1;
            for (int64_t ts = 1; ts <= last; ++ts) {
                if (!growing) {
                    if (ts <= 3 && !d->write(ts, testing::random_bytes(1000, static_cast<uint64_t>(ts))).ok()) return 3;
                    g_pause_counts = ts > 3;
                    p.held = g_pause_counts ? 3 : 0;
                    if (ts > 3 && !d->write(2, testing::random_bytes(900, static_cast<uint64_t>(ts))).ok()) return 5;
                    p.held = 0;
                    p.acked = static_cast<uint64_t>(std::min<int64_t>(ts, 3));
                    continue;
                }
                if (!d->write(ts, testing::random_bytes(1000, static_cast<uint64_t>(ts))).ok()) return 3;
                if (ts % 3 == 0 && !d->write(ts, std::vector<uint8_t>(900, 7)).ok()) return 4;  // a correction
                g_pause_counts = ts % 70 == 0;
                p.held = g_pause_counts ? static_cast<uint64_t>(ts) : 0;
                if (ts % 7 == 0 && !d->write(ts - 5, std::vector<uint8_t>(10, 8)).ok()) return 5;  // out of order
                p.held = 0;
                p.acked = static_cast<uint64_t>(ts);
            }
            auto in = d->inspect();
            if (!in.ok()) return 6;
            p.records = in->state.total_record_count;
            p.invalid = in->state.total_invalid_record_count;
            p.segments = in->state.data_segments;
            p.done = 1;
            return 0;
        };
        std::optional<Dataset> reader;
        DataSetState seen;
        std::array<uint64_t, 3> expected{};
        uint64_t paused_inspects = 0;
        beside(writer, [&](Progress& p) {
            if (!reader) reader.emplace(std::move(*Dataset::open_read_only(key, path)));
            const uint64_t acked = p.acked, pauses = p.pauses, held = p.held;
            auto in = reader->inspect();
            ASSERT_TRUE(in.ok()) << in.error().to_string();
            seen = in->state;
            ASSERT_GE(seen.total_record_count, acked);
            ASSERT_GE(seen.max_timestamp.value_or(0), static_cast<int64_t>(acked));
            ASSERT_GE(seen.latest_written_timestamp.value_or(0), static_cast<int64_t>(acked));
            if (pauses % 2 == 1 && held != 0 && p.pauses == pauses) {  // the writer stood still throughout
                ++paused_inspects;
                ASSERT_EQ(seen.total_record_count - seen.total_invalid_record_count, held)
                    << seen.total_record_count << " records, " << seen.total_invalid_record_count << " invalid";
            }
            expected = {p.records, p.invalid, p.segments};
        });
        EXPECT_GT(paused_inspects, 20u);
        if (growing) {
            EXPECT_EQ(expected[0], 3000u + 3000u / 7);  // the out-of-order writes added records
            EXPECT_EQ(seen.max_timestamp, 3000);
        } else {
            EXPECT_EQ(expected[0] - expected[1], 3u);
        }
        EXPECT_EQ((std::array<uint64_t, 3>{seen.total_record_count, seen.total_invalid_record_count, seen.data_segments}),
                  expected);
        EXPECT_EQ(seen.latest_written_timestamp, growing ? 3000 : 3);
    }
}

// Reads beside a writer that stands still inside every seal give every record of the block
// whole: a reader that stops waiting for the change takes the raw block by its frames.
TEST(SegmentLiveReader, ARecordOfABlockWhoseSealIsSlowIsReadWhole) {
    TempDir dir;
    const std::string path = dir.file("ds");
    auto value = [](uint64_t ts) {  // compressible: the sealed block is much smaller than the raw one
        std::vector<uint8_t> v(900 + ts % 200, static_cast<uint8_t>(ts % 251));
        store_u64(v.data(), ts);
        return v;
    };
    auto writer = [&](Progress& p) {
        auto d = Dataset::create({"live", "ds"}, path, DatasetConfig{});
        if (!d.ok()) return 2;
        g_progress = &p;
        set_crash_hook(pause_inside_changes);
        p.ready = 1;
        for (uint64_t ts = 1; ts <= 3000; ++ts) {  // a seal every 250 records or so
            if (!d->write(static_cast<int64_t>(ts), value(ts)).ok()) return 3;
            p.acked = ts;
        }
        p.done = 1;
        return 0;
    };
    std::optional<Dataset> reader;
    uint64_t reads = 0;
    beside(writer, [&](Progress& p) {
        if (!reader) reader.emplace(std::move(*Dataset::open_read_only({"live", "ds"}, path)));
        const uint64_t acked = p.acked;
        for (uint64_t ts = acked > 300 ? acked - 300 : 1; ts <= acked; ts += 7, ++reads) {
            auto r = reader->read(static_cast<int64_t>(ts));
            ASSERT_TRUE(r.ok() && r->has_value() && (*r)->data == value(ts))
                << "record " << ts << " after " << reads << " reads: " << (r.ok() ? "not as written" : r.error().to_string());
        }
    });
}

// A continuous index written with gaps (skipped slots and whole skipped segments), its
// latest record corrected and extended, skipped slots filled in now and then: a read-only
// dataset's read_latest, latest_timestamp and query_exist never miss the latest record
// acknowledged before the call, and never give a version older than it or a torn one.
TEST(SegmentLiveReader, AReadOnlyDatasetNeverMissesTheLatestRecord) {
    TempDir dir;
    const std::string path = dir.file("ds");
    const DataSetKey key{"live", "ds"};
    DatasetConfig cfg;
    cfg.index_continuous = 1;
    cfg.data_segment_size = cfg.initial_data_segment_size = 65536;
    cfg.index_segment_size = 128 + 32 * 16;
    cfg.initial_index_segment_size = 128 + 32 * 2;
    // Version u of record ts: chunks of 16 bytes that each name (ts, u); appends add more.
    auto chunks = [](int64_t ts, uint64_t u, size_t n) {
        std::vector<uint8_t> out(16 * n);
        for (size_t j = 0; j < n; ++j) store_i64(out.data() + 16 * j, ts), store_u64(out.data() + 16 * j + 8, u);
        return out;
    };
    auto writer = [&](Progress& p) {
        auto d = Dataset::create(key, path, cfg);
        std::mt19937_64 rng(7);
        int64_t ts = 1000;
        uint64_t u = 0;
        if (!d.ok() || !d->write(ts, chunks(ts, u, 3)).ok()) return 2;
        p.acked = static_cast<uint64_t>(ts) << 20;
        p.ready = 1;
        for (const auto end = writer_deadline(); std::chrono::steady_clock::now() < end;) {
            const unsigned op = rng() % 10;
            Status st;
            if (op < 5) {  // a new latest record, 0 to 40 slots on
                const uint64_t gap = rng() % 4 == 0 ? 16 + rng() % 25 : rng() % 3;
                ts += 1 + static_cast<int64_t>(gap);
                u = 0;
                st = d->write(ts, chunks(ts, u, 1 + rng() % 8));
            } else if (op < 7) {  // a correction, in place or written anew
                st = d->write(ts, chunks(ts, u + 1, 1 + rng() % 40));
                if (st.ok()) ++u;
            } else if (op < 9) {  // an append to the latest record
                st = d->append(ts, chunks(ts, u, 1 + rng() % 3));
                const bool refused = !st.ok() && (st.error().kind() == ErrorKind::SegmentFull ||
                                                  st.error().detail().rfind("append", 0) == 0);
                if (refused) st = ok_status();  // no room beside it: nothing changed
            } else {  // a record below the latest: a skipped slot filled in, or an older one replaced
                const int64_t t = std::max<int64_t>(1000, ts - 1 - static_cast<int64_t>(rng() % 40));
                if (t < ts) st = d->write(t, chunks(t, 1000, 1));
            }
            if (!st.ok()) {
                fprintf(stderr, "writer at %ld, op %u: %s\n", static_cast<long>(ts), op, st.error().to_string().c_str());
                return 3;
            }
            p.acked = static_cast<uint64_t>(ts) << 20 | u;
        }
        p.done = 1;
        return 0;
    };
    std::optional<Dataset> reader;
    uint64_t calls = 0, missed = 0, torn = 0;
    beside(writer, [&](Progress& p) {
        if (!reader) {
            auto ro = Dataset::open_read_only(key, path);
            ASSERT_TRUE(ro.ok()) << ro.error().to_string();
            reader.emplace(std::move(*ro));
            // As a read-only store equips it: the reads follow the writer.
            DatasetRuntime rt;
            rt.block_cache = std::make_shared<BlockCache>(1 << 20);
            rt.read_only = true;
            ASSERT_TRUE(reader->attach_runtime(rt).ok() && reader->set_identifier(1).ok());
        }
        const uint64_t acked = p.acked;
        const int64_t ts = static_cast<int64_t>(acked >> 20);
        const uint64_t u = acked & 0xFFFFF;
        auto r = reader->read_latest();
        ASSERT_TRUE(r.ok()) << r.error().to_string();
        if (!*r || (*r)->timestamp < ts || ((*r)->timestamp == ts && (*r)->data.size() >= 16 &&
                                              load_u64((*r)->data.data() + 8) < u)) {
            ++missed;
        } else {
            const std::vector<uint8_t>& d = (*r)->data;
            torn += d.empty() || d.size() % 16 != 0 || d != chunks((*r)->timestamp, load_u64(d.data() + 8), d.size() / 16);
        }
        missed += reader->latest_timestamp().value_or(INT64_MIN) < ts;
        auto bits = reader->query_exist(ts, ts);
        ASSERT_TRUE(bits.ok()) << bits.error().to_string();
        missed += bits->size() != 1 || ((*bits)[0] & 1) == 0;
        ++calls;
    });
    EXPECT_EQ(missed, 0u) << "of " << calls << " calls";
    EXPECT_EQ(torn, 0u) << "of " << calls << " calls";
}

// One index entry rewritten in place again and again, between two addresses that differ in
// every byte: a read-only index beside the writer reads one of them whole, by lookup and by
// range.
TEST(SegmentLiveReader, AnIndexEntryRewrittenInPlaceIsNeverReadTorn) {
    TempDir dir;
    const IndexEntry a{5, 0x1111111111111111, 0x2222}, b{5, 0x3333333333333333, 0x4444};
    auto writer = [&](Progress& p) {
        auto idx = Index::create(dir.path(), {4096, 4096, true, 3, 0});
        if (!idx.ok() || !idx->append(5, a.block_offset, a.in_block).ok()) return 2;
        p.ready = 1;
        const auto end = writer_deadline();
        for (uint64_t k = 0; std::chrono::steady_clock::now() < end; ++k) {
            const IndexEntry& e = k % 2 ? a : b;
            if (!idx->overwrite(5, e.block_offset, e.in_block).ok()) return 3;
        }
        p.done = 1;
        return 0;
    };
    std::optional<Index> reader;
    uint64_t reads = 0, torn = 0;
    beside(writer, [&](Progress&) {
        if (!reader) reader.emplace(std::move(*Index::open(dir.path(), {4096, 4096, true, 3, 0, /*read_only=*/true})));
        auto hit = reader->lookup(5);
        auto all = reader->range(0, 10);
        ASSERT_TRUE(hit.ok() && all.ok());
        torn += !(*hit == a || *hit == b) + (all->size() != 1 || !((*all)[0] == a || (*all)[0] == b));
        ++reads;
    });
    EXPECT_EQ(torn, 0u) << "of " << reads << " reads";
}

}  // namespace
}  // namespace brenvale
