// What the store hands a dataset (DatasetRuntime), and the two interfaces through which a
// dataset reaches the store: the journal hook and the close hook.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "cache.h"
#include "dirty_list.h"
#include "error.h"
#include "format/index_entry.h"
#include "queue/notify.h"
#include "types.h"

namespace brenvale {

// Receives every record write, delete and append of a journalled dataset.
class JournalHook {
public:
    virtual ~JournalHook() = default;
    // Gets what the append of one record event (write, delete or append) will need — room in
    // the log's newest segment, that segment open — before the dataset changes the record, so
    // that a full disk refuses the change before it is made. A successful call holds that room
    // until a record_* call uses it or cancel_record gives it back.
    virtual Status reserve_record() { return {}; }
    virtual void cancel_record() {}
    virtual Status record_write(uint64_t identifier, const IndexEntry& entry) = 0;
    virtual Status record_delete(uint64_t identifier, const IndexEntry& entry) = 0;
    // before: the record's data length before the append (0 when the append created it).
    virtual Status record_append(uint64_t identifier, const IndexEntry& entry, uint32_t before,
                                 uint32_t appended) = 0;
    // Moves the wake callbacks that the calls above collected on this thread into `into`;
    // the dataset runs them once its mutex is released.
    virtual void collect_wakes(std::vector<PollCallback>& into) { (void)into; }
};

class Dataset;

// Told after a dataset has closed; the store removes it from its registry, but only when
// the registered handle is that dataset (a stale handle closed again must not unregister
// a newer open of the same key).
class DatasetCloseHook {
public:
    virtual ~DatasetCloseHook() = default;
    virtual void dataset_closed(const DataSetKey& key, const Dataset& dataset) = 0;
};

// The writable store's hold on its directory lock (store/store.h). Every handle that can
// write keeps a reference, so the lock is released only with the last of them.
class StoreLock;

// What the store hands a dataset.
struct DatasetRuntime {
    std::shared_ptr<BlockCache> block_cache;
    std::shared_ptr<JournalHook> journal_hook;
    DirtyListPtr dirty_list;
    std::shared_ptr<DatasetCloseHook> close_hook;
    bool read_only = false;
    // Held while the dataset is open in a writable store; released by its close.
    std::shared_ptr<const StoreLock> store_lock;
};

}  // namespace brenvale
