// The journal log: meta file and segment names, sequences across seals and roll-overs,
// reads and ranges, reopening, the sequence limit, read-only opens and damaged segments,
// a read-only log beside a writer in another process, and more segments than descriptors.
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <random>

#include <gtest/gtest.h>

#include "journal/log.h"
#include "journal/record.h"
#include "paths.h"
#include "segment_test_util.h"
#include "test_util.h"

namespace brenvale {
namespace {

using testing::LogCapture;
using testing::random_bytes;
using testing::TempDir;
using Bytes = std::vector<uint8_t>;

JournalLogOptions small_segments(uint64_t limit = 64 * 1024, uint64_t initial = 8 * 1024) {
    return JournalLogOptions{limit, initial, 0, 3};
}

Bytes payload(uint64_t i) { return random_bytes(200 + i * 3371 % 12000, i); }

std::vector<uint64_t> sequences(const std::vector<JournalEntry>& entries) {
    std::vector<uint64_t> out;
    for (const auto& e : entries) out.push_back(e.sequence);
    return out;
}

void expect_entries(JournalLog& log, uint64_t first, uint64_t last) {
    for (uint64_t s = first; s <= last; ++s) {
        auto e = log.read(static_cast<int64_t>(s));
        ASSERT_TRUE(e.ok()) << e.error().to_string();
        ASSERT_TRUE(e->has_value()) << s;
        EXPECT_EQ(**e, (JournalEntry{s, payload(s)}));
    }
}

TEST(JournalLog, FreshLogAppendsFromOneAndReopens) {
    TempDir dir;
    const std::string logs = paths::journal_logs_dir(dir.path());
    {
        auto log = JournalLog::open(logs, JournalLogOptions::from(StoreConfig{}));
        ASSERT_TRUE(log.ok()) << log.error().to_string();
        EXPECT_EQ(*read_file(paths::journal_meta_file(logs)), "brenvale journal v1\n");
        EXPECT_TRUE(list_dir(log->data_dir())->empty());
        EXPECT_EQ(log->next_sequence(), 1u);
        for (uint64_t s = 1; s <= 5; ++s) EXPECT_EQ(*log->append(payload(s)), s);
        EXPECT_EQ(*list_dir(log->data_dir()), std::vector<std::string>{"00000000000000000001"});
        ASSERT_TRUE(log->flush().ok());
    }
    auto log = JournalLog::open(logs, JournalLogOptions::from(StoreConfig{}));
    ASSERT_TRUE(log.ok());
    EXPECT_EQ(log->next_sequence(), 6u);
    EXPECT_EQ(*log->append(payload(6)), 6u);
    expect_entries(*log, 1, 6);
}

TEST(JournalLog, SequencesAcrossSealsAndRollOvers) {
    TempDir dir;
    const std::string logs = dir.file("logs");
    auto log = JournalLog::open(logs, small_segments(512 * 1024));
    ASSERT_TRUE(log.ok());
    for (uint64_t s = 1; s <= 120; ++s) ASSERT_EQ(*log->append(payload(s)), s);
    EXPECT_GE(log->segment_count(), 2u);
    // Each segment is named by its first sequence, and every one but the last was
    // flushed when it rolled over.
    auto names = *list_dir(log->data_dir());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names.front(), "00000000000000000001");
    EXPECT_EQ(names.size(), log->segment_count());

    struct Range {
        int64_t start, end;
        std::vector<uint64_t> want;
    };
    const Range ranges[] = {{5, 3, {}}, {-10, 2, {1, 2}}, {119, 500, {119, 120}}, {121, 130, {}}, {7, 7, {7}}};
    for (const Range& r : ranges) {
        auto got = log->read_range(r.start, r.end);
        ASSERT_TRUE(got.ok());
        EXPECT_EQ(sequences(*got), r.want) << r.start << ".." << r.end;
        for (const auto& e : *got) EXPECT_EQ(e.payload, payload(e.sequence));
    }
    for (int64_t absent : {int64_t{0}, int64_t{-5}, int64_t{121}, INT64_MAX}) EXPECT_FALSE(log->read(absent)->has_value());
    expect_entries(*log, 1, 120);

    // A record too large for an empty segment: segment-full after the roll-over; the new,
    // empty segment stays last and the next sequence does not move.
    const size_t before = log->segment_count();
    auto too_big = log->append(random_bytes(600 * 1024, 1));
    ASSERT_FALSE(too_big.ok());
    EXPECT_EQ(too_big.error().kind(), ErrorKind::SegmentFull);
    EXPECT_EQ(log->segment_count(), before + 1);
    EXPECT_EQ(log->next_sequence(), 121u);
    EXPECT_EQ(*log->append(payload(121)), 121u);

    // Reopened (writable and read-only), the same records at the same sequences.
    log = Result<JournalLog>(Error::invalid_data("closed"));
    auto again = JournalLog::open(logs, small_segments(512 * 1024));
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again->next_sequence(), 122u);
    expect_entries(*again, 1, 121);
    auto ro = JournalLog::open_read_only(logs, small_segments(512 * 1024));
    ASSERT_TRUE(ro.ok() && ro->has_value());
    expect_entries(**ro, 1, 121);
    EXPECT_EQ((**ro).next_sequence(), 122u);
    // A range decodes each sealed block once, whichever way the log was opened; only the
    // newest segment stays open.
    for (JournalLog* l : {&*again, &**ro}) {
        const uint64_t before = decompression_count();
        auto all = l->read_range(1, 121);
        ASSERT_TRUE(all.ok());
        EXPECT_EQ(all->size(), 121u);
        EXPECT_LE(decompression_count() - before, 3 * l->segment_count());
        EXPECT_EQ(l->open_segment_count(), 1u);
    }
    EXPECT_SEG_ERROR((**ro).append(payload(122)), ErrorKind::InvalidData, "read-only journal segment cannot be modified");
}

TEST(JournalLog, InvalidNamesAreSkippedAndUnfinishedFilesRemoved) {
    TempDir dir;
    const std::string logs = dir.file("logs");
    const std::string data = paths::journal_data_dir(logs);
    ASSERT_TRUE(JournalLog::open(logs, small_segments())->append(payload(1)).ok());
    for (const char* name : {"abc", "0000000000000000001", "00000000000000000000", "+0000000000000000009"})
        ASSERT_TRUE(write_file_atomic(join_path(data, name), "x").ok());
    ASSERT_TRUE(create_dir_all(join_path(data, "00000000000000000009")).ok());
    ASSERT_TRUE(write_file_atomic(join_path(data, "00000000000000000002.tmp"), "x").ok());

    LogCapture logs_seen;
    auto ro = JournalLog::open_read_only(logs, small_segments());
    ASSERT_TRUE(ro.ok() && ro->has_value());
    EXPECT_EQ(logs_seen.count_starting("[journal] skipping invalid segment filename: "), 4u);
    EXPECT_TRUE(*path_exists(join_path(data, "00000000000000000002.tmp")));  // a reader removes nothing
    auto log = JournalLog::open(logs, small_segments());
    ASSERT_TRUE(log.ok());
    EXPECT_TRUE(logs_seen.contains(log::Level::Warn, log::kJournalLog,
                                   "[journal] skipping invalid segment filename: " + join_path(data, "abc")));
    EXPECT_FALSE(*path_exists(join_path(data, "00000000000000000002.tmp")));
    EXPECT_EQ(log->next_sequence(), 2u);
    expect_entries(*log, 1, 1);

    // No journal directories: a read-only open finds no log and creates nothing.
    TempDir empty;
    auto none = JournalLog::open_read_only(empty.file("logs"), small_segments());
    ASSERT_TRUE(none.ok());
    EXPECT_FALSE(none->has_value());
    EXPECT_FALSE(*path_exists(empty.file("logs")));
}

TEST(JournalLog, SequencesEndAtTwoToTheSixtyThreeMinusTwo) {
    TempDir dir;
    const std::string logs = dir.file("logs");
    const uint64_t base = kMaxJournalSequence - 1;
    ASSERT_TRUE(JournalSegment::create(join_path(paths::journal_data_dir(logs), segment_file_name(base)),
                                       {base, 8192, 65536, 3, 0})
                    .ok());
    auto log = JournalLog::open(logs, small_segments());
    ASSERT_TRUE(log.ok()) << log.error().to_string();
    EXPECT_EQ(log->next_sequence(), base);
    EXPECT_EQ(*log->append(Bytes{1}), base);
    EXPECT_EQ(*log->append(Bytes{2}), kMaxJournalSequence);
    EXPECT_EQ(kMaxJournalSequence, 9223372036854775806u);
    EXPECT_SEG_ERROR(log->append(Bytes{3}), ErrorKind::InvalidData, "journal sequence overflow");
    EXPECT_EQ(log->next_sequence(), kMaxJournalSequence + 1);
    auto last = log->read(static_cast<int64_t>(kMaxJournalSequence));
    ASSERT_TRUE(last.ok() && last->has_value());
    EXPECT_EQ((*last)->payload, Bytes{2});
    auto range = log->read_range(INT64_MAX - 5, INT64_MAX);
    ASSERT_TRUE(range.ok());
    EXPECT_EQ(sequences(*range), (std::vector<uint64_t>{base, kMaxJournalSequence}));
}

// ---- room reserved for record events ----

// A record event at its largest, as the journal's hook calls append them.
Bytes event(uint64_t s) { return random_bytes(kJournalMaxRecordEventSize, s); }

// What a reserve may change: the newest segment, its file and its blocks.
struct LogShape {
    uint64_t next = 0;
    size_t segments = 0;
    uint64_t file_size = 0;
    uint64_t written = 0;
    std::optional<PendingBlock> pending;
};

LogShape shape(const JournalLog& log) {
    LogShape out{log.next_sequence(), log.segment_count(), 0, 0, std::nullopt};
    if (const JournalSegment* seg = log.newest_segment()) {
        out.file_size = seg->file_size();
        out.written = seg->written_length();
        out.pending = seg->pending();
    }
    return out;
}

// What a full disk refuses an append that would need new room: blocks, a new file, its
// descriptor and its mapping.
constexpr uint32_t kNoNewRoom = io_op::kDiskFull | io_op::kOpen | io_op::kMmap;

// Rounds of reservations and the record events that use them. Each reserve is tried on a
// full disk first: it is refused with ENOSPC, changing nothing, exactly when the events
// need new room (the reserve made with room then grows the file or rolls over); otherwise
// it holds the room it found. The reserved events then append on a disk that refuses new
// blocks, files, descriptors and mappings without asking for any. Now and then another
// append comes between (as the store's own events do) and must leave the held room.
// Rounds go on until the reserves grew the newest segment, sealed its pending block
// early and rolled over as often as the case asks.
TEST(JournalLog, ReservedRecordEventsAppendOnAFullDisk) {
    struct Case {
        const char* name;
        uint64_t limit, initial;
        uint64_t holders;
        int grows, seals, rolls;  // at least as many made by reserves
    };
    const Case cases[] = {
        {"the file grows, then rolls over", 64 << 10, 4 << 10, 1, 4, 0, 2},
        {"the pending block is sealed in the room there is", 1 << 20, 1 << 20, 1, 0, 2, 0},
        {"the seal needs the file to grow; two holders", 1 << 20, 512 << 10, 2, 1, 2, 0},
        {"rolls over at a fixed size; three holders", 16 << 10, 16 << 10, 3, 0, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        auto log = JournalLog::open(dir.file("logs"), small_segments(c.limit, c.initial));
        ASSERT_TRUE(log.ok());
        std::vector<Bytes> want;  // by sequence - 1
        auto append = [&](const Bytes& p, bool reserved) {
            auto s = log->append(p, reserved);
            ASSERT_TRUE(s.ok()) << s.error().to_string();
            ASSERT_EQ(*s, want.size() + 1);
            want.push_back(p);
        };
        int grows = 0, seals = 0, rolls = 0, refused = 0;
        for (uint64_t round = 1; grows < c.grows || seals < c.seals || rolls < c.rolls; ++round) {
            ASSERT_LT(round, 20000u) << grows << " grows, " << seals << " seals, " << rolls << " roll-overs";
            // Far from every point where an event needs work, fillers get there sooner.
            for (;;) {
                const JournalSegment* seg = log->newest_segment();
                const uint64_t in_file = seg ? seg->file_size() - seg->header_length() - seg->written_length() : 0;
                const uint64_t in_block = seg && seg->pending() ? kMaxPendingPayload - seg->pending()->wrote_position : 0;
                if (in_file < 12000 || in_block < 12000) break;
                ASSERT_NO_FATAL_FAILURE(append(random_bytes(3000, want.size() + 1), false));
            }
            for (uint64_t h = 0; h < c.holders; ++h) {
                const LogShape before = shape(*log);
                Status full;
                {
                    testing::ScopedIoFaults disk_full(io_op::kDiskFull, 0, ENOSPC, /*sticky=*/true);
                    full = log->reserve();
                }
                const LogShape after_full = shape(*log);
                EXPECT_EQ(after_full.next, before.next);
                EXPECT_EQ(after_full.segments, before.segments);
                EXPECT_EQ(after_full.file_size, before.file_size);
                if (full.ok()) {
                    EXPECT_EQ(log->reserved(), h + 1);
                } else {
                    ++refused;
                    EXPECT_TRUE(full.error().is_io_code(ENOSPC)) << full.error().to_string();
                    EXPECT_EQ(log->reserved(), h);
                    ASSERT_TRUE(log->reserve().ok());
                }
                const LogShape after = shape(*log);
                const bool rolled = after.segments != before.segments;
                const bool grown = !rolled && after.file_size != before.file_size;
                rolls += rolled;
                grows += grown;
                seals += !rolled && before.pending && after.pending != before.pending;
                // New room was needed exactly when the full disk refused it.
                EXPECT_EQ(rolled || grown, !full.ok()) << "round " << round;
            }
            if (round % 3 == 0) {
                ASSERT_NO_FATAL_FAILURE(append(random_bytes(1 + round * 997 % 3000, round), false));
            }
            testing::ScopedIoFaults no_room(kNoNewRoom, 0, ENOSPC, /*sticky=*/true);
            for (uint64_t h = 0; h < c.holders; ++h) ASSERT_NO_FATAL_FAILURE(append(event(want.size() + 1), true));
            EXPECT_EQ(log->reserved(), 0u);
            ASSERT_EQ(io_calls_seen(), 0u) << "round " << round;
        }
        EXPECT_GT(refused, 0);
        // Every record reads back, also after a reopen.
        for (int pass = 0; pass < 2; ++pass) {
            auto all = log->read_range(1, INT64_MAX);
            ASSERT_TRUE(all.ok());
            ASSERT_EQ(all->size(), want.size());
            for (const auto& e : *all) ASSERT_EQ(e.payload, want[e.sequence - 1]) << e.sequence;
            log = JournalLog::open(dir.file("logs"), small_segments(c.limit, c.initial));
            ASSERT_TRUE(log.ok());
        }
    }
}

// Opens a log of three segments, damages one file, and reopens.
struct Damaged {
    TempDir dir;
    std::string logs = dir.file("logs");
    std::vector<uint64_t> bases;

    Damaged() {
        auto log = JournalLog::open(logs, small_segments());
        for (uint64_t s = 1; s <= 60; ++s) EXPECT_TRUE(log->append(payload(s)).ok());
        auto names = *list_dir(log->data_dir());
        std::sort(names.begin(), names.end());
        for (const auto& n : names) bases.push_back(*parse_journal_segment_name(n));
        EXPECT_GE(bases.size(), 3u);
    }
    std::string file(size_t i) const {
        return join_path(paths::journal_data_dir(logs), segment_file_name(bases[i]));
    }
};

TEST(JournalLog, OneBadOlderSegmentDoesNotStopTheLog) {
    Damaged d;
    testing::patch_u32(d.file(1), 0, 0);  // magic
    LogCapture seen;
    auto log = JournalLog::open(d.logs, small_segments());
    ASSERT_TRUE(log.ok()) << log.error().to_string();
    EXPECT_EQ(seen.count_starting("[journal] skipping unreadable segment"), 1u);
    EXPECT_EQ(log->next_sequence(), 61u);
    expect_entries(*log, 1, d.bases[1] - 1);
    expect_entries(*log, d.bases[2], 60);
    EXPECT_FALSE(log->read(static_cast<int64_t>(d.bases[1]))->has_value());

    // The newest segment decides the next sequence: it must open.
    testing::patch_u32(d.file(d.bases.size() - 1), 0, 0);
    auto refused = JournalLog::open(d.logs, small_segments());
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind(), ErrorKind::InvalidMagic);
}

TEST(JournalLog, LostRecordsOfTheNewestSegmentAreNeverNumberedAgain) {
    Damaged d;
    const size_t last = d.bases.size() - 1;
    // The first frame of the newest segment has lost its sequence: the segment's records
    // are lost, but its state counted them.
    testing::patch_u64(d.file(last), 108 + 16 + 4, 999);
    LogCapture seen;
    auto log = JournalLog::open(d.logs, small_segments());
    ASSERT_TRUE(log.ok()) << log.error().to_string();
    EXPECT_EQ(seen.count_starting("[journal] segment "), 1u);
    EXPECT_EQ(log->next_sequence(), 61u);
    EXPECT_EQ(log->segment_count(), d.bases.size() + 1);
    for (uint64_t s = d.bases[last]; s <= 60; ++s) EXPECT_FALSE(log->read(static_cast<int64_t>(s))->has_value());
    EXPECT_EQ(*log->append(payload(61)), 61u);
    expect_entries(*log, 61, 61);
    expect_entries(*log, 1, d.bases[last] - 1);

    // Stable: another open finds nothing more to do.
    LogCapture quiet;
    auto again = JournalLog::open(d.logs, small_segments());
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again->next_sequence(), 62u);
    EXPECT_EQ(quiet.count_starting("[journal] segment "), 0u);
}

// A read-only log in one process beside a writer in another: the writer appends, seals,
// grows and rolls over; every sequence the reader has seen and every new one reads back
// exactly, and a present sequence is never answered with nothing.
constexpr uint64_t kLiveRecords = 3000;

Bytes live_payload(uint64_t s) {
    if (s == 1500) return random_bytes(300000, s);  // a block of its own
    return random_bytes(s % 97 == 5 ? 70000 : 20 + s * 7919 % 3000, s);
}

struct Board {
    std::atomic<uint64_t> published;
    std::atomic<uint64_t> seen;  // the reader keeps up: the writer waits for it now and then
    std::atomic<uint32_t> done;
};

TEST(JournalLog, ReadOnlyLogFollowsAWriterInAnotherProcess) {
    TempDir dir;
    const std::string logs = dir.file("logs");
    const JournalLogOptions opts = small_segments(1 << 20, 16 * 1024);
    ASSERT_TRUE(create_dir_all(paths::journal_data_dir(logs)).ok());
    void* mem = ::mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mem, MAP_FAILED);
    Board* board = new (mem) Board();
    auto ro = JournalLog::open_read_only(logs, opts);
    ASSERT_TRUE(ro.ok() && ro->has_value());
    JournalLog& reader = **ro;

    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        auto log = JournalLog::open(logs, opts);
        for (uint64_t s = 1; log.ok() && s <= kLiveRecords; ++s) {
            if (auto a = log->append(live_payload(s)); !a.ok() || *a != s) _exit(3);
            board->published.store(s);
            for (int spin = 0; board->seen.load() + 64 < s; ++spin)
                if (spin == 100000 || ::usleep(20) != 0) _exit(4);  // the reader stopped
        }
        board->done.store(1);
        _exit(log.ok() ? 0 : 2);
    }
    std::mt19937_64 rng(7);
    uint64_t reads = 0;
    for (bool last_pass = false; !last_pass;) {
        last_pass = board->done.load() != 0;
        const uint64_t n = board->published.load();
        if (n == 0) continue;
        for (int k = 0; k < 16; ++k) {
            // Mostly the newest records (the pending block), sometimes any seen before.
            const uint64_t s = rng() % 4 == 0 ? 1 + rng() % n : n - rng() % std::min<uint64_t>(n, 8);
            auto e = reader.read(static_cast<int64_t>(s));
            ASSERT_TRUE(e.ok()) << s << ": " << e.error().to_string();
            ASSERT_TRUE(e->has_value()) << "sequence " << s << " of " << n;
            ASSERT_EQ((*e)->payload, live_payload(s)) << s;
            ++reads;
        }
        const uint64_t lo = n - rng() % std::min<uint64_t>(n, 40);
        auto range = reader.read_range(static_cast<int64_t>(lo), static_cast<int64_t>(n));
        ASSERT_TRUE(range.ok()) << range.error().to_string();
        ASSERT_EQ(range->size(), n - lo + 1) << lo << ".." << n;
        for (const auto& e : *range) ASSERT_EQ(e.payload, live_payload(e.sequence)) << e.sequence;
        ASSERT_TRUE(reader.follow_writer().ok());
        ASSERT_GT(reader.next_sequence(), n);
        board->seen.store(n);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    auto all = reader.read_range(1, INT64_MAX);
    ASSERT_TRUE(all.ok());
    ASSERT_EQ(all->size(), kLiveRecords);
    for (const auto& e : *all) ASSERT_EQ(e.payload, live_payload(e.sequence)) << e.sequence;
    EXPECT_EQ(reader.next_sequence(), kLiveRecords + 1);
    EXPECT_GT(reader.segment_count(), 3u);  // the writer rolled over several times
    EXPECT_EQ(reader.open_segment_count(), 1u);
    EXPECT_GT(reads, 0u);
    ::munmap(mem, sizeof(Board));
}

// With more segments than the process may open descriptors, a log opens (writable and
// read-only), takes records and reads every one: only the newest segment stays open.
TEST(JournalLog, MoreSegmentsThanDescriptors) {
    TempDir dir;
    const std::string logs = dir.file("logs");
    const JournalLogOptions opts = small_segments(4096, 4096);
    constexpr uint64_t kRecords = 800;
    {
        auto log = JournalLog::open(logs, opts);
        ASSERT_TRUE(log.ok());
        for (uint64_t s = 1; s <= kRecords; ++s) ASSERT_EQ(*log->append(random_bytes(300 + s % 700, s)), s);
        ASSERT_GT(log->segment_count(), 100u);
    }
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const rlimit low{48, 48};
        if (::setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(2);
        auto check = [&](JournalLog& log, uint64_t last) {
            auto all = log.read_range(1, static_cast<int64_t>(last));
            if (!all.ok() || all->size() != last) return false;
            for (const auto& e : *all)
                if (e.payload != random_bytes(300 + e.sequence % 700, e.sequence)) return false;
            auto one = log.read(static_cast<int64_t>(last / 3));
            return one.ok() && one->has_value() && log.open_segment_count() == 1;
        };
        auto log = JournalLog::open(logs, opts);
        if (!log.ok()) _exit(3);
        for (uint64_t s = kRecords + 1; s <= kRecords + 50; ++s)
            if (auto a = log->append(random_bytes(300 + s % 700, s)); !a.ok() || *a != s) _exit(4);
        if (!check(*log, kRecords + 50) || !log->flush().ok()) _exit(5);
        auto ro = JournalLog::open_read_only(logs, opts);
        if (!ro.ok() || !ro->has_value() || !check(**ro, kRecords + 50)) _exit(6);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace brenvale
