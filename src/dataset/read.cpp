// Reads: single records, the latest, existence, lengths, range lists, the existence bitmap
// and the first live record after a position (queues).
#include <algorithm>

#include "dataset/inner.h"

namespace brenvale {

using namespace dataset_detail;

namespace {

// The open data segment that holds a live entry, and the block's position in it.
Result<std::pair<DataSegment*, uint64_t>> segment_of(DatasetInner& in, const IndexEntry& e) {
    DataSegment* seg = BRVL_TRY(in.segments.locate(e.block_offset));
    return std::make_pair(seg, e.block_offset - segment_base_of(in, e.block_offset));
}

// A record must be the one its index entry names: a damaged index never passes another
// record off under its timestamp.
[[gnu::cold]] Error mismatch_error(const IndexEntry& e, int64_t ts) {
    return invalid_data_fmt("index entry at timestamp {} points to a record of timestamp {}", e.timestamp, ts);
}

Result<Record> checked_record(const IndexEntry& e, int64_t ts, std::vector<uint8_t> data) {
    if (ts != e.timestamp) return mismatch_error(e, ts);
    return Record{ts, std::move(data)};
}

// The same check for a length: never the length of another record.
Result<uint32_t> checked_length(const IndexEntry& e, const RecordLength& found) {
    if (found.timestamp != e.timestamp) return mismatch_error(e, found.timestamp);
    return found.length;
}

// The block an iterator or range list read last, when it holds this entry and is still
// alive: sealed blocks never change in place, so no segment needs to be consulted.
HotBlockPtr hot_block_of(const DatasetInner& in, const IndexEntry& e, const LocalHotBlock& hot) {
    const HotBlockSlot& s = hot.slot;
    // The key's segment base is the entry's block offset rounded down to the segment size,
    // so the key names this entry's block exactly when base + position is that offset.
    if (!s.has_key || s.key.owner != in.identifier || s.key.segment_base + s.key.position != e.block_offset)
        return nullptr;
    return s.block.lock();
}

// The cache a hot-block read goes through: the shared one when it keeps blocks, else the
// reader's own one-block cache (a block larger than its capacity is still kept, alone).
BlockCache* hot_cache_of(const DatasetInner& in, LocalHotBlock& hot) {
    BlockCache* shared = cache_of(in);
    if (shared != nullptr && shared->capacity() > 0) return shared;
    if (!hot.own) hot.own = std::make_shared<BlockCache>(1);
    return hot.own.get();
}

}  // namespace

std::optional<int64_t> DatasetRecordCheck::record_timestamp(const IndexEntry& e) {
    auto found = in_.segments.read_length(e, cache_of(in_));
    if (!found.ok()) return std::nullopt;
    return found->timestamp;
}

namespace dataset_detail {

// Reads the record of a live entry through the segment set and the cache.
Result<Record> read_entry_at(DatasetInner& in, const IndexEntry& e) {
    auto [seg, pos] = BRVL_TRY(segment_of(in, e));
    auto [ts, data] = BRVL_TRY(seg->read_record(in.identifier, pos, e.in_block, cache_of(in)));
    return checked_record(e, ts, std::move(data));
}

// The same through a hot block (iterators and range lists), into out.
Status read_entry_hot(DatasetInner& in, const IndexEntry& e, LocalHotBlock& hot, Record& out) {
    if (HotBlockPtr hb = hot_block_of(in, e, hot)) {
        // HotBlock::record and the entry check in one: the bytes are copied once, into out.
        FrameRef f;
        if (const FrameFault fault = locate_frame(hb->bytes(), e.in_block, f); fault != FrameFault::None)
            return frame_fault_error(fault, "hot block: ");
        if (f.timestamp != e.timestamp) return mismatch_error(e, f.timestamp);
        out.timestamp = f.timestamp;
        out.data.assign(f.data, f.data + f.len);
        return ok_status();
    }
    auto [seg, pos] = BRVL_TRY(segment_of(in, e));
    auto [ts, data] =
        BRVL_TRY(seg->read_record_hot(in.identifier, pos, e.in_block, hot_cache_of(in, hot), hot.slot));
    out = BRVL_TRY(checked_record(e, ts, std::move(data)));
    return ok_status();
}

Result<uint32_t> read_length_hot(DatasetInner& in, const IndexEntry& e, LocalHotBlock& hot) {
    if (HotBlockPtr hb = hot_block_of(in, e, hot)) {
        const FrameRef f = BRVL_TRY(read_frame(hb->bytes(), e.in_block, "hot block: "));
        return checked_length(e, {f.timestamp, f.len});
    }
    auto [seg, pos] = BRVL_TRY(segment_of(in, e));
    const RecordLength found =
        BRVL_TRY(seg->read_length_hot(in.identifier, pos, e.in_block, hot_cache_of(in, hot), hot.slot));
    return checked_length(e, found);
}

Result<std::optional<Record>> inner_read(DatasetInner& in, int64_t ts) {
    if (BRVL_TRY(is_expired(in, ts))) return std::optional<Record>();
    auto entry = BRVL_TRY(in.index.lookup(ts));
    if (!entry || entry->is_sentinel()) return std::optional<Record>();
    Record r = BRVL_TRY(read_entry_at(in, *entry));
    stamp(in);
    return std::optional<Record>(std::move(r));
}

// Index entries of [max(start, threshold), end], sentinels included.
Result<std::vector<IndexEntry>> index_range(DatasetInner& in, int64_t start, int64_t end) {
    start = BRVL_TRY(raise_to_threshold(in, start));
    if (start > end) return std::vector<IndexEntry>();
    auto entries = BRVL_TRY(in.index.range(start, end));
    // Only entries inside the range, in strictly ascending order, are passed on.
    size_t kept = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        const int64_t ts = entries[i].timestamp;
        if (ts < start || ts > end || (kept > 0 && ts <= entries[kept - 1].timestamp)) continue;
        entries[kept++] = entries[i];
    }
    entries.resize(kept);
    return entries;
}

}  // namespace dataset_detail

// ---- reads ----

Result<std::optional<Record>> Dataset::read(int64_t timestamp) {
    return with_read_lock([&](DatasetInner& in) { return inner_read(in, timestamp); });
}

Result<std::optional<Record>> Dataset::read_latest() {
    Guard g = BRVL_TRY(lock_read());
    // A reader beside a live writer: the latest record is the newest one written now.
    if (g->runtime.read_only) g->latest_written_timestamp = BRVL_TRY(g->index.current_latest_timestamp());
    if (!g->latest_written_timestamp) return std::optional<Record>();
    return inner_read(*g, *g->latest_written_timestamp);
}

Result<bool> Dataset::read_exist(int64_t timestamp) {
    return with_read_lock([&](DatasetInner& in) -> Result<bool> {
        if (BRVL_TRY(is_expired(in, timestamp))) return false;
        auto entry = BRVL_TRY(in.index.lookup(timestamp));
        return entry.has_value() && !entry->is_sentinel();
    });
}

Result<std::optional<uint32_t>> Dataset::read_length(int64_t timestamp) {
    return with_read_lock([&](DatasetInner& in) -> Result<std::optional<uint32_t>> {
        if (BRVL_TRY(is_expired(in, timestamp))) return std::optional<uint32_t>();
        auto entry = BRVL_TRY(in.index.lookup(timestamp));
        if (!entry || entry->is_sentinel()) return std::optional<uint32_t>();
        uint32_t len = BRVL_TRY(checked_length(*entry, BRVL_TRY(in.segments.read_length(*entry, cache_of(in)))));
        stamp(in);
        return std::optional<uint32_t>(len);
    });
}

// The live records (or lengths) of a range, in one lock; one block is kept at a time.
template <typename Item, typename ReadFn>
Result<std::vector<Item>> Dataset::collect_range(int64_t start, int64_t end, ReadFn read) {
    Guard g = BRVL_TRY(lock_read());
    DatasetInner& in = *g;
    auto entries = BRVL_TRY(index_range(in, start, end));
    std::vector<Item> out;
    alloc_fault_point();
    out.reserve(entries.size());
    LocalHotBlock hot;
    for (const auto& e : entries) {
        if (e.is_sentinel()) continue;
        BRVL_TRY(read(in, e, hot, out.emplace_back()));
    }
    if (!out.empty()) stamp(in);
    return out;
}

Result<std::vector<Record>> Dataset::query_all(int64_t start, int64_t end) {
    return collect_range<Record>(start, end, read_entry_hot);
}

Result<std::vector<RecordLength>> Dataset::query_length_all(int64_t start, int64_t end) {
    auto read = [](DatasetInner& in, const IndexEntry& e, LocalHotBlock& hot, RecordLength& out) -> Status {
        out = RecordLength{e.timestamp, BRVL_TRY(read_length_hot(in, e, hot))};
        return ok_status();
    };
    return collect_range<RecordLength>(start, end, read);
}

Result<std::vector<uint8_t>> Dataset::query_exist(int64_t start, int64_t end) {
    Guard g = BRVL_TRY(lock_read());
    DatasetInner& in = *g;
    if (start > end) return std::vector<uint8_t>();
    int64_t diff;
    if (__builtin_sub_overflow(end, start, &diff) || diff == INT64_MAX)
        return Error::invalid_data("query_exist range overflow");
    uint64_t n = static_cast<uint64_t>(diff) + 1;
    uint64_t bytes = (n + 7) / 8;
    if (bytes > kMaxExistBitmapBytes)
        return invalid_data_fmt("query_exist bitmap exceeds 4 MiB limit: {} bytes", bytes);
    alloc_fault_point();
    std::vector<uint8_t> bitmap(bytes, 0);
    int64_t raised = BRVL_TRY(raise_to_threshold(in, start));
    if (raised > end) return bitmap;
    auto entries = BRVL_TRY(in.index.range(raised, end));
    for (const auto& e : entries) {
        // Never trust an entry to lie inside the asked range: its bit must be in the bitmap.
        if (e.is_sentinel() || e.timestamp < raised || e.timestamp > end) continue;
        uint64_t bit = static_cast<uint64_t>(e.timestamp) - static_cast<uint64_t>(start);
        bitmap[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
    }
    return bitmap;
}

Result<std::vector<IndexEntry>> Dataset::index_entries(int64_t start, int64_t end) {
    Guard g = BRVL_TRY(lock_read());
    return index_range(*g, start, end);
}

Result<Record> Dataset::read_entry(const IndexEntry& entry) {
    Guard g = BRVL_TRY(lock_read());
    return read_entry_at(*g, entry);
}

Result<std::optional<Record>> Dataset::read_first_live(int64_t start, std::span<const int64_t> skip) {
    Guard g = BRVL_TRY(lock_read());
    DatasetInner& in = *g;
    start = BRVL_TRY(raise_to_threshold(in, start));
    std::optional<IndexCursor> cursor;
    size_t k = 0;
    for (;;) {
        auto hit = BRVL_TRY(in.index.next_forward(start, INT64_MAX, cursor));
        if (!hit) return std::optional<Record>();
        cursor = hit->cursor();
        const IndexEntry& e = hit->entry;
        if (e.is_sentinel()) continue;
        while (k < skip.size() && skip[k] < e.timestamp) ++k;
        if (k < skip.size() && skip[k] == e.timestamp) continue;
        Record r = BRVL_TRY(read_entry_at(in, e));
        stamp(in);
        return std::optional<Record>(std::move(r));
    }
}

}  // namespace brenvale
