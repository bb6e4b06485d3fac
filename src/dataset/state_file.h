// The dataset `state` file: a 72-byte mapped record of the totals of finished data
// segments, the index range of the closed index segments and the retention floor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "error.h"
#include "file.h"
#include "format/state.h"

namespace brenvale {

class DatasetStateFile {
public:
    DatasetStateFile() = default;
    DatasetStateFile(DatasetStateFile&&) noexcept = default;
    DatasetStateFile& operator=(DatasetStateFile&& o) noexcept;
    DatasetStateFile(const DatasetStateFile&) = delete;
    DatasetStateFile& operator=(const DatasetStateFile&) = delete;
    ~DatasetStateFile();

    // Writable open: a file with a bad size, magic or version is recreated empty (with a
    // warning); a missing file is created; I/O and mapping failures are returned.
    static Result<DatasetStateFile> open_or_create(const std::string& dataset_dir);
    // Read-only open: reads the file without mapping it; never writes or recreates.
    static Result<DatasetStateFile> open_read_only(const std::string& dataset_dir);
    // Read-only: reads the file again, as a writer in another process may have rewritten
    // it; a missing or invalid file leaves the values read last. Writable: nothing.
    Status reload();

    const DatasetStateRecord& fields() const { return f_; }

    uint64_t stats_watermark() const { return f_.stats_watermark; }
    // Folds finished data segments into the totals and moves the watermark.
    // Each tuple: record count, data length, unpadded record bytes, invalid record count.
    struct Totals {
        uint64_t record_count = 0;
        uint64_t data_length = 0;
        uint64_t unpadded_record_bytes = 0;
        uint64_t invalid_record_count = 0;
    };
    Status add_segment_totals(uint64_t watermark, const Totals* items, size_t count);
    // Replaces the four totals by the sum of the items and sets the watermark (totals
    // counted again from the segment files).
    Status recount(uint64_t watermark, const Totals* items, size_t count);
    // The index range of the closed index segments; nothing = none.
    Status update_range(std::optional<std::pair<int64_t, int64_t>> range);
    Status set_range(int64_t min, int64_t max);
    Status increment_invalid();
    Status subtract_stats(const Totals& t);
    // Returns the floor after the call; the floor never moves back.
    Result<int64_t> advance_retention_floor(int64_t threshold);
    // Opens the file again when it was released, so that the next change needs no new
    // descriptor (writable; nothing otherwise).
    Status prepare();
    // Writes the record when it holds unwritten changes.
    Status flush() { return clean_ ? Status() : persist(); }
    // Writes what is unwritten, then closes the file; the next change opens it again.
    Status release();
    bool holds_file() const { return file_.is_open(); }
    Status close();


private:
    Status persist();
    static Result<DatasetStateFile> create(const std::string& dir, const std::string& path);

    std::string path_;
    MappedFile file_;
    DatasetStateRecord f_;
    bool clean_ = true;
    bool read_only_ = false;
    bool closed_ = false;  // by close(), for good (a released file opens again)
};

}  // namespace brenvale
