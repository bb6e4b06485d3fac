// The store's operations on its datasets: create, open by key or identifier, inspect,
// drop, the listing, and the background entry points.
#include <algorithm>
#include <cerrno>
#include <mutex>

#include "format/meta.h"
#include "journal/record.h"
#include "log.h"
#include "paths.h"
#include "store/store.h"

namespace brenvale {

namespace {

Error exceeds_max_error(const DataSetKey& key, uint64_t identifier, uint64_t max) {
    return invalid_data_fmt("dataset {} identifier {} exceeds authoritative max_identifier {}", key.debug_string(),
                            identifier, max);
}

Error duplicate_error(uint64_t identifier, const DataSetKey& first, const DataSetKey& second) {
    return invalid_data_fmt("duplicate dataset identifier {}: {} and {}", identifier, first.debug_string(),
                            second.debug_string());
}

// The subdirectories of dir whose names pass the key rule, sorted by bytes; with
// `datasets`, only those that hold a dataset. A listing error fails the whole list.
Result<std::vector<std::string>> key_dirs(const std::string& dir, std::string_view what, bool datasets) {
    std::vector<std::string> out;
    for (std::string& name : BRVL_TRY(list_dir(dir))) {
        if (!validate_key_part(what, name).ok()) continue;  // .journal, .dropping-*, stray names
        const std::string path = join_path(dir, name);
        if (!BRVL_TRY(is_directory(path))) continue;
        if (datasets && !BRVL_TRY(holds_dataset(path))) continue;  // no dataset: never openable
        out.push_back(std::move(name));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Takes a dataset directory away from its key in one rename (the key is free from then
// on), to a name that no listing shows; gives that name.
Result<std::string> take_dataset_dir(const std::string& parent, const std::string& dir) {
    std::string doomed = paths::dropping_dir(parent, fresh_hash_seed());
    BRVL_TRY(rename_file(dir, doomed));
    return doomed;
}

// Makes the rename of take_dataset_dir durable and removes what it took away; what a kill
// leaves of it goes when the store next opens.
Status remove_taken_dir(const std::string& parent, const std::string& doomed) {
    Status done = sync_dir(parent);
    crash_point("store.drop.renamed");
    if (Status removed = remove_dir_all(doomed); done.ok()) done = std::move(removed);
    return done;
}

// Both: ok once renamed, holding the failure to sync or remove.
Result<Status> discard_dataset_dir(const std::string& parent, const std::string& dir) {
    const std::string doomed = BRVL_TRY(take_dataset_dir(parent, dir));
    return remove_taken_dir(parent, doomed);
}

// Makes a whole dataset, identifier included, in a directory of its own.
Status build_dataset_dir(const DataSetKey& key, const std::string& dir, const DatasetConfig& config,
                         uint64_t identifier) {
    Dataset made = BRVL_TRY(Dataset::create(key, dir, config));
    crash_point("store.create.dataset");
    BRVL_TRY(made.close());
    BRVL_TRY(write_identifier_file(paths::identifier_file(dir), identifier));
    crash_point("store.create.identifier");
    return {};
}

}  // namespace

// ---- the pieces shared by the operations ----

Result<DataSetKey> Store::changeable_key(std::string_view what, const std::string& name,
                                         const std::string& dataset_type) const {
    BRVL_TRY(refuse_if_read_only(what));
    DataSetKey key{name, dataset_type};
    if (paths::is_journal_key(key)) return Error::invalid_data("journal dataset is reserved");
    BRVL_TRY(validate_key(name, dataset_type));
    return key;
}

Status Store::check_identifier(const DataSetKey& key, uint64_t identifier) {
    if (identifier <= max_identifier_) return {};
    // A read-only store holds no lock: its value is a snapshot, and a writer beside it
    // raises the file before it makes a dataset of the new identifier.
    if (read_only_) max_identifier_ = std::max(max_identifier_, BRVL_TRY(read_max_identifier(root_)));
    if (identifier > max_identifier_) return exceeds_max_error(key, identifier, max_identifier_);
    return {};
}

Result<Dataset> Store::equip(Dataset dataset, uint64_t identifier) {
    BRVL_TRY(dataset.set_identifier(identifier));
    BRVL_TRY(dataset.attach_runtime(BRVL_TRY(dataset_runtime(dataset.enable_journal()))));
    registry_->insert(dataset);
    return dataset;
}

Result<Dataset> Store::open_from_disk(const DataSetKey& key, const std::string& dir, uint64_t identifier) {
    Dataset dataset = BRVL_TRY(read_only_ ? Dataset::open_read_only(key, dir) : Dataset::open(key, dir));
    return equip(std::move(dataset), identifier);
}

Result<Dataset> Store::open_locked(const DataSetKey& key) {
    if (auto registered = registry_->get(key)) return *registered;
    const std::string dir = paths::dataset_dir(root_, key);
    const uint64_t identifier = BRVL_TRY(read_dataset_identifier(dir));
    BRVL_TRY(check_identifier(key, identifier));
    if (auto it = identifiers_.find(identifier); it != identifiers_.end() && it->second != key)
        return duplicate_error(identifier, it->second, key);
    Dataset dataset = BRVL_TRY(open_from_disk(key, dir, identifier));
    identifiers_.insert_or_assign(identifier, key);
    return dataset;
}

// ---- create ----

Result<Dataset> Store::create_dataset(const std::string& name, const std::string& dataset_type,
                                      const std::optional<DatasetConfigBuilder>& builder) {
    const DataSetKey key = BRVL_TRY(changeable_key("create dataset", name, dataset_type));
    std::unique_lock ops(*ops_mu_);
    if (registry_->get(key))
        return Error::already_exists(fmt::format("dataset {}/{} is already open", name, dataset_type));
    const std::string dir = paths::dataset_dir(root_, key);
    // A meta file that cannot be examined counts as absent: the dataset is built aside and
    // renamed to its key, which never replaces a directory that holds anything.
    const auto meta_exists = path_exists(paths::meta_file(dir));
    if (meta_exists.ok() && *meta_exists)
        return Error::already_exists(fmt::format("dataset already exists at {}", dir));
    // Records under the key are a dataset that lost its meta file: kept, never replaced.
    if (BRVL_TRY(holds_segment_files(dir)))
        return Error::already_exists(fmt::format("dataset already exists at {}", dir));
    const DatasetConfig config = BRVL_TRY((builder ? *builder : DatasetConfigBuilder::from_store(config_)).build());
    if (max_identifier_ == UINT64_MAX) return Error::invalid_data("dataset identifier overflow");
    const uint64_t identifier = max_identifier_ + 1;
    const bool journal = journalled(config.enable_journal);
    // The room of its event is held before anything changes: a journal that cannot take
    // the event refuses the create.
    DatasetEventRoom room;
    if (journal) room = BRVL_TRY(journal_->reserve_dataset_event(identifier, key, DatasetMetaFile::kAreaLength));

    const std::string parent = paths::name_dir(root_, name);
    const bool had_parent = BRVL_TRY(path_exists(parent));

    // The identifier is consumed from here on, even when a later step fails.
    BRVL_TRY(write_identifier_file(paths::max_identifier_file(root_), identifier));
    max_identifier_ = identifier;
    crash_point("store.create.max_identifier");
    // The dataset appears under its key whole, in one rename: a create cut short leaves
    // only a .creating-* directory, which no listing shows and a writable open removes.
    // A create that fails leaves no directory it made: the parent goes again when empty.
    auto undo_parent = [&] {
        if (!had_parent) (void)remove_empty_dir(parent);
    };
    if (Status made = create_dir_all(parent); !made.ok()) {
        undo_parent();
        return std::move(made).error();
    }
    const std::string building = paths::creating_dir(parent, fresh_hash_seed());
    Status built = build_dataset_dir(key, building, config, identifier);
    std::vector<uint8_t> metadata;  // the journal record carries the meta file's entries
    if (built.ok() && journal) {
        auto area = read_meta_tlv_area(paths::meta_file(building));
        if (area.ok()) metadata = std::move(*area);
        else built = Status(std::move(area).error());
    }
    // What is under the key without meta holds no records (the rest of an earlier create
    // or drop cut short): it makes way.
    if (built.ok() && meta_exists.ok()) {
        auto leftover = path_exists(dir);
        if (leftover.ok() && *leftover) {
            log::warn(log::kStore, "[store] removing the rest of an earlier dataset at {}", dir);
            auto discarded = discard_dataset_dir(parent, dir);  // a failure after the rename is no matter here
            if (!discarded.ok()) built = Status(std::move(discarded).error());
        }
    }
    if (built.ok()) built = rename_file(building, dir);
    if (!built.ok()) {
        (void)remove_dir_all(building);
        undo_parent();
        return std::move(built).error();
    }
    crash_point("store.create.renamed");
    auto opened = [&]() -> Result<Dataset> {
        BRVL_TRY(sync_dir(parent));
        Dataset dataset = BRVL_TRY(Dataset::open(key, dir));
        dataset = BRVL_TRY(equip(std::move(dataset), identifier));
        identifiers_.insert_or_assign(identifier, key);
        return dataset;
    }();
    if (!opened.ok()) {
        // A new dataset that cannot be made durable or opened goes again: the create changes
        // nothing but the identifier it consumed, and its journal room is given back.
        if (auto discarded = discard_dataset_dir(parent, dir); !discarded.ok())
            log::warn(log::kStore, "[store] cannot remove {} after its create failed: {}", dir, discarded.error());
        undo_parent();
        return std::move(opened).error();
    }
    ops.unlock();
    // The journal's wake callbacks run on this thread, outside every store and dataset lock.
    if (journal) BRVL_TRY(journal_->record_create_dataset(identifier, key, std::move(metadata), std::move(room)));
    return opened;
}

// ---- open ----

Result<Dataset> Store::open_dataset(const std::string& name, const std::string& dataset_type) {
    DataSetKey key{name, dataset_type};
    if (paths::is_journal_key(key)) return Error::not_found("journal is not exposed as a dataset handle");
    BRVL_TRY(validate_key(name, dataset_type));
    std::lock_guard ops(*ops_mu_);
    return open_locked(key);
}

Result<Dataset> Store::open_dataset_by_identifier(uint64_t identifier) {
    if (identifier == 0) return Error::invalid_data("dataset identifier must be > 0");
    std::lock_guard ops(*ops_mu_);
    if (auto it = identifiers_.find(identifier); it != identifiers_.end()) {
        const DataSetKey key = it->second;
        return open_locked(key);
    }
    std::optional<DataSetKey> found;
    for (const ScanEntry& e : BRVL_TRY(scan())) {
        DataSetKey key{e.name, e.dataset_type};
        const uint64_t id = BRVL_TRY(read_dataset_identifier(e.path));
        BRVL_TRY(check_identifier(key, id));
        if (id != identifier) continue;
        if (found) return duplicate_error(identifier, *found, key);
        found = std::move(key);
    }
    if (!found) return Error::not_found(fmt::format("dataset identifier {}", identifier));
    identifiers_.insert_or_assign(identifier, *found);
    return open_locked(*found);
}

// ---- inspect ----

Result<DataSetInspectResult> Store::inspect_dataset(const std::string& name, const std::string& dataset_type) {
    BRVL_TRY(validate_key(name, dataset_type));
    const DataSetKey key{name, dataset_type};
    std::optional<Dataset> dataset = registry_->get(key);
    if (!dataset) {
        std::lock_guard ops(*ops_mu_);
        dataset = registry_->get(key);  // opened meanwhile
        if (!dataset) {
            const std::string dir = paths::dataset_dir(root_, key);
            const uint64_t identifier = BRVL_TRY(read_dataset_identifier(dir));
            BRVL_TRY(check_identifier(key, identifier));
            dataset = BRVL_TRY(open_from_disk(key, dir, identifier));
        }
    }
    return dataset->inspect();
}

// ---- drop ----

Status Store::drop_dataset(const std::string& name, const std::string& dataset_type) {
    const DataSetKey key = BRVL_TRY(changeable_key("drop dataset", name, dataset_type));
    std::unique_lock ops(*ops_mu_);
    Dataset dataset = BRVL_TRY(open_locked(key));
    const std::string dir = dataset.data_dir();
    const uint64_t identifier = dataset.identifier();
    const bool journal = journalled(dataset.enable_journal());
    std::vector<uint8_t> metadata;
    DatasetEventRoom room;  // held before anything changes, as a create's
    if (journal) {
        metadata = BRVL_TRY(read_meta_tlv_area(paths::meta_file(dir)));
        room = BRVL_TRY(journal_->reserve_dataset_event(identifier, key, metadata.size()));
    }

    BRVL_TRY(dataset.close());
    crash_point("store.drop.closed");
    // The directory leaves its key in one rename: from then on the dataset is gone, and its
    // event is recorded before its files are removed, under a name that no listing shows
    // (what a kill leaves of them is removed when the store next opens). A failure to
    // record, sync or remove is reported once the files are gone.
    const std::string parent = paths::name_dir(root_, name);
    const std::string doomed = BRVL_TRY(take_dataset_dir(parent, dir));
    std::erase_if(identifiers_, [&key](const auto& entry) { return entry.second == key; });
    ops.unlock();
    Status recorded;
    if (journal) {
        auto sequence = journal_->record_drop_dataset(identifier, key, std::move(metadata), std::move(room));
        if (!sequence.ok()) recorded = std::move(sequence).error();
    }
    const Status removed = remove_taken_dir(parent, doomed);
    BRVL_TRY(recorded);
    BRVL_TRY(removed);
    log::info(log::kStore, "[store] dropped dataset: {}/{}", name, dataset_type);
    return {};
}

// ---- listing ----

Result<std::vector<ScanEntry>> Store::scan() const {
    std::vector<ScanEntry> out;
    for (const std::string& name : BRVL_TRY(key_dirs(root_, "dataset name", false))) {
        const std::string dir = paths::name_dir(root_, name);
        for (std::string& type : BRVL_TRY(key_dirs(dir, "dataset type", true)))
            out.push_back(ScanEntry{name, type, paths::dataset_dir(root_, DataSetKey{name, type})});
    }
    return out;
}

Result<std::vector<std::string>> Store::dataset_names() const {
    std::vector<std::string> names;
    for (ScanEntry& e : BRVL_TRY(scan()))
        if (names.empty() || names.back() != e.name) names.push_back(std::move(e.name));
    return names;
}

Result<std::vector<std::string>> Store::dataset_types(const std::string& name) const {
    BRVL_TRY(validate_key_part("dataset name", name));
    const std::string dir = paths::name_dir(root_, name);
    if (BRVL_TRY(is_directory(dir))) return key_dirs(dir, "dataset type", true);
    BRVL_TRY(list_dir(root_));  // the scan fails when the root cannot be listed
    return std::vector<std::string>{};
}

// ---- journal ----

Result<JournalQueue> Store::open_journal_queue() {
    BRVL_TRY(refuse_if_read_only("open journal queue"));
    return journal_->open_queue();
}

Result<std::optional<JournalEntry>> Store::journal_read(int64_t sequence) { return journal_->read(sequence); }

Result<std::vector<JournalEntry>> Store::journal_query(int64_t start_sequence, int64_t end_sequence) {
    return journal_->query(start_sequence, end_sequence);
}

Result<std::optional<uint64_t>> Store::journal_latest_sequence() { return journal_->last_sequence(); }

// ---- background tasks ----

Result<BgTasks*> Store::background() const {
    if (read_only_) return Error::invalid_data("read-only store has no background tasks");
    if (!bg_) return Error::invalid_data("bg_tasks not initialised");
    return bg_.get();
}

Result<std::chrono::nanoseconds> Store::next_background_delay() const { return BRVL_TRY(background())->next_delay(); }

Result<BgTick> Store::tick_background_tasks() { return BRVL_TRY(background())->tick(); }

}  // namespace brenvale
