// The journal record: the encoded payload of one journal sequence, one per dataset event
// (dataset created or dropped, record written, deleted or appended to).
//
// Layout (little-endian): u8 log type, u8 identifier width code (1, 2, 3, 4 for 1, 2, 4,
// 8 bytes), the dataset identifier in that width, then the fields of the log type.
// Create and drop: tag/length/value fields {u8 tag, u16 length, value} 16 name, 17 dataset
// type, 18 the tag/length/value area of the dataset's meta file. Write, delete and append:
// tag 16 with the 18-byte index information (i64 timestamp, u64 block offset, u16 slot);
// append also tag 17 with two u32 values (length before the append, bytes appended).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "types.h"

namespace brenvale {

enum class JournalLogType : uint8_t {
    CreateDataset = 1,
    DropDataset = 2,
    RecordWrite = 17,
    RecordDelete = 18,
    RecordAppend = 19,
};

inline constexpr size_t kJournalNameMax = 255;
inline constexpr size_t kJournalFieldValueMax = 65535;

inline constexpr uint8_t kJournalTagName = 16;
inline constexpr uint8_t kJournalTagDatasetType = 17;
inline constexpr uint8_t kJournalTagMetadata = 18;
inline constexpr uint8_t kJournalTagIndexInfo = 16;
inline constexpr uint8_t kJournalTagAppendInfo = 17;
inline constexpr size_t kJournalIndexInfoSize = 18;
inline constexpr size_t kJournalAppendInfoSize = 8;
// The largest encoded record event: an append (type, width code, an 8-byte identifier,
// tag 16 with the index information, tag 17 with the append information).
inline constexpr size_t kJournalMaxRecordEventSize = 2 + 8 + 1 + kJournalIndexInfoSize + 1 + kJournalAppendInfoSize;
// The largest encoded record of any type: a create or drop with an 8-byte identifier, the
// longest name and type and the largest metadata.
inline constexpr size_t kJournalMaxRecordSize = 2 + 8 + 2 * (3 + kJournalNameMax) + 3 + kJournalFieldValueMax;

// The significant fields of the record's index entry.
struct JournalIndexInfo {
    int64_t timestamp = 0;
    uint64_t block_offset = 0;
    uint16_t in_block = 0;  // slot in the block
    bool operator==(const JournalIndexInfo&) const = default;
};

struct JournalAppendInfo {
    uint32_t before = 0;    // the record's data length before the append (0: the append created it)
    uint32_t appended = 0;  // bytes appended
    bool operator==(const JournalAppendInfo&) const = default;
};

// The width code of an identifier: the smallest of 1 (1 byte), 2 (2), 3 (4), 4 (8) that holds it.
uint8_t journal_identifier_width_code(uint64_t identifier);

// One dataset event. Parts that a log type does not carry are absent, not empty.
struct JournalRecord {
    JournalLogType type = JournalLogType::RecordWrite;
    uint64_t identifier = 0;
    std::optional<std::string> name;
    std::optional<std::string> dataset_type;
    std::optional<std::vector<uint8_t>> metadata;
    std::optional<JournalIndexInfo> index_info;
    std::optional<JournalAppendInfo> append_info;

    bool operator==(const JournalRecord&) const = default;

    static JournalRecord create_dataset(uint64_t identifier, std::string name, std::string dataset_type,
                                        std::vector<uint8_t> metadata);
    static JournalRecord drop_dataset(uint64_t identifier, std::string name, std::string dataset_type,
                                      std::vector<uint8_t> metadata);
    static JournalRecord record_write(uint64_t identifier, JournalIndexInfo index);
    static JournalRecord record_delete(uint64_t identifier, JournalIndexInfo index);
    static JournalRecord record_append(uint64_t identifier, JournalIndexInfo index, uint32_t before,
                                       uint32_t appended);

    // The payload bytes, or the invalid-data error of the first missing or oversized part.
    Result<std::vector<uint8_t>> encode() const;
    // Appends the payload to out (left as it was on error), so that a caller can reuse one buffer.
    Status encode_into(std::vector<uint8_t>& out) const;
    // Reads a payload back. Every length is checked against the bytes given: a truncated or
    // otherwise malformed payload is an invalid-data error, never a read past its end.
    static Result<JournalRecord> decode(std::span<const uint8_t> bytes);
};

// Refuses, before anything changes, a dataset event that could not be encoded.
Status validate_dataset_event(uint64_t identifier, const DataSetKey& key, size_t metadata_length);
// The encoded size of a dataset event (create or drop) that validate_dataset_event takes.
size_t dataset_event_size(uint64_t identifier, const DataSetKey& key, size_t metadata_length);

// The tag/length/value area of a dataset meta file: bytes 8 to 8 + the u16 at byte 6.
Result<std::vector<uint8_t>> read_meta_tlv_area(const std::string& path);

}  // namespace brenvale
