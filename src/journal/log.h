// The journal log: the sequence-numbered record log of a store, kept as journal segment
// files under <root>/.journal/logs/data/, each named by the first sequence it holds, and
// the marker text file <root>/.journal/logs/meta. Sequences run from 1 up to 2^63 - 2;
// appends go to the last segment, and a full one rolls over to a new segment.
//
// A sequence is never handed out twice: a segment left damaged by a crash (fewer records
// in its blocks than its state counted) is followed by a new segment that starts after
// the counted records, and the sequences in between stay absent.
//
// Only the newest segment stays open (a descriptor and a mapping); the older ones are
// listed by name, their headers checked at open, and each is opened for the read that
// needs it and closed after it. Reads keep what they learn: where each segment's blocks
// start and the decoded sealed blocks (JournalBlocks), so that reading record after
// record decodes each block once and an older segment is opened only for a block not kept. A read-only log follows a writer in another process: each
// read looks at the newest segment's record count again and lists the directory again
// when it changed, so that records and segments added since are read.
//
// No locking inside: the journal handle serialises every call through its log mutex.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "config.h"
#include "error.h"
#include "file.h"
#include "journal/record.h"
#include "journal/segment.h"

namespace brenvale {

// The greatest sequence ever assigned.
inline constexpr uint64_t kMaxJournalSequence = (uint64_t{1} << 63) - 2;
inline constexpr std::string_view kJournalMetaText = "brenvale journal v1\n";

// What the log takes from the store configuration.
struct JournalLogOptions {
    uint64_t segment_size_limit = 0;    // data_segment_size
    uint64_t initial_segment_size = 0;  // initial_data_segment_size
    uint8_t compress_type = 0;
    uint8_t compress_level = 0;
    // The store's block cache, where decoded blocks are kept; none keeps the last one only.
    std::shared_ptr<BlockCache> block_cache = nullptr;

    static JournalLogOptions from(const StoreConfig& config);
};

class JournalLog {
public:
    JournalLog(JournalLog&&) noexcept = default;
    JournalLog& operator=(JournalLog&&) noexcept = default;

    // Opens the log in logs_dir, creating the directories and the meta file when missing.
    // A segment that cannot be opened fails the open when it is the newest; an older one
    // whose header is unusable is skipped with a warning (its sequences read as absent).
    static Result<JournalLog> open(const std::string& logs_dir, const JournalLogOptions& options);
    // Opens an existing log read-only; nothing when logs_dir or its data directory is
    // missing. Creates and repairs nothing.
    static Result<std::optional<JournalLog>> open_read_only(const std::string& logs_dir,
                                                            const JournalLogOptions& options);

    // Appends one record payload; returns its sequence. A failed append leaves the next
    // sequence as it was. `reserved`: the append takes the room of one held reservation,
    // made for a payload of `reserved_size` bytes (when there is one), whatever becomes of
    // it. While reservations are held, any other append first readies room for itself and
    // all of them (ready_room).
    Result<uint64_t> append(std::span<const uint8_t> payload, bool reserved = false,
                            uint64_t reserved_size = kJournalMaxRecordEventSize);
    // Holds room for one more append of a payload of at most `payload_size` bytes (a record
    // event by default; a dataset event carries more) beside those held already: the newest
    // segment is readied for all of them (ready_room), rolling over when it cannot take
    // them, so that their appends need no new blocks, no new file and no new descriptor. On
    // failure nothing more is held.
    Status reserve(uint64_t payload_size = kJournalMaxRecordEventSize);
    // Gives one held reservation (made for `payload_size`) back.
    void release(uint64_t payload_size = kJournalMaxRecordEventSize);
    uint64_t reserved() const { return reserved_; }
    // The record of a sequence; nothing when the log does not hold it.
    Result<std::optional<JournalEntry>> read(int64_t sequence);
    // The records of start..end (inclusive) that the log holds, in ascending order; each
    // block is decoded once.
    Result<std::vector<JournalEntry>> read_range(int64_t start, int64_t end);
    // A read-only log: takes in what a writer added since the last look (the newest
    // segment's records, new segment files) and moves the next sequence on.
    Status follow_writer();
    // msync of every segment changed since its last flush, in ascending order.
    Status flush();
    // Adds a new, empty last segment starting at base_sequence.
    Status create_segment(uint64_t base_sequence);

    uint64_t next_sequence() const { return next_sequence_; }
    const std::string& data_dir() const { return data_dir_; }
    size_t segment_count() const { return segments_.size(); }
    // The newest segment when it is open (for inspection); null otherwise.
    const JournalSegment* newest_segment() const { return newest(); }
    // Segments holding a descriptor and a mapping now (the newest; none between calls otherwise).
    size_t open_segment_count() const;

private:
    // A segment file of the log.
    struct Listed {
        std::string path;
        uint64_t file_id = 0;     // its inode when listed: a file replaced under its name is seen
        bool checked = false;     // its header was looked at (or it was open)
        bool unreadable = false;  // its header was refused: its sequences read as absent
        std::unique_ptr<JournalSegment> open;  // the newest segment; null for the others
        std::vector<JournalBlockStart> starts;  // where its blocks start, as reads found them
    };

    JournalLog() = default;
    static Result<JournalLog> open_impl(const std::string& logs_dir, const JournalLogOptions& options,
                                        bool read_only);
    // The segment files of the data directory by base sequence. The first listing warns
    // about names that are no segment's and a writable log's removes unfinished files.
    Result<std::map<uint64_t, Listed>> list_segment_files(bool first_listing);
    // Takes a listing in: new and replaced files are added, an older one's header checked.
    void take_listing(std::map<uint64_t, Listed> found);
    // Opens the newest segment when it is not open and closes the older ones (a writable
    // log flushes what it closes).
    Status open_newest();
    // Finds the segment files, opens the newest and sets the next sequence.
    Status load_segments();
    // The next sequence after the newest segment's records.
    Result<uint64_t> sequence_after_newest();
    // Readies the newest segment (made when there is none) to take, without a seal, a
    // grow or a new file, the appends of `reserved` held payloads in frames of
    // `reserved_bytes` in all, after one append of a frame of `first` bytes (0: none); the
    // sequences they take must exist. A newest segment that cannot take them is flushed and
    // followed by a new one at the next sequence, as an append rolls over.
    Status ready_room(uint64_t first, uint64_t reserved, uint64_t reserved_bytes);
    JournalSegment* newest() const;
    // Appends the records from..to of a segment that its kept blocks hold, in order, up to
    // the first one they do not; returns the sequence after the last one appended.
    uint64_t read_kept(uint64_t base, const Listed& l, uint64_t from, uint64_t to, std::vector<JournalEntry>& out);

    std::string logs_dir_;
    std::string data_dir_;
    JournalLogOptions options_;
    bool read_only_ = false;
    std::map<uint64_t, Listed> segments_;
    uint64_t next_sequence_ = 1;
    uint64_t reserved_ = 0;        // reservations held (a writable log)
    uint64_t reserved_bytes_ = 0;  // the frames they hold room for
    JournalBlocks blocks_;
    DirectoryWatch watch_;  // read-only: when to list the data directory again
};

}  // namespace brenvale
