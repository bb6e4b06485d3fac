// The consumer state file of a consumer group: one 4096-byte page mapped read-write,
// holding the group's committed position and its pending entries (records handed out
// and not yet finished). Dataset queues and the journal queue both keep their groups'
// progress here; the position is a record timestamp or a journal sequence, and nothing
// here interprets it.
//
// Page layout (little-endian, unaligned): "QSTF", u32 version 1, u16 state length 8,
// i64 committed, u16 pending count (at most 226), u8 entry size 18, then the entries of
// 18 bytes (i64 timestamp, i64 running_since, u8 status, u8 attempts) and zeros to the
// end of the page.
//
// Every operation runs under the group's state mutex, held by the caller; the state takes
// no lock of its own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error.h"
#include "file.h"
#include "util.h"

namespace brenvale {

inline constexpr size_t kQueueStatePageSize = 4096;
inline constexpr uint32_t kQueueStateVersion = 1;
inline constexpr uint16_t kQueueStateLength = 8;  // the width of the committed field
inline constexpr uint8_t kPendingEntrySize = 18;
inline constexpr size_t kQueueStateHeaderSize = 21;  // the first entry starts here
inline constexpr size_t kMaxPendingEntries = 226;    // 21 + 226 * 18 = 4089 <= 4096

// Byte offsets of the page's fields.
inline constexpr size_t kQueueStateVersionOffset = 4;
inline constexpr size_t kQueueStateLengthOffset = 8;
inline constexpr size_t kQueueStateCommittedOffset = 10;
inline constexpr size_t kQueueStateCountOffset = 18;
inline constexpr size_t kQueueStateEntrySizeOffset = 20;

inline constexpr uint8_t kPendingStatusPending = 0;
inline constexpr uint8_t kPendingStatusDone = 1;

// One record handed out and not yet finished.
struct PendingEntry {
    int64_t timestamp = 0;      // the record's position
    int64_t running_since = 0;  // Unix seconds of the last hand-out; 0 = not in flight
    uint8_t status = kPendingStatusPending;
    uint8_t attempts = 0;  // hand-outs after the first one, saturating at 255

    bool in_flight() const { return status == kPendingStatusPending && running_since != 0; }
    bool operator==(const PendingEntry&) const = default;
};

// What a look for an entry to hand out again found.
struct NextPending {
    std::optional<int64_t> position;  // the entry handed out again, if any
    bool changed = false;             // an entry was handed out, marked done or removed
};

class ConsumerGroupState {
public:
    ConsumerGroupState(ConsumerGroupState&&) noexcept = default;
    ConsumerGroupState& operator=(ConsumerGroupState&&) noexcept = default;
    ConsumerGroupState(const ConsumerGroupState&) = delete;
    ConsumerGroupState& operator=(const ConsumerGroupState&) = delete;

    // Loads the state file at path, or creates it (with its missing parent directories)
    // holding initial_committed and no pending entries. A load compacts the done entries
    // at the front, releases every entry in flight and keeps the longest valid prefix of
    // pending entries (the rest lie above committed and are delivered again); it rewrites
    // the page, without syncing it, when any of that changed something. A file that holds
    // no progress (empty, or a page of zeros: left by an interrupted creation) is created
    // again; any other damage is refused. Each repair is logged at warn level.
    static Result<ConsumerGroupState> open_or_create(std::string path, int64_t initial_committed);

    // Writes committed and the pending entries to the page and zeros the rest of it.
    // Nothing is synced. A kill at any point of the rewrite leaves a page that loads
    // with no record counted as finished that was not finished.
    Status write_page();
    // write_page, then msync of the page; then synced = true and dirty_queued = false.
    // An error leaves both flags as they were.
    Status persist();
    // persist when the page holds changes not yet synced; otherwise only clears the
    // dirty-queued mark, as persist does.
    Status flush();

    // Adds an entry at its timestamp's place, so the entries stay in strictly increasing
    // timestamp order. Fails with the pending-entries-full error at 226 entries, and with
    // an invalid-data error for a timestamp that is not after committed or already
    // pending; nothing changes then.
    Status push_pending(PendingEntry entry);
    // Removes the done entries at the front, raising committed to the last of them.
    // Returns how many were removed.
    size_t compact();
    // Chooses the first entry to hand out again: not in flight, or in flight for at least
    // running_expired_seconds (0: never expires). An entry that reached max_retry_count
    // hand-outs after its first (0: no limit) is marked done instead. Compacts after.
    NextPending next_pending(uint16_t running_expired_seconds, uint8_t max_retry_count, int64_t now);
    // The clock second (as queue_clock_seconds counts) at which the first entry in flight
    // expires after running_expired_seconds; nothing when none is in flight or entries
    // never expire (0).
    std::optional<int64_t> earliest_expiry(uint16_t running_expired_seconds) const;
    // Releases every entry in flight (running_since = 0).
    void reset_running();
    // Acknowledges the pending entry of timestamp: marks it done and compacts. The
    // not-found error "pending entry for timestamp {}" when it is not pending.
    Status mark_done(int64_t timestamp);

    // Whether an entry with this timestamp is in the pending list (done or not).
    bool is_pending(int64_t timestamp) const;
    // For handing the group to the background flush: when the state is neither synced nor
    // already queued, marks it queued and returns true; the caller then puts the group's
    // DirtyTarget::queue_state entry on the dirty list, after releasing the state mutex.
    bool claim_dirty();

    const std::string& path() const { return path_; }
    int64_t committed() const { return committed_; }
    const std::vector<PendingEntry>& pending() const { return pending_; }
    bool synced() const { return synced_; }
    bool dirty_queued() const { return dirty_queued_; }
    // Clears the queued mark when putting the group on the dirty list failed, so that the
    // next change tries again.
    void set_dirty_queued(bool queued) { dirty_queued_ = queued; }

private:
    ConsumerGroupState() = default;
    static Result<ConsumerGroupState> create(std::string path, int64_t initial_committed);

    std::string path_;
    std::vector<PendingEntry> pending_;  // strictly increasing timestamps, all above committed
    Mapping map_;
    int64_t committed_ = 0;
    // Bytes from here to the end of the page are known to be zero.
    size_t clean_from_ = kQueueStatePageSize;
    bool synced_ = true;
    bool dirty_queued_ = false;
};

// The clock of running_since: whole seconds since the Unix epoch, 0 before it.
int64_t queue_clock_seconds();

// The monotonic instant at which queue_clock_seconds() reaches unix_seconds, as the two
// clocks stand now (now when it has already).
MonoInstant queue_clock_instant(int64_t unix_seconds);

// now + timeout_ms on the monotonic clock, saturating at its greatest time point (a poll
// timeout may be as large as 2^64 - 1 milliseconds).
MonoInstant saturating_deadline(MonoInstant now, uint64_t timeout_ms);

}  // namespace brenvale
