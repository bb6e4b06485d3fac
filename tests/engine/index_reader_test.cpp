// A read-only index beside a live writer sees what the writer appends, grows, rolls over
// and removes after the reader opened: in one process step by step, and in two processes
// at full speed.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "index/index.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::TempDir;

IndexEntry entry(int64_t ts) { return {ts, static_cast<uint64_t>(ts) * 7 + 1, static_cast<uint16_t>(ts & 0xFFF)}; }
constexpr uint64_t size_for(uint64_t n) { return 128 + 32 * n; }

Index writer_index(const std::string& dir, bool continuous, uint64_t per_segment = 4) {
    auto idx = Index::create(dir, {size_for(per_segment), size_for(1), continuous, 3, 0});
    EXPECT_TRUE(idx.ok());
    return std::move(idx).value();
}

Index reader_index(const std::string& dir, bool continuous, uint64_t per_segment = 4) {
    auto idx = Index::open(dir, {size_for(per_segment), size_for(1), continuous, 3, 0, /*read_only=*/true});
    EXPECT_TRUE(idx.ok()) << idx.error().to_string();
    return std::move(idx).value();
}

Status put(Index& idx, std::optional<int64_t> latest, int64_t ts) {
    return idx.append_latest(latest, ts, entry(ts).block_offset, entry(ts).in_block);
}

// What the reader sees of [lo, hi] through every read path, live entries only; each
// entry must be the writer's, and all paths must agree.
std::vector<int64_t> seen(Index& idx, int64_t lo, int64_t hi) {
    std::vector<int64_t> out;
    auto range = idx.range(lo, hi);
    EXPECT_TRUE(range.ok()) << range.error().to_string();
    if (!range.ok()) return out;
    for (const auto& e : *range) {
        if (e.is_sentinel()) continue;
        EXPECT_EQ(e, entry(e.timestamp));
        out.push_back(e.timestamp);
    }
    for (bool backward : {false, true}) {
        std::vector<int64_t> walk;
        std::optional<IndexCursor> cursor;
        int64_t a = lo, b = hi;
        while (a <= b) {
            auto r = backward ? idx.next_backward(a, b, cursor) : idx.next_forward(a, b, cursor);
            EXPECT_TRUE(r.ok()) << r.error().to_string();
            if (!r.ok() || !r->has_value()) break;
            const IndexHit& hit = **r;
            cursor = hit.cursor();
            if (!hit.entry.is_sentinel()) walk.push_back(hit.entry.timestamp);
            if (backward) b = hit.entry.timestamp - 1;
            else a = hit.entry.timestamp + 1;
        }
        if (backward) std::reverse(walk.begin(), walk.end());
        EXPECT_EQ(walk, out) << (backward ? "backward" : "forward");
    }
    for (int64_t t : out) {
        auto hit = idx.lookup(t);
        EXPECT_TRUE(hit.ok() && *hit == entry(t)) << t;
    }
    return out;
}

TEST(IndexReader, SeesAppendsGrowthRollOversGapsAndRemovals) {
    for (bool continuous : {false, true}) {
        SCOPED_TRACE(continuous ? "continuous" : "sparse");
        TempDir dir;
        Index w = writer_index(dir.path(), continuous);
        // Opened on an empty directory: the base comes with the writer's first entry.
        Index r = reader_index(dir.path(), continuous);
        EXPECT_EQ(seen(r, 0, 1000), std::vector<int64_t>{});
        std::vector<int64_t> want;
        std::optional<int64_t> latest;
        // 4 entries per segment, growing from 1: appends grow the file twice, then roll over;
        // the jumps leave gaps (fillers, skipped segments in continuous mode).
        for (int64_t t : {100, 101, 102, 103, 104, 105, 110, 111, 130, 131, 132, 170}) {
            ASSERT_TRUE(put(w, latest, t).ok()) << t;
            latest = t;
            want.push_back(t);
            auto now_latest = r.current_latest_timestamp();
            ASSERT_TRUE(now_latest.ok());
            EXPECT_EQ(*now_latest, t);
            ASSERT_EQ(seen(r, 0, 1000), want) << "after " << t;
            EXPECT_EQ(r.base_timestamp(), continuous ? std::optional<int64_t>(100) : std::nullopt);
        }
        if (continuous) {  // out-of-order writes into a segment the writer skipped
            ASSERT_TRUE(w.overwrite(150, entry(150).block_offset, entry(150).in_block).ok());
            want.insert(want.end() - 1, 150);
            ASSERT_EQ(seen(r, 0, 1000), want);
        }
        // Retention on the writer's side removes the oldest segments.
        ASSERT_TRUE(w.close_segments().ok());
        EXPECT_GT(w.reclaim(110), 0u);
        const int64_t oldest = w.slots().front().start;
        std::erase_if(want, [&](int64_t t) { return t < oldest; });
        ASSERT_GE(oldest, 104);
        EXPECT_EQ(seen(r, 0, 1000), want);
        ASSERT_TRUE(put(w, latest, 171).ok());
        want.push_back(171);
        EXPECT_EQ(seen(r, 0, 1000), want);
        EXPECT_FALSE(r.append(500, 1, 1).ok());  // and it stays read-only
    }
}

// Two processes: a writer appends (growing, rolling over, leaving gaps) and reports each
// acknowledged timestamp over a pipe; the reader queries all the while and must see
// every acknowledged entry, exactly, and never an error.
TEST(IndexReader, TwoProcessesWriterAndReader) {
    for (bool continuous : {false, true}) {
        SCOPED_TRACE(continuous ? "continuous" : "sparse");
        TempDir dir;
        { Index w = writer_index(dir.path(), continuous, 32); }
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        constexpr int kWrites = 1500;
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            auto w = Index::open(dir.path(), {size_for(32), size_for(1), continuous, 3, 0});
            if (!w.ok()) _exit(2);
            std::mt19937_64 rng(continuous);
            std::optional<int64_t> latest;
            int64_t t = 1000;
            for (int i = 0; i < kWrites; ++i) {
                t += 1 + static_cast<int64_t>(rng() % 4 == 0 ? rng() % 9 : 0);
                if (!put(*w, latest, t).ok()) _exit(3);
                latest = t;
                if (::write(fds[1], &t, sizeof t) != static_cast<ssize_t>(sizeof t)) _exit(4);
            }
            _exit(0);
        }
        ::close(fds[1]);
        Index r = reader_index(dir.path(), continuous, 32);
        std::vector<int64_t> acked;
        int64_t t = 0;
        size_t checks = 0;
        while (::read(fds[0], &t, sizeof t) == static_cast<ssize_t>(sizeof t)) {
            acked.push_back(t);
            // Every few acknowledgements: a lookup of the newest, and a range over the
            // recent past that must hold every acknowledged entry in it.
            if (acked.size() % 7 != 0) continue;
            auto hit = r.lookup(t);
            ASSERT_TRUE(hit.ok()) << hit.error().to_string();
            ASSERT_EQ(*hit, entry(t)) << t;
            const int64_t lo = acked[acked.size() > 40 ? acked.size() - 40 : 0];
            std::vector<int64_t> got = seen(r, lo, t);
            std::vector<int64_t> want(std::find(acked.begin(), acked.end(), lo), acked.end());
            ASSERT_EQ(got, want);
            ++checks;
        }
        ::close(fds[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_EQ(acked.size(), static_cast<size_t>(kWrites));
        EXPECT_GT(checks, 150u);
        EXPECT_EQ(seen(r, 0, INT64_MAX - 1), acked);
        EXPECT_GT(r.segment_count(), 40u);
    }
}

}  // namespace
}  // namespace brenvale
