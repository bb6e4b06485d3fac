#include "journal/blocks.h"

#include <cstring>

#include "buffer.h"
#include "format/frame.h"
#include "util.h"

namespace brenvale {

namespace {

// After the frames and their offsets: u64 first sequence, u32 frame count, u32 decoded length.
constexpr size_t kTrailerLen = 16;

}  // namespace

std::optional<JournalBlock> JournalBlock::index(std::span<const uint8_t> decoded, uint64_t first, uint64_t count) {
    if (count == 0 || count > UINT32_MAX || decoded.size() > UINT32_MAX) return std::nullopt;
    const size_t table = static_cast<size_t>(count) * 4;
    BlockBuffer bytes = BlockBuffer::allocate(decoded.size() + table + kTrailerLen);
    uint8_t* out = bytes.data();
    std::memcpy(out, decoded.data(), decoded.size());
    uint8_t* offsets = out + decoded.size();
    uint64_t off = 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (!range_within(off, kFrameHeadLen, decoded.size())) return std::nullopt;
        const uint8_t* f = decoded.data() + off;
        if (load_u64(f + journal_frame_at::kSequence) != first + i) return std::nullopt;
        const uint64_t len = load_u32(f + journal_frame_at::kLength);
        if (!range_within(off + kFrameHeadLen, len, decoded.size())) return std::nullopt;
        store_u32(offsets + i * 4, static_cast<uint32_t>(off));
        off += kFrameHeadLen + len;
    }
    if (off != decoded.size()) return std::nullopt;
    uint8_t* trailer = offsets + table;
    store_u64(trailer, first);
    store_u32(trailer + 8, static_cast<uint32_t>(count));
    store_u32(trailer + 12, static_cast<uint32_t>(decoded.size()));
    JournalBlock b;
    b.hot_ = std::make_shared<const HotBlock>(std::move(bytes));
    b.first_ = first;
    b.count_ = count;
    b.payload_len_ = decoded.size();
    return b;
}

std::optional<JournalBlock> JournalBlock::view(HotBlockPtr hot) {
    if (!hot || hot->size() < kTrailerLen) return std::nullopt;
    const std::span<const uint8_t> bytes = hot->bytes();
    const uint8_t* trailer = bytes.data() + bytes.size() - kTrailerLen;
    JournalBlock b;
    b.first_ = load_u64(trailer);
    b.count_ = load_u32(trailer + 8);
    b.payload_len_ = load_u32(trailer + 12);
    if (b.count_ == 0 || b.payload_len_ + b.count_ * 4 + kTrailerLen != bytes.size()) return std::nullopt;
    b.hot_ = std::move(hot);
    return b;
}

uint64_t JournalBlock::copy_out(uint64_t from, uint64_t to, std::vector<JournalEntry>& out) const {
    if (from < first_) from = first_;
    const uint64_t last = first_ + count_ - 1;
    if (to > last) to = last;
    const uint8_t* base = hot_->bytes().data();
    const uint8_t* offsets = base + payload_len_;
    uint64_t s = from;
    for (; s <= to; ++s) {
        const uint8_t* f = base + load_u32(offsets + (s - first_) * 4);
        const uint32_t len = load_u32(f + journal_frame_at::kLength);
        const uint8_t* data = f + journal_frame_at::kPayload;
        out.push_back(JournalEntry{s, std::vector<uint8_t>(data, data + len)});
    }
    return s;
}

std::optional<JournalBlock> JournalBlocks::find(uint64_t segment_base, uint64_t position) {
    const BlockKey key{kJournalCacheOwner, segment_base, position};
    if (last_ && last_key_ == key) return last_;
    if (!cache_) return std::nullopt;
    auto found = JournalBlock::view(cache_->get(key));
    if (found && found->count() > 1) {
        last_key_ = key;
        last_ = found;
    }
    return found;
}

JournalBlock JournalBlocks::keep(uint64_t segment_base, uint64_t position, JournalBlock block, bool single_record) {
    const BlockKey key{kJournalCacheOwner, segment_base, position};
    if (cache_) {
        if (auto cached = JournalBlock::view(cache_->insert(key, block.hot()))) block = std::move(*cached);
    }
    if (!single_record) {
        last_key_ = key;
        last_ = block;
    }
    return block;
}

void JournalBlocks::forget_all() {
    last_.reset();
    if (cache_) cache_->remove_owner(kJournalCacheOwner);
}

}  // namespace brenvale
