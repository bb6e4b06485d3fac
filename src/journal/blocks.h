// Decoded journal blocks kept for reads, so that a consumer reading its way through a
// sealed block (one record per poll) decodes the block once, not once per record.
//
// A decoded block is kept with the offset of each of its frames, so any of its records is
// found at once. It lives in the store's block cache under the owner 0, which no dataset
// uses (a dataset caches blocks only under its identifier, and identifiers start at 1),
// keyed by the segment's base sequence and the block's position in the segment. Its
// bytes there: the decoded frames, a u32 offset per frame, then u64 first sequence, u32
// frame count and u32 decoded length. Besides, the log keeps the last block it decoded,
// so that reading on through one block needs no cache (nor one that is disabled).
//
// Only sealed blocks that a writer can no longer change are kept: their bytes, and where
// they start, never change while the file exists under its name.
//
// No locking: the journal log mutex serialises every call (and is held while the block
// cache's lock is taken).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "cache.h"

namespace brenvale {

// One record of the journal: its sequence and payload.
struct JournalEntry {
    uint64_t sequence = 0;
    std::vector<uint8_t> payload;
    bool operator==(const JournalEntry&) const = default;
};

// The block cache owner of journal blocks.
inline constexpr uint64_t kJournalCacheOwner = 0;

// Where a block of a segment starts: its position (relative to the data start) and its
// first sequence.
struct JournalBlockStart {
    uint64_t position = 0;
    uint64_t first_sequence = 0;
};

// A decoded journal block with its frame offsets (a view over the cached bytes).
class JournalBlock {
public:
    // The decoded payload of a block that holds exactly `count` frames with consecutive
    // sequences from `first`, with its frame offsets; nothing when it does not.
    static std::optional<JournalBlock> index(std::span<const uint8_t> decoded, uint64_t first, uint64_t count);

    uint64_t first_sequence() const { return first_; }
    uint64_t count() const { return count_; }
    bool holds(uint64_t sequence) const { return sequence >= first_ && sequence - first_ < count_; }
    // Appends the records from..to that the block holds to out, in order; returns the
    // sequence after the last one appended (from when none).
    uint64_t copy_out(uint64_t from, uint64_t to, std::vector<JournalEntry>& out) const;
    const HotBlockPtr& hot() const { return hot_; }

private:
    friend class JournalBlocks;
    // The view of bytes that index made; nothing for anything else.
    static std::optional<JournalBlock> view(HotBlockPtr hot);

    HotBlockPtr hot_;
    uint64_t first_ = 0;
    uint64_t count_ = 0;
    uint64_t payload_len_ = 0;
};

// The decoded blocks of one journal log.
class JournalBlocks {
public:
    // cache: the store's block cache; none (or a disabled one) keeps the last block only.
    explicit JournalBlocks(std::shared_ptr<BlockCache> cache = nullptr) : cache_(std::move(cache)) {}

    // The kept block at a position of the segment starting at segment_base.
    std::optional<JournalBlock> find(uint64_t segment_base, uint64_t position);
    // Keeps a block; returns the one kept now under its key (an equal one kept before).
    // A single-record block goes to the cache only: it may be large, and it holds one record.
    JournalBlock keep(uint64_t segment_base, uint64_t position, JournalBlock block, bool single_record);
    // Forgets every kept block (a segment file was replaced under its name).
    void forget_all();

private:
    std::shared_ptr<BlockCache> cache_;
    BlockKey last_key_;
    std::optional<JournalBlock> last_;
};

}  // namespace brenvale
