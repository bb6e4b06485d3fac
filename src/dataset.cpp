#include "dataset.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "log.h"
#include "paths.h"

namespace brenvale {

struct Dataset::Shared {
    Shared(DataSetKey k, DatasetInner in) : key(std::move(k)), inner(std::move(in)) {}

    const DataSetKey key;
    std::mutex mu;
    std::atomic<bool> poisoned{false};
    // The thread holding mu, so that a re-entrant call fails instead of deadlocking.
    std::atomic<std::thread::id> owner{};
    DatasetInner inner;
};

namespace {

int64_t saturating_sub(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_sub_overflow(a, b, &r)) return b > 0 ? INT64_MIN : INT64_MAX;
    return r;
}

// The dataset state file as the sink of finished data segments and of the index range.
class StateSinks final : public SegmentStatsSink, public IndexRangeSink {
public:
    explicit StateSinks(DatasetStateFile& state) : state_(state) {}
    uint64_t stats_watermark() const override { return state_.stats_watermark(); }
    Status add_segment_stats(uint64_t watermark, const std::vector<SegmentStats>& stats) override {
        std::vector<DatasetStateFile::Totals> totals;
        totals.reserve(stats.size());
        for (const auto& s : stats)
            totals.push_back({s.record_count, s.written_length, s.raw_record_bytes, s.invalid_record_count});
        return state_.add_segment_totals(watermark, totals.data(), totals.size());
    }
    Status update_range(std::optional<std::pair<int64_t, int64_t>> range) override {
        return state_.update_range(range);
    }

private:
    DatasetStateFile& state_;
};

Error closed_error(const DataSetKey& key) {
    return invalid_data_fmt("dataset {}/{} is closed", key.name, key.dataset_type);
}

}  // namespace

// ---- clocks and retention ----

Result<int64_t> now_in_units(uint64_t units) {
    auto now = unix_now();
    if (now.count() < 0) return Error::invalid_data("system time is before Unix epoch");
    int64_t secs = std::chrono::duration_cast<std::chrono::seconds>(now).count();
    if (units == 0) return secs;
    __int128 product = static_cast<__int128>(secs) * static_cast<__int128>(units);
    if (product > INT64_MAX) return Error::invalid_data("wall-clock timestamp exceeds i64 timestamp range");
    return static_cast<int64_t>(product);
}

namespace {

// The retention threshold: nothing when there is none.
Result<std::optional<int64_t>> retention_threshold(const DatasetInner& in) {
    uint64_t window = in.config.retention_window;
    if (window == 0) return std::optional<int64_t>();
    if (window > static_cast<uint64_t>(INT64_MAX))
        return invalid_data_fmt("retention_window {} exceeds i64 range", window);
    int64_t w = static_cast<int64_t>(window);
    if (in.config.timestamp_units_per_seconds != 0) {
        int64_t now = BRVL_TRY(now_in_units(in.config.timestamp_units_per_seconds));
        int64_t t = saturating_sub(now, w);
        int64_t floor = in.state.fields().retention_floor;
        if (floor != INT64_MAX && floor > t) t = floor;
        return std::optional<int64_t>(t);
    }
    if (!in.latest_written_timestamp) return std::optional<int64_t>();
    return std::optional<int64_t>(saturating_sub(*in.latest_written_timestamp, w));
}

Status check_retention(const DatasetInner& in, int64_t ts) {
    auto threshold = BRVL_TRY(retention_threshold(in));
    if (threshold && ts < *threshold)
        return Error::expired(fmt::format("timestamp {} is older than retention threshold {}", ts, *threshold));
    return {};
}

// Whether ts is below the threshold (reads: nothing, no error).
Result<bool> is_expired(const DatasetInner& in, int64_t ts) {
    auto threshold = BRVL_TRY(retention_threshold(in));
    return threshold.has_value() && ts < *threshold;
}

// start raised to the threshold.
Result<int64_t> raise_to_threshold(const DatasetInner& in, int64_t start) {
    auto threshold = BRVL_TRY(retention_threshold(in));
    return threshold && *threshold > start ? *threshold : start;
}

// The cache this dataset may use: only with an identifier.
BlockCache* cache_of(const DatasetInner& in) {
    return in.identifier != 0 ? in.runtime.block_cache.get() : nullptr;
}

uint64_t segment_base_of(const DatasetInner& in, uint64_t block_offset) {
    uint64_t span = in.config.data_segment_size;
    return block_offset / span * span;
}

BlockKey block_key_of(const DatasetInner& in, uint64_t block_offset) {
    uint64_t base = segment_base_of(in, block_offset);
    return BlockKey{in.identifier, base, block_offset - base};
}

// Activity stamps are read in seconds by the idle release: the coarse clock suffices.
void stamp(DatasetInner& in) { in.last_activity = coarse_now(); }

// A record that lost its index entry counts as invalid in its segment, and in the state
// file's totals when the segment's counts are already folded there.
Status count_invalid(DatasetInner& in, const IndexEntry& old, BlockCache* cache) {
    if (old.is_sentinel()) return {};
    if (cache) cache->remove(block_key_of(in, old.block_offset));
    BRVL_TRY(in.segments.mark_invalid(old.block_offset));
    if (segment_base_of(in, old.block_offset) < in.state.stats_watermark()) BRVL_TRY(in.state.increment_invalid());
    return {};
}

Result<IndexEntry> write_out_of_order(DatasetInner& in, int64_t ts, std::span<const uint8_t> data,
                                      BlockCache* cache) {
    // Whatever the index would refuse is refused before the record is written, so that
    // no unreachable record is left in a segment.
    BRVL_TRY(in.index.check_overwrite(ts));
    StateSinks sinks(in.state);
    SegmentWrite loc = BRVL_TRY(in.segments.write(ts, data, &sinks));
    crash_point("dataset.write.stored");  // a record no index entry points to yet
    uint64_t offset = loc.base + loc.position;
    IndexEntry old = BRVL_TRY(in.index.overwrite(ts, offset, loc.in_block, &sinks));
    crash_point("dataset.write.replaced");  // the old record is not yet counted invalid
    BRVL_TRY(count_invalid(in, old, cache));
    stamp(in);
    return IndexEntry{ts, offset, loc.in_block};
}

Result<IndexEntry> write_at(DatasetInner& in, int64_t ts, std::span<const uint8_t> data, BlockCache* cache) {
    if (data.size() > kMaxRecordData) return Error::invalid_data("record data_len exceeds 4MiB limit");
    BRVL_TRY(check_retention(in, ts));
    const auto latest = in.latest_written_timestamp;
    if (latest && ts == *latest) {
        auto entry = BRVL_TRY(in.index.lookup(ts));
        if (!entry) return Error::not_found(fmt::format("no index entry for correction timestamp {}", ts));
        if (!entry->is_sentinel() && in.segments.correction_write(entry->block_offset, entry->in_block, data).ok()) {
            if (cache) cache->remove(block_key_of(in, entry->block_offset));
            stamp(in);
            return *entry;
        }
        // A correction that cannot be made in place is written out of order instead.
        return write_out_of_order(in, ts, data, cache);
    }
    if (latest && ts < *latest) return write_out_of_order(in, ts, data, cache);

    BRVL_TRY(in.index.check_append(ts));
    StateSinks sinks(in.state);
    SegmentWrite loc = BRVL_TRY(in.segments.write(ts, data, &sinks));
    crash_point("dataset.write.stored");
    uint64_t offset = loc.base + loc.position;
    if (in.config.index_continuous)
        BRVL_TRY(in.index.append_latest(latest, ts, offset, loc.in_block, &sinks));
    else
        BRVL_TRY(in.index.append(ts, offset, loc.in_block, &sinks));
    in.latest_written_timestamp = ts;
    stamp(in);
    in.wake_queue();
    return IndexEntry{ts, offset, loc.in_block};
}

Status inner_write(DatasetInner& in, int64_t ts, std::span<const uint8_t> data) {
    if (in.runtime.read_only) return Error::invalid_data("read-only dataset cannot be written");
    BlockCache* cache = cache_of(in);
    auto hook = in.runtime.journal_hook;
    IndexEntry entry = BRVL_TRY(write_at(in, ts, data, cache));
    if (hook) BRVL_TRY(hook->record_write(in.identifier, entry));
    if (hook) hook->collect_wakes(in.wakes);
    return {};
}

Status inner_append(DatasetInner& in, int64_t ts, std::span<const uint8_t> data) {
    if (in.runtime.read_only) return Error::invalid_data("read-only dataset cannot be appended");
    BlockCache* cache = cache_of(in);
    auto hook = in.runtime.journal_hook;
    if (data.size() > kMaxRecordData) return Error::invalid_data("record data_len exceeds 4MiB limit");
    BRVL_TRY(check_retention(in, ts));
    const auto latest = in.latest_written_timestamp;
    IndexEntry entry;
    uint32_t before = 0;
    if (!latest) {
        if (data.empty()) return {};
        entry = BRVL_TRY(write_at(in, ts, data, cache));
    } else if (ts < *latest) {
        return Error::invalid_data("append timestamp is older than latest_written_timestamp");
    } else if (data.empty()) {
        return {};
    } else if (ts == *latest) {
        auto found = BRVL_TRY(in.index.lookup(ts));
        if (!found) return Error::not_found(fmt::format("no index entry for append timestamp {}", ts));
        if (found->is_sentinel())
            return Error::not_found(fmt::format("latest index entry at timestamp {} is deleted", ts));
        before = BRVL_TRY(in.segments.append_at(found->block_offset, found->in_block, data));
        stamp(in);
        entry = *found;
    } else {
        entry = BRVL_TRY(write_at(in, ts, data, cache));
    }
    if (hook) BRVL_TRY(hook->record_append(in.identifier, entry, before, static_cast<uint32_t>(data.size())));
    if (hook) hook->collect_wakes(in.wakes);
    return {};
}

// The open data segment that holds a live entry, and the block's position in it.
Result<std::pair<DataSegment*, uint64_t>> segment_of(DatasetInner& in, const IndexEntry& e) {
    DataSegment* seg = BRVL_TRY(in.segments.locate(e.block_offset));
    return std::make_pair(seg, e.block_offset - segment_base_of(in, e.block_offset));
}

// A record must be the one its index entry names: a damaged index never passes another
// record off under its timestamp.
Result<Record> checked_record(const IndexEntry& e, int64_t ts, std::vector<uint8_t> data) {
    if (ts != e.timestamp)
        return invalid_data_fmt("index entry at timestamp {} points to a record of timestamp {}", e.timestamp, ts);
    return Record{ts, std::move(data)};
}

// Reads the record of a live entry through the segment set and the cache.
Result<Record> read_entry_at(DatasetInner& in, const IndexEntry& e) {
    auto [seg, pos] = BRVL_TRY(segment_of(in, e));
    auto [ts, data] = BRVL_TRY(seg->read_record(in.identifier, pos, e.in_block, cache_of(in)));
    return checked_record(e, ts, std::move(data));
}

// The block an iterator or range list read last, when it holds this entry and is still
// alive: sealed blocks never change in place, so no segment needs to be consulted.
HotBlockPtr hot_block_of(const DatasetInner& in, const IndexEntry& e, const LocalHotBlock& hot) {
    if (!hot.slot.has_key) return nullptr;
    uint64_t base = segment_base_of(in, e.block_offset);
    return hot.slot.lookup(BlockKey{in.identifier, base, e.block_offset - base});
}

// The cache a hot-block read goes through: the shared one when it keeps blocks, else the
// reader's own one-block cache (a block larger than its capacity is still kept, alone).
BlockCache* hot_cache_of(const DatasetInner& in, LocalHotBlock& hot) {
    BlockCache* shared = cache_of(in);
    if (shared != nullptr && shared->capacity() > 0) return shared;
    if (!hot.own) hot.own = std::make_shared<BlockCache>(1);
    return hot.own.get();
}

// The same through a hot block (iterators and range lists).
Result<Record> read_entry_hot(DatasetInner& in, const IndexEntry& e, LocalHotBlock& hot) {
    if (HotBlockPtr hb = hot_block_of(in, e, hot)) {
        auto [ts, data] = BRVL_TRY(hb->record(e.in_block));
        return checked_record(e, ts, std::move(data));
    }
    auto [seg, pos] = BRVL_TRY(segment_of(in, e));
    auto [ts, data] =
        BRVL_TRY(seg->read_record_hot(in.identifier, pos, e.in_block, hot_cache_of(in, hot), hot.slot));
    return checked_record(e, ts, std::move(data));
}

Result<uint32_t> read_length_hot(DatasetInner& in, const IndexEntry& e, LocalHotBlock& hot) {
    if (HotBlockPtr hb = hot_block_of(in, e, hot)) return hb->record_len(e.in_block);
    auto [seg, pos] = BRVL_TRY(segment_of(in, e));
    return seg->read_length_hot(in.identifier, pos, e.in_block, hot_cache_of(in, hot), hot.slot);
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

// Flushes exactly the named targets of this dataset. The first failure stops the pass;
// the failed target and those not reached go back on the dirty list, so that a later
// flush syncs them. A target named twice (a segment whose failed flush registered it
// again beside the entry put back) is flushed once, so that repeated failures cannot
// make the list grow.
Status inner_flush_dirty(DatasetInner& in, const std::vector<DirtyTarget>& named) {
    std::vector<DirtyTarget> targets;
    targets.reserve(named.size());
    for (const DirtyTarget& t : named)
        if (std::find(targets.begin(), targets.end(), t) == targets.end()) targets.push_back(t);
    for (size_t i = 0; i < targets.size(); ++i) {
        const DirtyTarget& t = targets[i];
        Status st;
        switch (t.kind) {
            case DirtyTarget::Kind::DataSegment: st = in.segments.flush_dirty(t.data_base); break;
            case DirtyTarget::Kind::IndexSegment: st = in.index.flush_dirty(t.index_start); break;
            case DirtyTarget::Kind::QueueState: st = in.flush_queue_group(t.group); break;
        }
        if (!st.ok()) {
            if (in.runtime.dirty_list)
                for (size_t j = i; j < targets.size(); ++j) in.runtime.dirty_list->push(DirtyEntry{in.key, targets[j]});
            return st;
        }
    }
    return {};
}

Status inner_flush(DatasetInner& in) {
    if (in.runtime.read_only) return {};
    if (in.runtime.dirty_list) {
        auto targets = in.runtime.dirty_list->take_for(in.key);
        BRVL_TRY(inner_flush_dirty(in, targets));
        stamp(in);
        return {};
    }
    BRVL_TRY(in.segments.flush_all());
    BRVL_TRY(in.index.flush());
    BRVL_TRY(in.state.flush());
    in.flush_queue_all();
    stamp(in);
    return {};
}

// A directory without meta may hold the files of an interrupted create or drop. A new
// dataset starts from empty files, so they go before anything is written; the meta file,
// written after this, marks the directory as a dataset again.
Status remove_leftovers(const std::string& data_dir) {
    bool warned = false;
    for (std::string_view name : paths::kDatasetContents) {
        const std::string path = join_path(data_dir, name);
        if (!BRVL_TRY(path_exists(path))) continue;
        if (!warned) {
            log::warn(log::kDataset, "[dataset] removing leftovers of an earlier dataset at {}", data_dir);
            warned = true;
        }
        BRVL_TRY(remove_dir_all(path));
    }
    if (warned) BRVL_TRY(sync_dir(data_dir));
    return {};
}

}  // namespace

// ---- handle and lock ----

Dataset::Guard::Guard(Shared* s) : s_(s), lock_(s->mu), exceptions_at_start_(std::uncaught_exceptions()) {
    s->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

Dataset::Guard::~Guard() {
    if (!lock_.owns_lock()) return;
    if (std::uncaught_exceptions() > exceptions_at_start_) s_->poisoned.store(true);
    s_->owner.store(std::thread::id(), std::memory_order_relaxed);
    // Poll callbacks collected by a write run on this thread once the mutex is released,
    // so that they may call back into this dataset or its queue.
    if (s_->inner.wakes.empty()) return;
    std::vector<PollCallback> wakes = std::exchange(s_->inner.wakes, {});
    lock_.unlock();
    QueueNotify::run_callbacks(wakes);
}

DatasetInner* Dataset::Guard::operator->() const { return &s_->inner; }
DatasetInner& Dataset::Guard::operator*() const { return s_->inner; }

Result<Dataset::Guard> Dataset::lock() const {
    if (shared_->owner.load(std::memory_order_relaxed) == std::this_thread::get_id())
        return Error::invalid_data("dataset mutex already held by this thread (re-entrant call)");
    Guard g(shared_.get());
    if (shared_->poisoned.load(std::memory_order_relaxed)) return Error::invalid_data("dataset mutex poisoned");
    return g;
}

Result<Dataset::Guard> Dataset::lock_open() const {
    if (shared_->owner.load(std::memory_order_relaxed) == std::this_thread::get_id())
        return Error::invalid_data("dataset mutex already held by this thread (re-entrant call)");
    Guard g(shared_.get());
    if (shared_->poisoned.load(std::memory_order_relaxed)) return Error::invalid_data("dataset mutex poisoned");
    if (shared_->inner.closed) return closed_error(shared_->key);
    return g;
}

const DataSetKey& Dataset::key() const { return shared_->key; }

// ---- create and open ----

Result<Dataset> Dataset::create(const DataSetKey& key, const std::string& data_dir, const DatasetConfig& cfg) {
    BRVL_TRY(DatasetConfig::validate(cfg.data_segment_size, cfg.index_segment_size, cfg.compress_level,
                                     cfg.compress_type, cfg.index_continuous, cfg.initial_data_segment_size,
                                     cfg.initial_index_segment_size, cfg.retention_window));
    std::string meta_path = paths::meta_file(data_dir);
    // Only a missing meta file is absent; any other failure to examine it is an error.
    if (BRVL_TRY(path_exists(meta_path)))
        return Error::already_exists(fmt::format("dataset already exists at {}", data_dir));
    BRVL_TRY(remove_leftovers(data_dir));
    BRVL_TRY(paths::create_dataset_dirs(data_dir));

    DatasetMetaFile meta;
    meta.data_segment_size = cfg.data_segment_size;
    meta.index_segment_size = cfg.index_segment_size;
    meta.compress_level = cfg.compress_level;
    meta.compress_type = cfg.compress_type;
    meta.create_time = unix_millis_now();
    meta.index_continuous = cfg.index_continuous;
    meta.initial_data_segment_size = cfg.initial_data_segment_size;
    meta.initial_index_segment_size = cfg.initial_index_segment_size;
    meta.retention_window = cfg.retention_window;
    meta.enable_journal = cfg.enable_journal;
    meta.timestamp_units_per_seconds = cfg.timestamp_units_per_seconds;
    BRVL_TRY(meta.write(meta_path));

    SegmentSet segments = BRVL_TRY(SegmentSet::create_dir(data_dir, {meta.data_segment_size,
                                                          meta.initial_data_segment_size, meta.compress_level,
                                                          meta.compress_type}));
    Index index = BRVL_TRY(Index::create(paths::index_dir(data_dir), {meta.index_segment_size,
                                         meta.initial_index_segment_size, meta.index_continuous != 0,
                                         meta.compress_level, meta.compress_type}));
    DatasetStateFile state = BRVL_TRY(DatasetStateFile::open_or_create(data_dir));
    DatasetInner inner(key, data_dir, meta, std::move(index), std::move(segments), std::move(state));
    inner.last_activity = MonoClock::now();
    return Dataset(std::make_shared<Shared>(key, std::move(inner)));
}

Result<Dataset> Dataset::open(const DataSetKey& key, const std::string& data_dir) {
    return open_impl(key, data_dir, false);
}

Result<Dataset> Dataset::open_read_only(const DataSetKey& key, const std::string& data_dir) {
    return open_impl(key, data_dir, true);
}

Result<Dataset> Dataset::open_impl(const DataSetKey& key, const std::string& data_dir, bool read_only) {
    std::string meta_path = paths::meta_file(data_dir);
    if (!BRVL_TRY(path_exists(meta_path)))
        return Error::not_found(fmt::format("dataset meta not found at {}", meta_path));
    DatasetMetaFile meta = BRVL_TRY(DatasetMetaFile::read(meta_path));
    BRVL_TRY(DatasetConfig::validate(meta.data_segment_size, meta.index_segment_size, meta.compress_level,
                                     meta.compress_type, meta.index_continuous, meta.initial_data_segment_size,
                                     meta.initial_index_segment_size, meta.retention_window));
    SegmentSet segments =
        BRVL_TRY(SegmentSet::open_dir(data_dir, {meta.data_segment_size, meta.initial_data_segment_size,
                                      meta.compress_level, meta.compress_type, read_only}));
    Index index = BRVL_TRY(Index::open(paths::index_dir(data_dir), {meta.index_segment_size,
                                       meta.initial_index_segment_size, meta.index_continuous != 0,
                                       meta.compress_level, meta.compress_type, read_only}));
    // A writer must know the latest timestamp; a reader goes on with the best known value.
    if (!read_only) BRVL_TRY(index.check_newest_readable());
    DatasetStateFile state = BRVL_TRY(read_only ? DatasetStateFile::open_read_only(data_dir)
                                                : DatasetStateFile::open_or_create(data_dir));
    auto latest = index.latest_timestamp();
    DatasetInner inner(key, data_dir, meta, std::move(index), std::move(segments), std::move(state));
    inner.latest_written_timestamp = latest;
    inner.last_activity = MonoClock::now();
    return Dataset(std::make_shared<Shared>(key, std::move(inner)));
}

Status Dataset::set_identifier(uint64_t identifier) {
    Guard g = BRVL_TRY(lock());
    g->identifier = identifier;
    g->segments.set_owner(identifier);
    return {};
}

Status Dataset::attach_runtime(DatasetRuntime runtime) {
    Guard g = BRVL_TRY(lock());
    g->runtime = std::move(runtime);
    if (g->runtime.dirty_list) {
        DirtyNotifier notifier(g->key, g->runtime.dirty_list);
        g->segments.set_notifier(notifier);
        g->index.set_notifier(notifier);
    } else {
        g->segments.set_notifier(std::nullopt);
        g->index.set_notifier(std::nullopt);
    }
    return {};
}

uint64_t Dataset::identifier() const {
    auto g = lock();
    return g.ok() ? (*g)->identifier : 0;
}

bool Dataset::enable_journal() const {
    auto g = lock();
    return g.ok() ? (*g)->config.enable_journal : false;
}

std::optional<int64_t> Dataset::latest_timestamp() const {
    auto g = lock();
    return g.ok() ? (*g)->latest_written_timestamp : std::nullopt;
}

std::string Dataset::data_dir() const {
    auto g = lock();
    return g.ok() ? (*g)->data_dir : std::string();
}

MonoInstant Dataset::last_activity() const {
    auto g = lock();
    return g.ok() ? (*g)->last_activity : MonoClock::now();
}

Result<std::string> Dataset::queue_dir() const {
    Guard g = BRVL_TRY(lock());
    return paths::queue_dir(g->data_dir);
}

Status Dataset::mark_queue_state_dirty(const std::string& group) {
    Guard g = BRVL_TRY(lock());
    if (g->runtime.dirty_list) g->runtime.dirty_list->push(DirtyEntry{g->key, DirtyTarget::queue_state(group)});
    return {};
}

// ---- flush, release, inspect, close ----

Status Dataset::flush() {
    Guard g = BRVL_TRY(lock_open());
    return inner_flush(*g);
}

Status Dataset::flush_dirty(const std::vector<DirtyTarget>& targets) {
    Guard g = BRVL_TRY(lock());
    return inner_flush_dirty(*g, targets);
}

Status Dataset::release_files() {
    Guard g = BRVL_TRY(lock());
    BRVL_TRY(inner_flush(*g));
    BRVL_TRY(g->segments.close_all());
    return g->index.close_segments();
}

Result<DataSetInspectResult> Dataset::inspect() {
    Guard g = BRVL_TRY(lock_open());
    DatasetInner& in = *g;
    DataSetInspectResult r;
    DataSetInfo& info = r.info;
    info.name = in.key.name;
    info.dataset_type = in.key.dataset_type;
    info.base_dir = in.data_dir;
    info.identifier = in.identifier;
    info.data_segment_size = in.config.data_segment_size;
    info.index_segment_size = in.config.index_segment_size;
    info.initial_data_segment_size = in.config.initial_data_segment_size;
    info.initial_index_segment_size = in.config.initial_index_segment_size;
    info.compress_type = in.config.compress_type;
    info.compress_level = in.config.compress_level;
    info.index_continuous = in.config.index_continuous != 0;
    info.retention_window = in.config.retention_window;
    info.timestamp_units_per_seconds = in.config.timestamp_units_per_seconds;
    info.enable_journal = in.config.enable_journal;
    info.create_time = in.config.create_time;

    DataSetState& st = r.state;
    const auto& f = in.state.fields();
    st.latest_written_timestamp = in.latest_written_timestamp;
    if (f.retention_floor != INT64_MAX) st.retention_floor = f.retention_floor;
    int64_t min_ts = f.min_timestamp;
    int64_t max_ts = f.max_timestamp;
    if (auto last = in.index.last_segment(); last && last->entry_count > 0) {
        min_ts = std::min(min_ts, last->start);
        if (last->last_timestamp) max_ts = std::max(max_ts, *last->last_timestamp);
    }
    if (min_ts != INT64_MAX) st.min_timestamp = min_ts;
    if (max_ts != INT64_MIN) st.max_timestamp = max_ts;
    st.base_timestamp = in.index.base_timestamp();
    st.total_record_count = f.total_record_count;
    st.total_data_size = f.total_data_size;
    st.total_uncompressed_size = f.total_uncompressed_size;
    st.total_invalid_record_count = f.total_invalid_record_count;
    if (auto last = in.segments.last_stats()) {
        st.total_record_count += last->record_count;
        st.total_data_size += last->written_length;
        st.total_uncompressed_size += last->raw_record_bytes;
        st.total_invalid_record_count += last->invalid_record_count;
    }
    st.open_data_segments = static_cast<uint32_t>(in.segments.open_count());
    st.data_segments = static_cast<uint32_t>(in.segments.count());
    st.open_index_segments = static_cast<uint32_t>(in.index.open_segment_count());
    st.index_segments = static_cast<uint32_t>(in.index.segment_count());
    st.read_only = in.runtime.read_only;
    st.has_block_cache = in.runtime.block_cache != nullptr;
    st.has_journal = in.runtime.journal_hook != nullptr;
    st.queue_consumer_groups = in.queue_group_count();
    st.has_queue = in.queue != nullptr;
    return r;
}

Status Dataset::close() {
    std::shared_ptr<DatasetCloseHook> hook;
    {
        Guard g = BRVL_TRY(lock());
        DatasetInner& in = *g;
        if (!in.closed) {
            if (in.identifier != 0 && in.runtime.block_cache) in.runtime.block_cache->remove_owner(in.identifier);
            if (!in.runtime.read_only) {
                BRVL_TRY(in.detach_queue());
                BRVL_TRY(inner_flush(in));
                BRVL_TRY(in.segments.close_all());
                BRVL_TRY(in.index.close_segments());
            }
            BRVL_TRY(in.state.close());
            in.closed = true;
        }
        hook = in.runtime.close_hook;
    }
    if (hook) hook->dataset_closed(shared_->key);
    return {};
}

// ---- writes ----

Status Dataset::write(int64_t timestamp, std::span<const uint8_t> data) {
    Guard g = BRVL_TRY(lock_open());
    return inner_write(*g, timestamp, data);
}

Status Dataset::append(int64_t timestamp, std::span<const uint8_t> data) {
    Guard g = BRVL_TRY(lock_open());
    return inner_append(*g, timestamp, data);
}

Status Dataset::write_now(std::span<const uint8_t> data) {
    Guard g = BRVL_TRY(lock_open());
    int64_t ts = BRVL_TRY(now_in_units(g->config.timestamp_units_per_seconds));
    return inner_write(*g, ts, data);
}

Status Dataset::append_now(std::span<const uint8_t> data) {
    Guard g = BRVL_TRY(lock_open());
    int64_t ts = BRVL_TRY(now_in_units(g->config.timestamp_units_per_seconds));
    return inner_append(*g, ts, data);
}

Result<int64_t> Dataset::write_next(std::span<const uint8_t> data) {
    Guard g = BRVL_TRY(lock_open());
    const auto latest = g->latest_written_timestamp;
    // At the top of the range there is no next timestamp: writing i64::MAX again would
    // silently replace the newest record.
    if (latest && *latest == INT64_MAX)
        return Error::invalid_data("timestamp overflow: dataset latest timestamp is i64::MAX");
    int64_t ts = latest ? *latest + 1 : 1;
    BRVL_TRY(inner_write(*g, ts, data));
    return ts;
}

Status Dataset::delete_record(int64_t timestamp) {
    Guard g = BRVL_TRY(lock_open());
    DatasetInner& in = *g;
    if (in.runtime.read_only) return Error::invalid_data("read-only dataset cannot be deleted");
    BlockCache* cache = cache_of(in);
    auto hook = in.runtime.journal_hook;
    if (!in.latest_written_timestamp)
        return Error::not_found(fmt::format("no entry to delete at timestamp {} (dataset is empty)", timestamp));
    BRVL_TRY(check_retention(in, timestamp));
    IndexEntry old = BRVL_TRY(in.index.delete_entry(timestamp));
    crash_point("dataset.delete.unindexed");
    BRVL_TRY(count_invalid(in, old, cache));
    stamp(in);
    if (hook) BRVL_TRY(hook->record_delete(in.identifier, old));
    if (hook) hook->collect_wakes(in.wakes);
    return {};
}

// ---- reads ----

Result<std::optional<Record>> Dataset::read(int64_t timestamp) {
    Guard g = BRVL_TRY(lock_open());
    return inner_read(*g, timestamp);
}

Result<std::optional<Record>> Dataset::read_latest() {
    Guard g = BRVL_TRY(lock_open());
    // A reader beside a live writer: the latest record is the newest one written now.
    if (g->runtime.read_only) g->latest_written_timestamp = BRVL_TRY(g->index.current_latest_timestamp());
    if (!g->latest_written_timestamp) return std::optional<Record>();
    return inner_read(*g, *g->latest_written_timestamp);
}

Result<bool> Dataset::read_exist(int64_t timestamp) {
    Guard g = BRVL_TRY(lock_open());
    if (BRVL_TRY(is_expired(*g, timestamp))) return false;
    auto entry = BRVL_TRY(g->index.lookup(timestamp));
    return entry.has_value() && !entry->is_sentinel();
}

Result<std::optional<uint32_t>> Dataset::read_length(int64_t timestamp) {
    Guard g = BRVL_TRY(lock_open());
    DatasetInner& in = *g;
    if (BRVL_TRY(is_expired(in, timestamp))) return std::optional<uint32_t>();
    auto entry = BRVL_TRY(in.index.lookup(timestamp));
    if (!entry || entry->is_sentinel()) return std::optional<uint32_t>();
    uint32_t len = BRVL_TRY(in.segments.read_length(*entry, cache_of(in)));
    stamp(in);
    return std::optional<uint32_t>(len);
}

Result<std::vector<Record>> Dataset::query_all(int64_t start, int64_t end) {
    Guard g = BRVL_TRY(lock_open());
    DatasetInner& in = *g;
    auto entries = BRVL_TRY(index_range(in, start, end));
    std::vector<Record> out;
    out.reserve(entries.size());
    LocalHotBlock slot;
    for (const auto& e : entries) {
        if (e.is_sentinel()) continue;
        out.push_back(BRVL_TRY(read_entry_hot(in, e, slot)));
    }
    if (!out.empty()) stamp(in);
    return out;
}

Result<std::vector<RecordLength>> Dataset::query_length_all(int64_t start, int64_t end) {
    Guard g = BRVL_TRY(lock_open());
    DatasetInner& in = *g;
    auto entries = BRVL_TRY(index_range(in, start, end));
    std::vector<RecordLength> out;
    out.reserve(entries.size());
    LocalHotBlock slot;
    for (const auto& e : entries) {
        if (e.is_sentinel()) continue;
        uint32_t len = BRVL_TRY(read_length_hot(in, e, slot));
        out.push_back({e.timestamp, len});
    }
    if (!out.empty()) stamp(in);
    return out;
}

Result<std::vector<uint8_t>> Dataset::query_exist(int64_t start, int64_t end) {
    Guard g = BRVL_TRY(lock_open());
    DatasetInner& in = *g;
    if (start > end) return std::vector<uint8_t>();
    int64_t diff;
    if (__builtin_sub_overflow(end, start, &diff) || diff == INT64_MAX)
        return Error::invalid_data("query_exist range overflow");
    uint64_t n = static_cast<uint64_t>(diff) + 1;
    uint64_t bytes = (n + 7) / 8;
    if (bytes > kMaxExistBitmapBytes)
        return invalid_data_fmt("query_exist bitmap exceeds 4 MiB limit: {} bytes", bytes);
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
    Guard g = BRVL_TRY(lock_open());
    return index_range(*g, start, end);
}

Result<Record> Dataset::read_entry(const IndexEntry& entry) {
    Guard g = BRVL_TRY(lock_open());
    return read_entry_at(*g, entry);
}

Result<std::optional<Record>> Dataset::read_first_live(int64_t start, std::span<const int64_t> skip) {
    Guard g = BRVL_TRY(lock_open());
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

Result<QueryIterator> Dataset::query(int64_t start, int64_t end) {
    Guard g = BRVL_TRY(lock_open());
    int64_t lo = BRVL_TRY(raise_to_threshold(*g, start));
    QueryIterator it(*this);
    it.lo_ = lo;
    it.hi_ = end;
    it.exhausted_ = lo > end;
    return it;
}

// ---- retention ----

Result<uint64_t> Dataset::reclaim_expired() {
    {
        Guard g = BRVL_TRY(lock());
        if (g->runtime.read_only) return Error::invalid_data("read-only dataset cannot reclaim expired segments");
    }
    Guard g = BRVL_TRY(lock_open());
    DatasetInner& in = *g;
    uint64_t window = in.config.retention_window;
    if (window == 0) return uint64_t{0};
    if (window > static_cast<uint64_t>(INT64_MAX))
        return invalid_data_fmt("retention_window {} exceeds i64 range", window);
    int64_t threshold;
    if (in.config.timestamp_units_per_seconds != 0) {
        auto t = BRVL_TRY(retention_threshold(in));
        threshold = BRVL_TRY(in.state.advance_retention_floor(*t));
        if (threshold == INT64_MAX) threshold = *t;
    } else {
        if (!in.latest_written_timestamp) return uint64_t{0};
        threshold = saturating_sub(*in.latest_written_timestamp, static_cast<int64_t>(window));
    }
    const MonoInstant remembered = in.last_activity;
    BRVL_TRY(inner_flush(in));
    BRVL_TRY(in.segments.close_all());
    BRVL_TRY(in.index.close_segments());
    uint64_t removed = in.index.reclaim(threshold);
    auto stats = in.segments.reclaim(threshold);
    removed += stats.size();
    for (const auto& s : stats) {
        if (s.base < in.state.stats_watermark())
            BRVL_TRY(in.state.subtract_stats(
                {s.record_count, s.written_length, s.raw_record_bytes, s.invalid_record_count}));
    }
    BRVL_TRY(in.state.update_range(in.index.visible_range()));
    in.last_activity = remembered;
    return removed;
}

// ---- query iterator ----

template <typename Item, typename ReadFn>
Result<std::optional<Item>> QueryIterator::step(ReadFn read) {
    for (;;) {
        if (exhausted_) {
            front_skip_ = back_skip_ = 0;
            return std::optional<Item>();
        }
        if (front_skip_ > 0 || back_skip_ > 0) {
            // Skips count live entries only; a range that runs out first ends the walk.
            const bool front = front_skip_ > 0;
            uint64_t n = std::exchange(front ? front_skip_ : back_skip_, 0);
            Dataset::Guard g = BRVL_TRY(dataset_.lock_open());
            std::optional<IndexCursor> cur;
            while (n > 0) {
                auto hit = BRVL_TRY(front ? g->index.next_forward(lo_, hi_, cur) : g->index.next_backward(lo_, hi_, cur));
                if (!hit) {
                    exhausted_ = true;
                    break;
                }
                if (hit->entry.timestamp < lo_ || hit->entry.timestamp > hi_)
                    return invalid_data_fmt("index entry at timestamp {} lies outside [{}, {}]",
                                            hit->entry.timestamp, lo_, hi_);
                cur = hit->cursor();
                if (!hit->entry.is_sentinel()) --n;
                int64_t ts = hit->entry.timestamp;
                if (front ? ts == INT64_MAX : ts == INT64_MIN) {
                    exhausted_ = true;
                    break;
                }
                if (front)
                    lo_ = ts + 1;
                else
                    hi_ = ts - 1;
            }
            cursor_.reset();
            continue;
        }
        if (lo_ > hi_) {
            exhausted_ = true;
            continue;
        }
        IndexEntry entry;
        {
            Dataset::Guard g = BRVL_TRY(dataset_.lock_open());
            auto hit = BRVL_TRY(reverse_ ? g->index.next_backward(lo_, hi_, cursor_)
                                         : g->index.next_forward(lo_, hi_, cursor_));
            if (!hit) {
                exhausted_ = true;
                continue;
            }
            entry = hit->entry;
            if (entry.timestamp < lo_ || entry.timestamp > hi_)
                return invalid_data_fmt("index entry at timestamp {} lies outside [{}, {}]", entry.timestamp, lo_, hi_);
            cursor_ = hit->cursor();
            if (reverse_) {
                if (entry.timestamp == INT64_MIN)
                    exhausted_ = true;
                else
                    hi_ = entry.timestamp - 1;
            } else {
                if (entry.timestamp == INT64_MAX)
                    exhausted_ = true;
                else
                    lo_ = entry.timestamp + 1;
            }
        }
        if (entry.is_sentinel()) continue;
        Dataset::Guard g = BRVL_TRY(dataset_.lock_open());
        Item item = BRVL_TRY(read(*g, entry));
        stamp(*g);
        return std::optional<Item>(std::move(item));
    }
}

Result<std::optional<Record>> QueryIterator::next() {
    return step<Record>([this](DatasetInner& in, const IndexEntry& e) { return read_entry_hot(in, e, hot_); });
}

Result<std::optional<RecordLength>> QueryIterator::next_length() {
    return step<RecordLength>([this](DatasetInner& in, const IndexEntry& e) -> Result<RecordLength> {
        uint32_t len = BRVL_TRY(read_length_hot(in, e, hot_));
        return RecordLength{e.timestamp, len};
    });
}

QueryIterator& QueryIterator::skip(uint64_t count) {
    uint64_t& s = reverse_ ? back_skip_ : front_skip_;
    s = count > UINT64_MAX - s ? UINT64_MAX : s + count;
    cursor_.reset();
    hot_.clear();
    return *this;
}

QueryIterator& QueryIterator::reverse() {
    reverse_ = !reverse_;
    cursor_.reset();
    hot_.clear();
    return *this;
}

namespace {

template <typename Item, typename Next>
Result<std::vector<Item>> collect(Next next, uint64_t limit) {
    std::vector<Item> out;
    while (out.size() < limit) {
        auto item = BRVL_TRY(next());
        if (!item) break;
        out.push_back(std::move(*item));
    }
    return out;
}

}  // namespace

Result<std::vector<Record>> QueryIterator::collect_all() {
    return collect<Record>([this] { return next(); }, UINT64_MAX);
}

Result<std::vector<Record>> QueryIterator::collect_take(uint64_t count) {
    return collect<Record>([this] { return next(); }, count);
}

Result<std::vector<RecordLength>> QueryIterator::collect_all_lengths() {
    return collect<RecordLength>([this] { return next_length(); }, UINT64_MAX);
}

Result<std::vector<RecordLength>> QueryIterator::collect_take_lengths(uint64_t count) {
    return collect<RecordLength>([this] { return next_length(); }, count);
}

}  // namespace brenvale
