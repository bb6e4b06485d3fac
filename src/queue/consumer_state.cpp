#include "queue/consumer_state.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>

#include "log.h"
#include "util.h"

namespace brenvale {

namespace {

constexpr uint8_t kMagic[4] = {'Q', 'S', 'T', 'F'};

// Fields that a kill must never leave half written are stored with one instruction each:
// a process dies between two instructions, so the field holds its old or its new value.
template <typename T>
struct __attribute__((packed, may_alias)) Unaligned {
    T value;
};

template <typename T>
void store_whole(uint8_t* p, T v) {
    if constexpr (std::endian::native == std::endian::big) v = byte_swap(v);
    reinterpret_cast<volatile Unaligned<T>*>(p)->value = v;
}

// Keeps the compiler from moving the page's stores across the steps of a rewrite.
inline void step_barrier() { std::atomic_signal_fence(std::memory_order_seq_cst); }

void encode_entry(uint8_t* p, const PendingEntry& e) {
    store_i64(p, e.timestamp);
    store_i64(p + 8, e.running_since);
    p[16] = e.status;
    p[17] = e.attempts;
}

PendingEntry decode_entry(const uint8_t* p) {
    return PendingEntry{load_i64(p), load_i64(p + 8), p[16], p[17]};
}

size_t entries_end(size_t count) { return kQueueStateHeaderSize + count * kPendingEntrySize; }

// A page of zeros holds no progress: it was reserved by a creation that never wrote it.
// Any other page is a group's progress and is never replaced, whatever damage it shows.
bool never_written(const uint8_t* page) {
    return std::all_of(page, page + kQueueStatePageSize, [](uint8_t b) { return b == 0; });
}

}  // namespace

Result<ConsumerGroupState> ConsumerGroupState::open_or_create(std::string path, int64_t initial_committed) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) return Error::io(errno);
        return create(std::move(path), initial_committed);
    }

    FileHandle fd = BRVL_TRY(FileHandle::open(path, FileHandle::Mode::ReadWrite));
    uint64_t size = BRVL_TRY(fd.size());
    if (size == 0) {
        log::warn(log::kQueue, "[queue] state file {} was not completely created; creating it again", path);
        fd.close();
        return create(std::move(path), initial_committed);
    }
    if (size != kQueueStatePageSize) return invalid_data_fmt("invalid queue state file length: {}", size);
    BRVL_TRY(fd.reserve(kQueueStatePageSize));  // the page is written through the mapping
    Mapping map = BRVL_TRY(Mapping::map(fd.fd(), kQueueStatePageSize, true));
    fd.close();
    const uint8_t* p = map.data();

    if (never_written(p)) {
        log::warn(log::kQueue, "[queue] state file {} was not completely created; creating it again", path);
        map.unmap();
        return create(std::move(path), initial_committed);
    }
    if (std::memcmp(p, kMagic, sizeof kMagic) != 0) return Error::invalid_magic();
    uint32_t version = load_u32(p + kQueueStateVersionOffset);
    if (version != kQueueStateVersion)
        return Error::unsupported_version(static_cast<uint16_t>(std::min<uint32_t>(version, 0xFFFF)));
    uint16_t state_length = load_u16(p + kQueueStateLengthOffset);
    if (state_length != kQueueStateLength) return invalid_data_fmt("invalid queue state length: {}", state_length);
    int64_t committed = load_i64(p + kQueueStateCommittedOffset);
    uint16_t count = load_u16(p + kQueueStateCountOffset);
    uint8_t entry_size = p[kQueueStateEntrySizeOffset];
    if (entry_size != kPendingEntrySize) return invalid_data_fmt("invalid queue pending entry size: {}", entry_size);
    if (count > kMaxPendingEntries) return invalid_data_fmt("queue pending length exceeds capacity: {}", count);

    ConsumerGroupState s;
    s.path_ = std::move(path);
    s.committed_ = committed;
    s.pending_.reserve(kMaxPendingEntries);

    // The longest valid prefix of the entries: strictly increasing timestamps above
    // committed, status 0 or 1. Entries after the first fault lie above committed and are
    // simply delivered again.
    std::string fault;
    int64_t prev = committed;
    for (size_t i = 0; i < count; ++i) {
        PendingEntry e = decode_entry(p + entries_end(i));
        if (e.status > kPendingStatusDone) {
            fault = fmt::format("invalid queue pending status at entry {}: {}", i, e.status);
            break;
        }
        if (e.timestamp <= prev) {
            fault = fmt::format("invalid queue pending timestamp order at entry {}: {} <= {}", i, e.timestamp, prev);
            break;
        }
        s.pending_.push_back(e);
        prev = e.timestamp;
    }
    const size_t end = entries_end(count);
    const bool torn = std::any_of(p + end, p + kQueueStatePageSize, [](uint8_t b) { return b != 0; });
    s.map_ = std::move(map);
    s.clean_from_ = torn ? kQueueStatePageSize : end;

    bool repair = false;
    if (!fault.empty()) {
        log::warn(log::kQueue,
                  "[queue] state file {}: {}; keeping the first {} of {} pending entries, the others are "
                  "delivered again",
                  s.path_, fault, s.pending_.size(), count);
        repair = true;
    } else if (torn) {
        log::warn(log::kQueue,
                  "[queue] state file {}: bytes after the last pending entry are not zero (an interrupted "
                  "rewrite); pending entries lost with it are delivered again",
                  s.path_);
        repair = true;
    }

    size_t removed = s.compact();
    bool was_synced = s.synced_;
    s.reset_running();
    bool released = was_synced && !s.synced_;
    if (repair || removed > 0 || released) {
        s.synced_ = false;
        BRVL_TRY(s.write_page());
    }
    return s;
}

Result<ConsumerGroupState> ConsumerGroupState::create(std::string path, int64_t initial_committed) {
    BRVL_TRY(create_dir_all(parent_dir(path), 0777));
    FileHandle fd = BRVL_TRY(FileHandle::open(path, FileHandle::Mode::CreateTruncate, 0666));
    crash_point("queue_state.create.opened");

    // The whole page goes in with one write of one page, which a killed process either
    // completes or never starts: the file is left empty (created again by the next open)
    // or complete, never partly made.
    std::array<uint8_t, kQueueStatePageSize> page{};
    std::memcpy(page.data(), kMagic, sizeof kMagic);
    store_u32(page.data() + kQueueStateVersionOffset, kQueueStateVersion);
    store_u16(page.data() + kQueueStateLengthOffset, kQueueStateLength);
    store_i64(page.data() + kQueueStateCommittedOffset, initial_committed);
    store_u16(page.data() + kQueueStateCountOffset, 0);
    page[kQueueStateEntrySizeOffset] = kPendingEntrySize;
    if (Status written = fd.write_at(0, page); !written.ok()) {
        (void)fd.set_len(0);  // a short write (a full disk) leaves no partial page behind
        return std::move(written).error();
    }
    crash_point("queue_state.create.written");
    Mapping map = BRVL_TRY(Mapping::map(fd.fd(), kQueueStatePageSize, true));
    fd.close();
    BRVL_TRY(map.flush());

    ConsumerGroupState s;
    s.path_ = std::move(path);
    s.committed_ = initial_committed;
    s.pending_.reserve(kMaxPendingEntries);
    s.map_ = std::move(map);
    s.clean_from_ = kQueueStateHeaderSize;
    return s;
}

Status ConsumerGroupState::write_page() {
    if (pending_.size() > kMaxPendingEntries) return Error::pending_full(path_);
    uint8_t* p = map_.data();
    if (p == nullptr) return Error::mmap("queue state page is not mapped");
    const auto count = static_cast<uint16_t>(pending_.size());

    // The page first claims no pending entries. Until the new count is stored last, a kill
    // leaves a committed position (the old one or the new, higher one) with no entries, so
    // everything above it is delivered again and nothing counts as finished too early.
    store_whole<uint16_t>(p + kQueueStateCountOffset, 0);
    step_barrier();
    crash_point("queue_state.write.count_cleared");
    for (size_t i = 0; i < pending_.size(); ++i) encode_entry(p + entries_end(i), pending_[i]);
    step_barrier();
    crash_point("queue_state.write.entries");
    const size_t end = entries_end(pending_.size());
    if (clean_from_ > end) std::memset(p + end, 0, clean_from_ - end);
    clean_from_ = end;
    step_barrier();
    crash_point("queue_state.write.tail");
    store_whole<uint64_t>(p + kQueueStateCommittedOffset, static_cast<uint64_t>(committed_));
    step_barrier();
    crash_point("queue_state.write.committed");
    store_whole<uint16_t>(p + kQueueStateCountOffset, count);
    step_barrier();
    return {};
}

Status ConsumerGroupState::persist() {
    BRVL_TRY(write_page());
    BRVL_TRY(map_.flush());
    synced_ = true;
    dirty_queued_ = false;
    return {};
}

Status ConsumerGroupState::flush() {
    if (!synced_) return persist();
    dirty_queued_ = false;
    return {};
}

Status ConsumerGroupState::push_pending(PendingEntry entry) {
    if (pending_.size() >= kMaxPendingEntries)
        return Error::pending_full(fmt::format("{} ({} entries)", path_, pending_.size()));
    if (entry.status > kPendingStatusDone) return invalid_data_fmt("invalid queue pending status: {}", entry.status);
    if (entry.timestamp <= committed_)
        return invalid_data_fmt("queue pending timestamp {} is not after committed {}", entry.timestamp, committed_);
    auto it = std::lower_bound(pending_.begin(), pending_.end(), entry.timestamp,
                               [](const PendingEntry& e, int64_t ts) { return e.timestamp < ts; });
    if (it != pending_.end() && it->timestamp == entry.timestamp)
        return invalid_data_fmt("queue pending entry for timestamp {} already exists", entry.timestamp);
    pending_.insert(it, entry);
    synced_ = false;
    return {};
}

size_t ConsumerGroupState::compact() {
    size_t done = 0;
    while (done < pending_.size() && pending_[done].status == kPendingStatusDone) ++done;
    if (done == 0) return 0;
    committed_ = std::max(committed_, pending_[done - 1].timestamp);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(done));
    synced_ = false;
    return done;
}

NextPending ConsumerGroupState::next_pending(uint16_t running_expired_seconds, uint8_t max_retry_count,
                                             int64_t now) {
    NextPending r;
    if (pending_.empty()) return r;
    for (auto& e : pending_) {
        if (e.status != kPendingStatusPending) continue;
        bool eligible = e.running_since == 0 ||
                        (running_expired_seconds != 0 && saturating_sub(now, e.running_since) >= running_expired_seconds);
        if (!eligible) continue;
        r.changed = true;
        if (max_retry_count == 0 || e.attempts < max_retry_count) {
            if (e.attempts < std::numeric_limits<uint8_t>::max()) ++e.attempts;
            e.running_since = now;
            r.position = e.timestamp;
            break;
        }
        e.status = kPendingStatusDone;  // out of retries: dropped without a further hand-out
    }
    if (compact() > 0) r.changed = true;
    if (r.changed) synced_ = false;
    return r;
}

std::optional<int64_t> ConsumerGroupState::earliest_expiry(uint16_t running_expired_seconds) const {
    if (running_expired_seconds == 0) return std::nullopt;
    std::optional<int64_t> first;
    for (const auto& e : pending_) {
        if (!e.in_flight()) continue;
        const int64_t due = e.running_since > INT64_MAX - running_expired_seconds
                                ? INT64_MAX
                                : e.running_since + running_expired_seconds;
        if (!first || due < *first) first = due;
    }
    return first;
}

void ConsumerGroupState::reset_running() {
    for (auto& e : pending_) {
        if (e.in_flight()) {
            e.running_since = 0;
            synced_ = false;
        }
    }
}

Status ConsumerGroupState::mark_done(int64_t timestamp) {
    auto it = std::lower_bound(pending_.begin(), pending_.end(), timestamp,
                               [](const PendingEntry& e, int64_t ts) { return e.timestamp < ts; });
    if (it == pending_.end() || it->timestamp != timestamp)
        return Error::not_found(fmt::format("pending entry for timestamp {}", timestamp));
    it->status = kPendingStatusDone;
    synced_ = false;
    compact();
    return {};
}

bool ConsumerGroupState::is_pending(int64_t timestamp) const {
    return std::binary_search(pending_.begin(), pending_.end(), PendingEntry{timestamp, 0, 0, 0},
                              [](const PendingEntry& a, const PendingEntry& b) { return a.timestamp < b.timestamp; });
}

bool ConsumerGroupState::claim_dirty() {
    if (synced_ || dirty_queued_) return false;
    dirty_queued_ = true;
    return true;
}

int64_t queue_clock_seconds() {
    auto s = std::chrono::duration_cast<std::chrono::seconds>(unix_now()).count();
    return s < 0 ? 0 : static_cast<int64_t>(s);
}

MonoInstant queue_clock_instant(int64_t unix_seconds) {
    const MonoInstant now = MonoClock::now();
    const std::chrono::nanoseconds wall = unix_now();
    const auto wall_seconds = std::chrono::duration_cast<std::chrono::seconds>(wall);
    // Further off than this (a century) counts as never.
    constexpr int64_t kFar = int64_t{1} << 32;
    int64_t seconds_left;
    if (__builtin_sub_overflow(unix_seconds, wall_seconds.count(), &seconds_left) || seconds_left > kFar)
        return MonoInstant::max();
    const auto left = std::chrono::seconds(seconds_left) - (wall - wall_seconds);
    if (left <= std::chrono::nanoseconds::zero()) return now;
    return now + std::chrono::duration_cast<MonoClock::duration>(left);
}

MonoInstant saturating_deadline(MonoInstant now, uint64_t timeout_ms) {
    using Dur = MonoClock::duration;
    using Rep = Dur::rep;
    const auto per_ms = static_cast<uint64_t>(std::chrono::duration_cast<Dur>(std::chrono::milliseconds(1)).count());
    if (timeout_ms > static_cast<uint64_t>(std::numeric_limits<Rep>::max()) / per_ms) return MonoInstant::max();
    Rep at;
    if (__builtin_add_overflow(now.time_since_epoch().count(), static_cast<Rep>(timeout_ms * per_ms), &at))
        return MonoInstant::max();
    return MonoInstant(Dur(at));
}

}  // namespace brenvale
