// The query iterator: one dataset lock per index step and one per record read, never held
// between calls.
#include "dataset/inner.h"

namespace brenvale {

using namespace dataset_detail;

Result<QueryIterator> Dataset::query(int64_t start, int64_t end) {
    Guard g = BRVL_TRY(lock_read());
    int64_t lo = BRVL_TRY(raise_to_threshold(*g, start));
    QueryIterator it(*this);
    it.lo_ = lo;
    it.hi_ = end;
    it.exhausted_ = lo > end;
    return it;
}

// ---- query iterator ----

// Records expire while an iterator lives: every step starts at the retention threshold of
// its moment, so that it returns only what a read would and never steps onto entries whose
// data segment a retention pass has deleted.
Status QueryIterator::raise_to_current_threshold(const DatasetInner& in) {
    const int64_t lo = BRVL_TRY(raise_to_threshold(in, lo_));
    if (lo != lo_) {
        lo_ = lo;
        cursor_.reset();  // a fresh search from the new bound, not a walk over what expired
    }
    return ok_status();
}

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
            BRVL_TRY(dataset_.with_read_lock([&](DatasetInner& in) -> Status {
                BRVL_TRY(raise_to_current_threshold(in));
                std::optional<IndexCursor> cur;
                while (n > 0) {
                    auto hit = BRVL_TRY(front ? in.index.next_forward(lo_, hi_, cur)
                                              : in.index.next_backward(lo_, hi_, cur));
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
                return ok_status();
            }));
            cursor_.reset();
            continue;
        }
        if (lo_ > hi_) {
            exhausted_ = true;
            continue;
        }
        // Under the lock: the next entry, continuing from the cursor (straight from its
        // segment when it can, else by search).
        IndexEntry entry;
        bool found = false;
        BRVL_TRY(dataset_.with_read_lock([&](DatasetInner& in) -> Status {
            BRVL_TRY(raise_to_current_threshold(in));
            if (lo_ > hi_) return ok_status();
            if (!cursor_ || !in.index.step_from_cursor(lo_, hi_, *cursor_, !reverse_, entry)) {
                auto hit = BRVL_TRY(reverse_ ? in.index.next_backward(lo_, hi_, cursor_)
                                             : in.index.next_forward(lo_, hi_, cursor_));
                if (!hit) return ok_status();
                entry = hit->entry;
                if (entry.timestamp < lo_ || entry.timestamp > hi_)
                    return invalid_data_fmt("index entry at timestamp {} lies outside [{}, {}]", entry.timestamp, lo_,
                                            hi_);
                cursor_ = hit->cursor();
            }
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
            found = true;
            return ok_status();
        }));
        if (!found) {
            exhausted_ = true;
            continue;
        }
        if (entry.is_sentinel()) continue;
        // Under the lock again: the record (or its length), read into the result itself,
        // unless it expired between the two steps.
        bool expired = false;
        auto item = dataset_.with_read_lock([&](DatasetInner& in) -> Result<std::optional<Item>> {
            expired = BRVL_TRY(is_expired(in, entry.timestamp));
            if (expired) return std::optional<Item>();
            Result<std::optional<Item>> out{std::optional<Item>(std::in_place)};
            BRVL_TRY(read(in, entry, **out));
            stamp(in);
            return out;
        });
        if (expired) continue;
        return item;
    }
}

Result<std::optional<Record>> QueryIterator::next() {
    return step<Record>(
        [this](DatasetInner& in, const IndexEntry& e, Record& out) { return read_entry_hot(in, e, hot_, out); });
}

Result<std::optional<RecordLength>> QueryIterator::next_length() {
    return step<RecordLength>([this](DatasetInner& in, const IndexEntry& e, RecordLength& out) -> Status {
        out = RecordLength{e.timestamp, BRVL_TRY(read_length_hot(in, e, hot_))};
        return ok_status();
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
