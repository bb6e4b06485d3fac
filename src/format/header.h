// The common segment file header (fixed prefix, tag/length/value metadata, state block)
// and the data, index and journal segment header layouts with their state fields. All integers
// little-endian; readers and writers work on mapped bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "error.h"
#include "format/block.h"

namespace brenvale {

inline constexpr uint8_t kFileTypeIndex = 1;
inline constexpr uint8_t kFileTypeData = 2;
inline constexpr uint8_t kFileTypeJournal = 3;

inline constexpr uint16_t kHeaderVersion = 1;

// The fixed prefix: magic, version, file type, metadata length.
namespace header_at {
inline constexpr size_t kMagic = 0;          // 4 bytes "BRVL"
inline constexpr size_t kVersion = 4;        // u16
inline constexpr size_t kFileType = 6;       // u8
inline constexpr size_t kContentLength = 7;  // u16: length of the metadata area
inline constexpr size_t kMeta = 9;           // metadata entries: u8 tag, u16 length, value
}  // namespace header_at
inline constexpr size_t kHeaderMagicLen = 4;
inline constexpr size_t kHeaderPrefixLen = 9;
inline constexpr size_t kMetaEntryHeadLen = 3;  // tag and length
inline constexpr uint16_t kMetaContentLength = 41;
// Where the state block lies in every file this system writes (after the 41-byte area).
inline constexpr size_t kStateLengthPos = kHeaderPrefixLen + kMetaContentLength;  // 50
inline constexpr size_t kStatePos = kStateLengthPos + 2;                          // 52

// Data segment state block: nine 64-bit fields, offsets within the block.
namespace data_state_at {
inline constexpr size_t kMin = 0;           // i64 smallest timestamp
inline constexpr size_t kMax = 8;           // i64 largest timestamp
inline constexpr size_t kWrote = 16;        // u64 absolute end of the written blocks
inline constexpr size_t kCount = 24;        // u64 records
inline constexpr size_t kRaw = 32;          // u64 sum of 12 + data length
inline constexpr size_t kPendPos = 40;      // u64 pending block position (relative), all ones: none
inline constexpr size_t kPendWrote = 48;    // u64 pending payload bytes
inline constexpr size_t kPendCount = 56;    // u64 pending records
inline constexpr size_t kInvalid = 64;      // u64 deleted or replaced records
}  // namespace data_state_at
inline constexpr uint16_t kDataStateLength = 72;
inline constexpr size_t kDataHeaderLen = kStatePos + kDataStateLength;  // 124

// Index segment state block: the written position (entries follow at byte 128).
namespace index_state_at {
inline constexpr size_t kWrote = 0;  // u64 128 + 32 x entries
}
inline constexpr uint16_t kIndexStateLength = 8;
inline constexpr size_t kIndexHeaderLen = 128;  // entries start here

// Journal segment state block: seven 64-bit fields, offsets within the block. Blocks start
// at byte 108 whatever the metadata area's length.
namespace journal_state_at {
inline constexpr size_t kFileSize = 0;    // u64 file length when the state was last written
inline constexpr size_t kWrote = 8;       // u64 absolute end of the written blocks
inline constexpr size_t kCount = 16;      // u64 records
inline constexpr size_t kRaw = 24;        // u64 sum of 12 + payload length
inline constexpr size_t kPendPos = 32;    // u64 pending block position (relative), all ones: none
inline constexpr size_t kPendWrote = 40;  // u64 pending payload bytes
inline constexpr size_t kPendCount = 48;  // u64 pending records
}  // namespace journal_state_at
inline constexpr uint16_t kJournalStateLength = 56;
inline constexpr size_t kJournalHeaderLen = kStatePos + kJournalStateLength;  // 108

inline constexpr uint64_t kNoPendingBlock = ~uint64_t{0};

// Where the state block of a file made of blocks (data and journal segments) keeps the
// fields of its blocks, as offsets within the state block.
struct BlockStateLayout {
    uint8_t file_type = 0;
    size_t wrote = 0;             // u64 absolute end of the written blocks
    size_t count = 0;             // u64 records
    size_t raw = 0;               // u64 sum of 12 + data length
    size_t pending_position = 0;  // u64 relative to the data start; all ones: none
    size_t pending_wrote = 0;     // u64 pending payload bytes
    size_t pending_count = 0;     // u64 pending records
    size_t last_field = 0;        // the last 8-byte field of the block
};
inline constexpr BlockStateLayout kDataBlockState{kFileTypeData,      data_state_at::kWrote,    data_state_at::kCount,
                                                  data_state_at::kRaw, data_state_at::kPendPos, data_state_at::kPendWrote,
                                                  data_state_at::kPendCount, data_state_at::kInvalid};
inline constexpr BlockStateLayout kJournalBlockState{
    kFileTypeJournal,          journal_state_at::kWrote,     journal_state_at::kCount,
    journal_state_at::kRaw,    journal_state_at::kPendPos,   journal_state_at::kPendWrote,
    journal_state_at::kPendCount, journal_state_at::kPendCount};

// The common length check behind every "truncated {}: need {} bytes, got {}" message.
Status check_available(std::string_view name, size_t need, size_t have);

struct HeaderPrefix {
    uint16_t version = 0;
    uint8_t file_type = 0;
    uint16_t content_length = 0;
};

// The five metadata values; a missing entry reads as 0.
struct HeaderMeta {
    // Bits of `present`: which entries a read found (with their own width).
    static constexpr uint8_t kHasCreated = 1, kHasStartKey = 2, kHasSizeLimit = 4, kHasCompressLevel = 8,
                             kHasCompressType = 16;

    uint64_t created_ms = 0;
    uint64_t start_key = 0;   // data: base offset; index: start timestamp bits; journal: base sequence
    uint64_t size_limit = 0;
    uint8_t compress_level = 0;
    uint8_t compress_type = 0;
    uint8_t present = 0;
    bool truncated = false;  // an entry ran past the end of the area
};

struct FileHeader {
    // Magic, version (warning for 2 and above), file type and content length.
    static Result<HeaderPrefix> read_prefix(std::span<const uint8_t> bytes);
    static Result<HeaderMeta> read_meta(std::span<const uint8_t> bytes, uint16_t content_length);
    // Writes the prefix (magic, version 1, file_type, content_length 41) and the five
    // entries into bytes 0..49. The caller guarantees at least 50 bytes.
    static void write_prefix_and_meta(std::span<uint8_t> bytes, uint8_t file_type, const HeaderMeta& meta);
    // The version of a header whose prefix was checked.
    static uint16_t version(std::span<const uint8_t> bytes);
    // Checks the header and returns the position of the state block, for in-place writes.
    static Result<size_t> locate_state(std::span<const uint8_t> bytes, uint8_t expected_file_type,
                                       size_t field_offset);
};

// Where the state block of a mapped header lies. The header of a mapped file does not
// change, so the block is located once per mapping (known by its address and length).
class StateLocator {
public:
    // The state block's position in `bytes`, located again when the mapping changed. A file
    // of a newer version is located (and warned about) on every call, unless
    // `once_for_newer` keeps its position for the mapping too.
    Result<size_t> locate(std::span<const uint8_t> bytes, uint8_t file_type, size_t field_offset,
                          bool once_for_newer = false) {
        if (bytes.data() != nullptr && bytes.data() == map_ && bytes.size() == len_) return pos_;
        return relocate(bytes, file_type, field_offset, once_for_newer);
    }
    // A new mapping: the next call locates the block again.
    void forget() { map_ = nullptr; }

private:
    Result<size_t> relocate(std::span<const uint8_t> bytes, uint8_t file_type, size_t field_offset,
                            bool once_for_newer);

    const uint8_t* map_ = nullptr;
    size_t len_ = 0;
    size_t pos_ = 0;
};

// The nine state fields of a data segment header (state offsets 0..71).
struct DataSegmentState {
    int64_t min_timestamp = INT64_MAX;
    int64_t max_timestamp = INT64_MIN;
    uint64_t wrote_position = kDataHeaderLen;
    uint64_t record_count = 0;
    uint64_t raw_record_bytes = 0;
    uint64_t pending_position = kNoPendingBlock;
    uint64_t pending_wrote_position = 0;
    uint64_t pending_count = 0;
    uint64_t invalid_record_count = 0;

    // Pending fields left set without a pending block (at rest they are zero): what a seal
    // killed after its commit, or a new block killed before its own, leaves.
    bool stale_pending_fields() const {
        return pending_position == kNoPendingBlock && (pending_wrote_position != 0 || pending_count != 0);
    }

    // State offsets 0..39.
    static Status write_core(std::span<uint8_t> bytes, int64_t min_ts, int64_t max_ts, uint64_t wrote_position,
                             uint64_t record_count, uint64_t raw_record_bytes);
    // State offsets 40..63.
    static Status write_pending(std::span<uint8_t> bytes, uint64_t position, uint64_t pending_wrote_position,
                                uint64_t pending_count);
    // State offset 64.
    static Status write_invalid_count(std::span<uint8_t> bytes, uint64_t invalid_record_count);
};

struct DataHeader {
    HeaderPrefix prefix;
    HeaderMeta meta;
    uint16_t state_length = kDataStateLength;
    DataSegmentState state;
    size_t header_length = kDataHeaderLen;

    // Writes a whole data segment header (124 bytes). The caller guarantees the room.
    static void write(std::span<uint8_t> bytes, const HeaderMeta& meta, const DataSegmentState& state);
    static Result<DataHeader> read(std::span<const uint8_t> bytes);
};

// The seven state fields of a journal segment header (state offsets 0..55). A journal
// segment's open rebuilds them from the blocks; the stored values are a hint only.
struct JournalSegmentState {
    uint64_t current_file_size = 0;
    uint64_t wrote_position = kJournalHeaderLen;
    uint64_t record_count = 0;
    uint64_t raw_record_bytes = 0;
    uint64_t pending_position = kNoPendingBlock;
    uint64_t pending_wrote_position = 0;
    uint64_t pending_record_count = 0;
    bool operator==(const JournalSegmentState&) const = default;

    // The caller guarantees the 56 bytes at state.
    static void write(uint8_t* state, const JournalSegmentState& fields);
    static JournalSegmentState read(const uint8_t* state);
};

struct JournalHeader {
    HeaderPrefix prefix;
    HeaderMeta meta;
    size_t state_position = kStatePos;
    uint16_t state_length = kJournalStateLength;
    JournalSegmentState state;  // as stored

    // Writes a whole journal segment header (108 bytes). The caller guarantees the room.
    static void write(std::span<uint8_t> bytes, const HeaderMeta& meta, const JournalSegmentState& state);
    // Checks a journal segment header in order, with the journal's texts: length, magic,
    // file type, state area, metadata entries (base sequence, file size, compress level
    // and type must be there), compress type. The version is not checked.
    static Result<JournalHeader> read(std::span<const uint8_t> bytes);
};

struct IndexHeader {
    HeaderPrefix prefix;
    HeaderMeta meta;
    uint16_t state_length = kIndexStateLength;
    uint64_t wrote_position = kIndexHeaderLen;
    size_t header_length = kIndexHeaderLen;

    // Writes a whole index segment header (128 bytes, reserved bytes zero).
    static void write(std::span<uint8_t> bytes, const HeaderMeta& meta, uint64_t wrote_position);
    static Result<IndexHeader> read(std::span<const uint8_t> bytes);
};


}  // namespace brenvale
