// The engine store: one root directory holding many datasets under one writer's lock,
// with store-assigned dataset identifiers, the registry of open datasets, the shared block
// cache, the dirty list, the journal and, when writable, the background tasks.
//
// Operations on datasets (create, open, drop, list, inspect) and the journal and
// background entry points are in store/datasets.cpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bg/tasks.h"
#include "cache.h"
#include "config.h"
#include "dataset/dataset.h"
#include "dirty_list.h"
#include "error.h"
#include "file.h"
#include "journal/journal.h"
#include "store/registry.h"
#include "types.h"

namespace brenvale {

// The exclusive flock on <root>/.lock, held for as long as this object lives. A writable
// store shares it with every dataset it opens (their runtimes) and with its journal, so
// the directory stays locked while any of them can still write.
class StoreLock {
public:
    explicit StoreLock(FileHandle fd) : fd_(std::move(fd)) {}
    int fd() const { return fd_.fd(); }

private:
    FileHandle fd_;  // closing it releases the lock
};

using StoreLockPtr = std::shared_ptr<const StoreLock>;

// The outcome of trying the lock: held (the lock), or held by another open file (none).
Result<std::optional<StoreLockPtr>> acquire_lock_file(const std::string& root);

// ---- identifier files (decimal text) ----

// <root>/max_identifier; a missing file is 0.
Result<uint64_t> read_max_identifier(const std::string& root);
// Replaces the file atomically with the value's decimal digits.
Status write_identifier_file(const std::string& path, uint64_t value);
// <dataset dir>/identifier; missing: "dataset identifier not found at {}".
Result<uint64_t> read_dataset_identifier(const std::string& dataset_dir);
// Trims Unicode white space, then one or more ASCII digits fitting 64 bits; `name` goes
// into the messages.
Result<uint64_t> parse_identifier(std::string_view name, std::string_view text, bool allow_zero);

// Whether a dataset directory holds the two files of a finished create, `meta` and
// `identifier`; only such a directory is listed as a dataset.
Result<bool> holds_dataset(const std::string& dataset_dir);
// Whether a dataset directory holds a data or index segment file, that is records: such a
// directory is never removed or replaced, whatever else it lacks. A directory (or its
// data/ and index/) that does not exist holds none; a listing that fails otherwise is an
// error (nothing can be told).
Result<bool> holds_segment_files(const std::string& dataset_dir);

// ---- keys ----

inline constexpr size_t kMaxKeyPartBytes = 255;
// Name, then type: 1 to 255 bytes of [0-9A-Za-z_-]. Checked before any path is built.
Status validate_key(std::string_view name, std::string_view dataset_type);
// One part alone ("dataset name" or "dataset type" in the message).
Status validate_key_part(std::string_view what, std::string_view part);

struct ScanEntry {
    std::string name;
    std::string dataset_type;
    std::string path;
    bool operator==(const ScanEntry&) const = default;
};

// Dataset identifiers hashed under a map's own random seed.
struct IdentifierHash {
    uint64_t seed = 0;
    size_t operator()(uint64_t v) const { return static_cast<size_t>(mix64(v ^ seed)); }
};

class Store {
public:
    static Result<Store> open(const std::string& root, const StoreConfig& config);

    Store(Store&&) noexcept = default;
    Store& operator=(Store&&) = delete;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;
    // Stops the background thread, flushes the journal, releases the shared objects and
    // drops the store's hold on the lock last.
    ~Store();

    const std::string& root() const { return root_; }
    const StoreConfig& config() const { return config_; }
    bool read_only() const { return read_only_; }
    const DatasetRegistryPtr& registry() const { return registry_; }
    const std::shared_ptr<Journal>& journal() const { return journal_; }
    uint64_t max_identifier() const;

    // ---- datasets ----
    // Without a builder: the store's defaults (sizes, compress level and type).
    Result<Dataset> create_dataset(const std::string& name, const std::string& dataset_type,
                                   const std::optional<DatasetConfigBuilder>& builder = std::nullopt);
    Result<Dataset> open_dataset(const std::string& name, const std::string& dataset_type);
    Result<Dataset> open_dataset_by_identifier(uint64_t identifier);
    // Opens the dataset when needed; it stays open and registered.
    Result<DataSetInspectResult> inspect_dataset(const std::string& name, const std::string& dataset_type);
    Status drop_dataset(const std::string& name, const std::string& dataset_type);
    // Every dataset directory, sorted by name, then type.
    Result<std::vector<ScanEntry>> scan() const;
    Result<std::vector<std::string>> dataset_names() const;
    Result<std::vector<std::string>> dataset_types(const std::string& name) const;

    // ---- journal ----
    Result<JournalQueue> open_journal_queue();
    Result<std::optional<JournalEntry>> journal_read(int64_t sequence);
    Result<std::vector<JournalEntry>> journal_query(int64_t start_sequence, int64_t end_sequence);
    Result<std::optional<uint64_t>> journal_latest_sequence();

    // ---- background tasks ----
    Result<std::chrono::nanoseconds> next_background_delay() const;
    Result<BgTick> tick_background_tasks();
    // Stops and drops the background tasks, then flushes the journal (error ignored).
    void stop_background();

private:
    // Whether the store records the creation and removal of a dataset with this setting.
    bool journalled(bool dataset_enable_journal) const;
    Store() = default;

    // What a dataset opened or created by this store receives.
    Result<DatasetRuntime> dataset_runtime(bool enable_journal) const;
    // Sets the identifier, attaches the runtime and registers the dataset.
    Result<Dataset> equip(Dataset dataset, uint64_t identifier);
    // open_dataset with the operations mutex held.
    Result<Dataset> open_locked(const DataSetKey& key);
    // Opens the dataset of key from disk (writable or read-only as the store).
    Result<Dataset> open_from_disk(const DataSetKey& key, const std::string& dir, uint64_t identifier);
    // Refuses an identifier above max_identifier; a read-only store reads the file again first.
    Status check_identifier(const DataSetKey& key, uint64_t identifier);
    Status refuse_if_read_only(std::string_view what) const;
    // The key of a create or drop: refused in a read-only store ("read-only store cannot
    // {what}"), for the journal's key, and when it breaks the key rule.
    Result<DataSetKey> changeable_key(std::string_view what, const std::string& name,
                                      const std::string& dataset_type) const;
    // The background tasks, or why there are none.
    Result<BgTasks*> background() const;

    // Declared first, so destroyed last: the store's own hold on the lock.
    StoreLockPtr lock_;
    std::string root_;
    StoreConfig config_;
    bool read_only_ = false;
    std::shared_ptr<BlockCache> cache_;
    DirtyListPtr dirty_list_;
    std::shared_ptr<Journal> journal_;
    DatasetRegistryPtr registry_;
    std::shared_ptr<RegistryCloseHook> close_hook_;
    // Registered with the file layer for as long as the store lives.
    std::shared_ptr<RegistryRelief> relief_;
    std::unique_ptr<BgTasks> bg_;

    // Serialises the operations that change the identifiers and open or remove dataset
    // directories (create, open, drop, and inspect's open), so that no two of them work on
    // one directory at once. Guards max_identifier_ and identifiers_.
    std::unique_ptr<std::mutex> ops_mu_ = std::make_unique<std::mutex>();
    uint64_t max_identifier_ = 0;
    // Identifier to key of the datasets created or opened through this store.
    std::unordered_map<uint64_t, DataSetKey, IdentifierHash> identifiers_;
};

}  // namespace brenvale
