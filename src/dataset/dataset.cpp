// The dataset handle and its lifecycle: the lock, create and open, the runtime, flushes,
// the idle release, inspect and close.
#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <thread>

#include "dataset/inner.h"
#include "log.h"
#include "paths.h"

namespace brenvale {

using namespace dataset_detail;

namespace dataset_detail {

Error closed_error(const DataSetKey& key) {
    return invalid_data_fmt("dataset {}/{} is closed", key.name, key.dataset_type);
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

}  // namespace dataset_detail

namespace {

// The dataset's settings in their three shapes (the meta file, the configuration the
// store validates, the inspection record), each converted in one place.
DatasetMetaFile meta_of(const DatasetConfig& c, uint64_t create_time) {
    DatasetMetaFile m;
    m.data_segment_size = c.data_segment_size;
    m.index_segment_size = c.index_segment_size;
    m.compress_level = c.compress_level;
    m.compress_type = c.compress_type;
    m.create_time = create_time;
    m.index_continuous = c.index_continuous;
    m.initial_data_segment_size = c.initial_data_segment_size;
    m.initial_index_segment_size = c.initial_index_segment_size;
    m.retention_window = c.retention_window;
    m.enable_journal = c.enable_journal;
    m.timestamp_units_per_seconds = c.timestamp_units_per_seconds;
    return m;
}

DatasetConfig config_of(const DatasetMetaFile& m) {
    DatasetConfig c;
    c.data_segment_size = m.data_segment_size;
    c.index_segment_size = m.index_segment_size;
    c.initial_data_segment_size = m.initial_data_segment_size;
    c.initial_index_segment_size = m.initial_index_segment_size;
    c.retention_window = m.retention_window;
    c.timestamp_units_per_seconds = m.timestamp_units_per_seconds;
    c.create_time = m.create_time;
    c.compress_level = m.compress_level;
    c.compress_type = m.compress_type;
    c.index_continuous = m.index_continuous;
    c.enable_journal = m.enable_journal;
    return c;
}

DataSetInfo info_of(const DatasetInner& in) {
    const DatasetMetaFile& m = in.config;
    DataSetInfo info;
    info.name = in.key.name;
    info.dataset_type = in.key.dataset_type;
    info.base_dir = in.data_dir;
    info.identifier = in.identifier;
    info.data_segment_size = m.data_segment_size;
    info.index_segment_size = m.index_segment_size;
    info.initial_data_segment_size = m.initial_data_segment_size;
    info.initial_index_segment_size = m.initial_index_segment_size;
    info.compress_type = m.compress_type;
    info.compress_level = m.compress_level;
    info.index_continuous = m.index_continuous != 0;
    info.retention_window = m.retention_window;
    info.timestamp_units_per_seconds = m.timestamp_units_per_seconds;
    info.enable_journal = m.enable_journal;
    info.create_time = m.create_time;
    return info;
}

SegmentSetOptions segment_options(const DatasetMetaFile& m, bool read_only) {
    return {m.data_segment_size, m.initial_data_segment_size, m.compress_level, m.compress_type, read_only};
}

IndexOptions index_options(const DatasetMetaFile& m, bool read_only) {
    return {m.index_segment_size, m.initial_index_segment_size, m.index_continuous != 0, m.compress_level,
            m.compress_type, read_only};
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

// The state file holds statistics only: damage there must never stop writes or leave the
// counts wrong for good. Its watermark names the base of the newest data segment its totals
// were folded for, and new segments start past it: one that cannot be a segment base (not a
// multiple of the span, no room for a segment past it within i64), or that lies past the
// newest segment file's base plus one span (a roll-over folds the newest file's counts and
// creates the next), is not used; nor are totals that the folded segments cannot hold (more
// invalid records than records, more block bytes than the folded span, more records than
// its blocks can hold). The totals are then counted again from the segment files, up to the
// newest one, with a warning.
Status mend_stats_watermark(const SegmentSet& segments, DatasetStateFile& state) {
    const uint64_t w = state.stats_watermark();
    const uint64_t span = segments.span();
    const DatasetStateRecord& f = state.fields();
    const std::optional<SegmentStats> last = segments.last_stats();
    const auto past = checked_add(w, span);
    const auto newest_end = last ? checked_add(last->base, span) : std::nullopt;
    const bool base_ok = w % span == 0 && past && *past <= static_cast<uint64_t>(INT64_MAX) &&
                         (!last || (newest_end && w <= *newest_end));
    // Every block is at least its 16-byte header, and holds at most 65535 records.
    const bool totals_ok = f.total_invalid_record_count <= f.total_record_count && f.total_data_size <= w &&
                           f.total_record_count / std::numeric_limits<uint16_t>::max() <= f.total_data_size / kBlockHeaderLen;
    if (base_ok && totals_ok) return {};
    if (!base_ok) {
        log::warn(log::kDatasetState,
                  "[dataset-state] statistics watermark {} of {} cannot be a data segment base; counting the totals "
                  "again from the data segment files",
                  w, segments.dir());
    } else {
        log::warn(log::kDatasetState,
                  "[dataset-state] totals of {} ({} records, {} invalid, {} bytes) cannot be those of the data segments "
                  "below watermark {}; counting them again from the data segment files",
                  segments.dir(), f.total_record_count, f.total_invalid_record_count, f.total_data_size, w);
    }
    // Without segment files, new ones still start past a usable watermark.
    const uint64_t newest = last ? last->base : base_ok ? w : 0;
    std::vector<DatasetStateFile::Totals> totals;
    for (const SegmentStats& s : segments.stats_below(newest)) totals.push_back(totals_of(s));
    return state.recount(newest, totals.data(), totals.size());
}

}  // namespace

// ---- handle and lock ----

Dataset::Guard::Guard(Shared* s, bool poisons)
    : s_(s), lock_(s->mu), exceptions_at_start_(std::uncaught_exceptions()), poisons_(poisons) {
    s->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

Dataset::Guard::~Guard() {
    if (!lock_.owns_lock()) return;
    if (poisons_ && std::uncaught_exceptions() > exceptions_at_start_) s_->poisoned.store(true);
    s_->owner.store(std::thread::id(), std::memory_order_relaxed);
    // Poll callbacks collected by a write run on this thread once the mutex is released,
    // so that they may call back into this dataset or its queue.
    if (s_->inner.wakes.empty()) return;
    std::vector<PollCallback> wakes = std::exchange(s_->inner.wakes, {});
    lock_.unlock();
    QueueNotify::run_callbacks(wakes);
}

Dataset::Guard::Guard(Shared* s, bool poisons, std::try_to_lock_t)
    : s_(s), lock_(s->mu, std::try_to_lock), exceptions_at_start_(std::uncaught_exceptions()), poisons_(poisons) {
    if (lock_.owns_lock()) s->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

DatasetInner* Dataset::Guard::operator->() const { return &s_->inner; }
DatasetInner& Dataset::Guard::operator*() const { return s_->inner; }

Result<Dataset::Guard> Dataset::lock(bool poisons) const {
    if (shared_->owner.load(std::memory_order_relaxed) == std::this_thread::get_id())
        return Error::invalid_data("dataset mutex already held by this thread (re-entrant call)");
    Guard g(shared_.get(), poisons);
    if (shared_->poisoned.load(std::memory_order_relaxed)) return Error::invalid_data("dataset mutex poisoned");
    return g;
}

Result<Dataset::Guard> Dataset::lock_open(bool poisons) const {
    Guard g = BRVL_TRY(lock(poisons));
    if (shared_->inner.closed) return closed_error(shared_->key);
    return g;
}

std::optional<Dataset::Guard> Dataset::try_lock_open(bool poisons) const {
    // Trying a mutex this thread holds would be undefined: the owner says so first.
    if (shared_->owner.load(std::memory_order_relaxed) == std::this_thread::get_id()) return std::nullopt;
    Guard g(shared_.get(), poisons, std::try_to_lock);
    if (!g.owns() || shared_->poisoned.load(std::memory_order_relaxed) || shared_->inner.closed) return std::nullopt;
    return std::optional<Guard>(std::move(g));
}

const DataSetKey& Dataset::key() const { return shared_->key; }

// ---- create and open ----

Result<Dataset> Dataset::create(const DataSetKey& key, const std::string& data_dir, const DatasetConfig& cfg) {
    BRVL_TRY(cfg.validate());
    std::string meta_path = paths::meta_file(data_dir);
    // Only a missing meta file is absent; any other failure to examine it is an error.
    if (BRVL_TRY(path_exists(meta_path)))
        return Error::already_exists(fmt::format("dataset already exists at {}", data_dir));
    BRVL_TRY(remove_leftovers(data_dir));
    BRVL_TRY(paths::create_dataset_dirs(data_dir));

    const DatasetMetaFile meta = meta_of(cfg, unix_millis_now());
    BRVL_TRY(meta.write(meta_path));

    SegmentSet segments = BRVL_TRY(SegmentSet::create_dir(data_dir, segment_options(meta, false)));
    Index index = BRVL_TRY(Index::create(paths::index_dir(data_dir), index_options(meta, false)));
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
    BRVL_TRY(config_of(meta).validate());
    SegmentSet segments = BRVL_TRY(SegmentSet::open_dir(data_dir, segment_options(meta, read_only)));
    Index index = BRVL_TRY(Index::open(paths::index_dir(data_dir), index_options(meta, read_only)));
    // A writer must know the latest timestamp; a reader goes on with the best known value.
    if (!read_only) BRVL_TRY(index.check_newest_readable());
    DatasetStateFile state = BRVL_TRY(read_only ? DatasetStateFile::open_read_only(data_dir)
                                                : DatasetStateFile::open_or_create(data_dir));
    if (!read_only) BRVL_TRY(mend_stats_watermark(segments, state));
    auto latest = index.latest_timestamp();
    DatasetInner inner(key, data_dir, meta, std::move(index), std::move(segments), std::move(state));
    inner.latest_written_timestamp = latest;
    inner.last_activity = MonoClock::now();
    if (!read_only) {
        // A change a kill cut short is finished; what that opened is closed again (every
        // file of a dataset just opened stays closed until used).
        BRVL_TRY(settle_counts_due(inner));
        BRVL_TRY(inner.segments.close_all());
        BRVL_TRY(inner.index.close_segments());
    }
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
    auto g = lock(/*poisons=*/false);  // a read: an exception in it leaves the dataset usable
    if (!g.ok()) return std::nullopt;
    DatasetInner& in = **g;
    // A reader beside a live writer: the newest timestamp as the index files show it now
    // (a look at the newest segment; a directory listing only when the directory changed).
    // When they cannot be read, the value known last.
    if (in.runtime.read_only && !in.closed) {
        if (auto now = in.index.current_latest_timestamp(); now.ok()) in.latest_written_timestamp = *now;
    }
    return in.latest_written_timestamp;
}

std::string Dataset::data_dir() const {
    auto g = lock();
    return g.ok() ? (*g)->data_dir : std::string();
}

MonoInstant Dataset::last_activity() const {
    auto g = lock();
    return g.ok() ? (*g)->last_activity : MonoClock::now();
}

bool Dataset::is_closed() const {
    auto g = lock(/*poisons=*/false);
    return g.ok() && (*g)->closed;
}

Result<uint64_t> Dataset::retention_window() const {
    Guard g = BRVL_TRY(lock());
    return g->config.retention_window;
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

namespace {

// Flushes and closes every file the dataset holds open. Its dirty entries stay on the list
// (their segments are found closed there) and nothing is taken but the dataset mutex, so
// that a descriptor relief can run it from inside another dataset's operation.
Status close_files(DatasetInner& in) {
    BRVL_TRY(in.segments.close_all());
    BRVL_TRY(in.index.close_segments());
    return in.state.release();
}

}  // namespace

// A closed dataset has released everything; its key may already name a new dataset, whose
// dirty entries are not its to take.
Status Dataset::release_files() {
    Guard g = BRVL_TRY(lock_open());
    BRVL_TRY(inner_flush(*g));
    return close_files(*g);
}

std::optional<MonoInstant> Dataset::files_held_since() const {
    std::optional<Guard> g = try_lock_open(/*poisons=*/false);
    if (!g) return std::nullopt;
    const DatasetInner& in = **g;
    if (in.segments.open_count() == 0 && in.index.open_segment_count() == 0 && !in.state.holds_file())
        return std::nullopt;
    return in.last_activity;
}

Result<bool> Dataset::try_release_files() {
    std::optional<Guard> g = try_lock_open(/*poisons=*/true);
    if (!g) return false;
    BRVL_TRY(close_files(**g));
    return true;
}

Result<DataSetInspectResult> Dataset::inspect() {
    Guard g = BRVL_TRY(lock_read());
    DatasetInner& in = *g;
    DataSetInspectResult r;
    r.info = info_of(in);
    // A reader beside a live writer counts what the files hold now, as its reads read it.
    const bool follows_writer = in.segments.read_only();
    if (follows_writer) {
        if (auto now = in.index.current_latest_timestamp(); now.ok()) in.latest_written_timestamp = *now;
        BRVL_TRY(in.state.reload());
    }

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
    // The state file holds the segments below its watermark; the others count as they are.
    const SegmentStats unfolded = follows_writer ? BRVL_TRY(in.segments.current_stats_from(f.stats_watermark))
                                                 : in.segments.stats_from(f.stats_watermark);
    st.total_invalid_record_count = f.total_invalid_record_count + BRVL_TRY(uncounted_invalid(in));
    st.total_record_count += unfolded.record_count;
    st.total_data_size += unfolded.written_length;
    st.total_uncompressed_size += unfolded.raw_record_bytes;
    st.total_invalid_record_count += unfolded.invalid_record_count;
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
            // A closed dataset writes nothing more: the store's directory lock (held
            // directly and through the journal hook) no longer needs to outlive the store
            // for it.
            in.runtime.store_lock.reset();
            in.runtime.journal_hook.reset();
        }
        hook = in.runtime.close_hook;
    }
    if (hook) hook->dataset_closed(shared_->key, *this);
    return {};
}

}  // namespace brenvale
