// The dirty list: changed segment files and consumer states put one entry naming
// themselves here, and the flushes take entries off and flush exactly those files.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "types.h"

namespace brenvale {

struct DirtyTarget {
    enum class Kind : uint8_t { DataSegment, IndexSegment, QueueState };

    Kind kind = Kind::DataSegment;
    uint64_t data_base = 0;   // DataSegment: base offset
    int64_t index_start = 0;  // IndexSegment: start timestamp
    std::string group;        // QueueState: consumer group name

    static DirtyTarget data_segment(uint64_t base) { return {Kind::DataSegment, base, 0, {}}; }
    static DirtyTarget index_segment(int64_t start) { return {Kind::IndexSegment, 0, start, {}}; }
    static DirtyTarget queue_state(std::string group) { return {Kind::QueueState, 0, 0, std::move(group)}; }
    bool operator==(const DirtyTarget&) const = default;
};

struct DirtyEntry {
    DataSetKey key;
    DirtyTarget target;
};

class DirtyList {
public:
    void push(DirtyEntry entry);
    // Every entry, leaving the list empty.
    std::vector<DirtyEntry> take_all();
    // Every entry of one dataset, leaving the others in their order.
    std::vector<DirtyTarget> take_for(const DataSetKey& key);
    size_t size() const;

private:
    mutable std::mutex mu_;
    std::deque<DirtyEntry> entries_;
};

using DirtyListPtr = std::shared_ptr<DirtyList>;

// A dataset key with a handle to the dirty list, so a segment can report itself
// without knowing its dataset.
class DirtyNotifier {
public:
    DirtyNotifier(DataSetKey key, DirtyListPtr list) : key_(std::move(key)), list_(std::move(list)) {}
    void mark_dirty(DirtyTarget target) const { list_->push(DirtyEntry{key_, std::move(target)}); }
    const DataSetKey& key() const { return key_; }

private:
    DataSetKey key_;
    DirtyListPtr list_;
};

}  // namespace brenvale
