#include "dataset/state_file.h"

#include <cerrno>
#include <unistd.h>

#include <cstring>

#include "log.h"
#include "paths.h"
#include "util.h"

namespace brenvale {

namespace {

uint64_t sat_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t sat_sub(uint64_t a, uint64_t b) { return a < b ? 0 : a - b; }

// A file whose contents are invalid (not one that could not be read) is recreated.
bool is_invalid_contents(const Error& e) {
    return e.kind() == ErrorKind::InvalidMagic || e.kind() == ErrorKind::InvalidData;
}

}  // namespace

DatasetStateFile& DatasetStateFile::operator=(DatasetStateFile&& o) noexcept {
    if (this != &o) {
        (void)close();
        path_ = std::move(o.path_);
        file_ = std::move(o.file_);
        f_ = o.f_;
        clean_ = std::exchange(o.clean_, true);
        read_only_ = o.read_only_;
        closed_ = o.closed_;
    }
    return *this;
}

DatasetStateFile::~DatasetStateFile() {
    if (path_.empty() || read_only_) return;
    if (!clean_) {
        Status st = persist();
        if (!st.ok())
            log::error(log::kDatasetState, "[dataset-state] failed to flush state file {} on drop: {}", path_,
                       st.error().to_string());
    }
}

Status DatasetStateFile::prepare() {
    if (read_only_ || closed_ || path_.empty() || file_.is_open()) return {};
    file_ = BRVL_TRY(MappedFile::open(path_, true));
    return {};
}

Status DatasetStateFile::persist() {
    if (read_only_) {
        clean_ = true;
        return {};
    }
    if (closed_ || path_.empty()) return Error::mmap("dataset state file is not mapped");
    if (!file_.is_open()) file_ = BRVL_TRY(MappedFile::open(path_, true));  // released meanwhile
    if (file_.size() < kStateRecordLength) return Error::mmap("dataset state file is not mapped");
    // The record goes to the file in one write call, which a killed process either makes
    // whole or not at all: stores into the mapping field by field could leave a record
    // whose watermark and totals disagree.
    uint8_t record[kStateRecordLength];
    f_.encode(record);
    crash_point("state.persist");
    BRVL_TRY(file_.write_at(0, record));
    crash_point("state.persist.written");
    BRVL_TRY(file_.flush());
    clean_ = true;
    return {};
}

Result<DatasetStateFile> DatasetStateFile::create(const std::string& dir, const std::string& path) {
    BRVL_TRY(create_dir_all(dir));
    // The whole record is written under a temporary name and renamed into place, so that a
    // kill leaves the old file or no file, never an empty or zero-filled one.
    uint8_t record[kStateRecordLength];
    DatasetStateRecord{}.encode(record);
    BRVL_TRY(write_file_atomic(path, std::string_view(reinterpret_cast<const char*>(record), kStateRecordLength)));
    DatasetStateFile s;
    s.path_ = path;
    s.file_ = BRVL_TRY(MappedFile::open(path, true));
    if (s.file_.size() != kStateRecordLength) return Error::invalid_data("invalid dataset state file size");
    return s;
}

Result<DatasetStateFile> DatasetStateFile::open_or_create(const std::string& dataset_dir) {
    std::string path = paths::state_file(dataset_dir);
    if (!BRVL_TRY(path_exists(path))) return create(dataset_dir, path);

    auto opened = [&]() -> Result<DatasetStateFile> {
        DatasetStateFile s;
        s.path_ = path;
        FileHandle fd = BRVL_TRY(FileHandle::open(path, FileHandle::Mode::ReadWrite));
        uint64_t len = BRVL_TRY(fd.size());
        if (len != kStateRecordLength && len != kStateRecordLengthV1)
            return Error::invalid_data("invalid dataset state file size");
        // Validate before changing anything: read the record through a plain read.
        uint8_t buf[kStateRecordLength];
        ssize_t n = ::pread(fd.fd(), buf, len, 0);
        if (n < 0) return Error::io(errno);
        if (static_cast<uint64_t>(n) != len) return Error::invalid_data("invalid dataset state file size");
        auto [fields, v1] = BRVL_TRY(DatasetStateRecord::decode(buf, len));
        fd.close();
        if (len == kStateRecordLengthV1) {
            // Extended but not yet rewritten, the file still reads as version 1.
            FileHandle w = BRVL_TRY(FileHandle::open(path, FileHandle::Mode::ReadWrite));
            BRVL_TRY(w.reserve(kStateRecordLength));
            crash_point("state.upgrade.extended");
        }
        s.file_ = BRVL_TRY(MappedFile::open(path, true));
        s.f_ = fields;
        if (v1) {
            s.f_.retention_floor = INT64_MAX;
            s.clean_ = false;
            BRVL_TRY(s.persist());
        }
        return s;
    }();
    if (opened.ok()) return opened;
    if (!is_invalid_contents(opened.error())) return std::move(opened).error();
    log::warn(log::kDatasetState, "[dataset-state] recreating invalid state file {}: {}", path,
              opened.error().to_string());
    // The new file replaces the invalid one by a rename: no window without a file.
    crash_point("state.recreate");
    return create(dataset_dir, path);
}

Result<DatasetStateFile> DatasetStateFile::open_read_only(const std::string& dataset_dir) {
    DatasetStateFile s;
    s.path_ = paths::state_file(dataset_dir);
    s.read_only_ = true;
    auto contents = BRVL_TRY(read_file_if_exists(s.path_));
    if (contents) {
        auto [fields, v1] =
            BRVL_TRY(DatasetStateRecord::decode(reinterpret_cast<const uint8_t*>(contents->data()), contents->size()));
        (void)v1;
        s.f_ = fields;
    }
    return s;
}

Status DatasetStateFile::reload() {
    if (!read_only_) return {};
    // The writer rewrites the record with one write call, which a read may meet half
    // done: a record counts when two reads in a row agree.
    std::optional<std::string> last;
    for (int attempt = 0; attempt < 16; ++attempt) {
        auto contents = BRVL_TRY(read_file_if_exists(path_));
        if (!contents) return {};
        if (last == contents) {
            auto decoded = DatasetStateRecord::decode(reinterpret_cast<const uint8_t*>(contents->data()),
                                                      contents->size());
            if (decoded.ok()) f_ = decoded->first;
            return {};
        }
        last = std::move(contents);
    }
    return {};
}

Status DatasetStateFile::add_segment_totals(uint64_t watermark, const Totals* items, size_t count) {
    if (count == 0 && watermark <= f_.stats_watermark) return {};
    for (size_t i = 0; i < count; ++i) {
        f_.total_record_count = sat_add(f_.total_record_count, items[i].record_count);
        f_.total_data_size = sat_add(f_.total_data_size, items[i].data_length);
        f_.total_uncompressed_size = sat_add(f_.total_uncompressed_size, items[i].unpadded_record_bytes);
        f_.total_invalid_record_count = sat_add(f_.total_invalid_record_count, items[i].invalid_record_count);
    }
    f_.stats_watermark = watermark;
    clean_ = false;
    return persist();
}

Status DatasetStateFile::recount(uint64_t watermark, const Totals* items, size_t count) {
    f_.total_record_count = f_.total_data_size = f_.total_uncompressed_size = f_.total_invalid_record_count = 0;
    f_.stats_watermark = 0;
    return add_segment_totals(watermark, items, count);
}

Status DatasetStateFile::update_range(std::optional<std::pair<int64_t, int64_t>> range) {
    if (!range) return set_range(INT64_MAX, INT64_MIN);
    return set_range(range->first, range->second);
}

Status DatasetStateFile::set_range(int64_t min, int64_t max) {
    if (min == f_.min_timestamp && max == f_.max_timestamp) return {};
    f_.min_timestamp = min;
    f_.max_timestamp = max;
    clean_ = false;
    return persist();
}

Status DatasetStateFile::increment_invalid() {
    f_.total_invalid_record_count = sat_add(f_.total_invalid_record_count, 1);
    clean_ = false;
    return persist();
}

Status DatasetStateFile::subtract_stats(const Totals& t) {
    f_.total_record_count = sat_sub(f_.total_record_count, t.record_count);
    f_.total_data_size = sat_sub(f_.total_data_size, t.data_length);
    f_.total_uncompressed_size = sat_sub(f_.total_uncompressed_size, t.unpadded_record_bytes);
    f_.total_invalid_record_count = sat_sub(f_.total_invalid_record_count, t.invalid_record_count);
    clean_ = false;
    return persist();
}

Result<int64_t> DatasetStateFile::advance_retention_floor(int64_t threshold) {
    if (read_only_) return Error::invalid_data("read-only dataset state cannot advance retention floor");
    int64_t floor = f_.retention_floor;
    int64_t candidate = (floor != INT64_MAX && threshold < floor) ? floor : threshold;
    if (threshold != INT64_MAX && candidate != floor) {
        f_.retention_floor = candidate;
        clean_ = false;
        BRVL_TRY(persist());
        return candidate;
    }
    return floor;
}

Status DatasetStateFile::release() {
    if (!clean_) BRVL_TRY(persist());
    file_.close();
    return {};
}

Status DatasetStateFile::close() {
    if (read_only_) {
        clean_ = true;
        return {};
    }
    if (closed_) return {};
    BRVL_TRY(release());
    closed_ = true;
    return {};
}

}  // namespace brenvale
