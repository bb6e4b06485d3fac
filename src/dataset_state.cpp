#include "dataset_state.h"

#include <cerrno>
#include <unistd.h>

#include <cstring>

#include "log.h"
#include "paths.h"
#include "util.h"

namespace brenvale {

namespace {

constexpr char kMagic[4] = {'D', 'S', 'S', 'F'};

uint64_t sat_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
uint64_t sat_sub(uint64_t a, uint64_t b) { return a < b ? 0 : a - b; }

// Validates a whole state record. Returns the fields and whether it is a version 1 file.
Result<std::pair<DatasetStateFields, bool>> decode(const uint8_t* b, size_t len) {
    if (len != DatasetStateFile::kLength && len != DatasetStateFile::kLengthV1)
        return Error::invalid_data("invalid dataset state file size");
    if (std::memcmp(b, kMagic, 4) != 0) return Error::invalid_magic();
    uint32_t version = load_u32(b + 4);
    if (version != 1 && version != 2) return invalid_data_fmt("unsupported dataset state version {}", version);
    DatasetStateFields f;
    f.stats_watermark = load_u64(b + 8);
    f.min_timestamp = load_i64(b + 16);
    f.max_timestamp = load_i64(b + 24);
    f.total_record_count = load_u64(b + 32);
    f.total_data_size = load_u64(b + 40);
    f.total_uncompressed_size = load_u64(b + 48);
    f.total_invalid_record_count = load_u64(b + 56);
    bool v1 = len == DatasetStateFile::kLengthV1 || version == 1;
    f.retention_floor = v1 ? INT64_MAX : load_i64(b + 64);
    return std::make_pair(f, v1);
}

// A file whose contents are invalid (not one that could not be read) is recreated.
bool is_invalid_contents(const Error& e) {
    return e.kind() == ErrorKind::InvalidMagic || e.kind() == ErrorKind::InvalidData;
}

}  // namespace

void DatasetStateFile::encode(uint8_t* out, const DatasetStateFields& f) {
    std::memcpy(out, kMagic, 4);
    store_u32(out + 4, kVersion);
    store_u64(out + 8, f.stats_watermark);
    store_i64(out + 16, f.min_timestamp);
    store_i64(out + 24, f.max_timestamp);
    store_u64(out + 32, f.total_record_count);
    store_u64(out + 40, f.total_data_size);
    store_u64(out + 48, f.total_uncompressed_size);
    store_u64(out + 56, f.total_invalid_record_count);
    store_i64(out + 64, f.retention_floor);
}

DatasetStateFile& DatasetStateFile::operator=(DatasetStateFile&& o) noexcept {
    if (this != &o) {
        (void)close();
        path_ = std::move(o.path_);
        file_ = std::move(o.file_);
        mapped_ = std::exchange(o.mapped_, false);
        f_ = o.f_;
        clean_ = std::exchange(o.clean_, true);
        read_only_ = o.read_only_;
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

Status DatasetStateFile::persist() {
    if (read_only_) {
        clean_ = true;
        return {};
    }
    if (!mapped_ || file_.size() < kLength) return Error::mmap("dataset state file is not mapped");
    // The record goes to the file in one write call, which a killed process either makes
    // whole or not at all: stores into the mapping field by field could leave a record
    // whose watermark and totals disagree.
    uint8_t record[kLength];
    encode(record, f_);
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
    uint8_t record[kLength];
    encode(record, DatasetStateFields{});
    BRVL_TRY(write_file_atomic(path, std::string_view(reinterpret_cast<const char*>(record), kLength)));
    DatasetStateFile s;
    s.path_ = path;
    s.file_ = BRVL_TRY(MappedFile::open(path, true));
    if (s.file_.size() != kLength) return Error::invalid_data("invalid dataset state file size");
    s.mapped_ = true;
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
        if (len != kLength && len != kLengthV1) return Error::invalid_data("invalid dataset state file size");
        // Validate before changing anything: read the record through a plain read.
        uint8_t buf[kLength];
        ssize_t n = ::pread(fd.fd(), buf, len, 0);
        if (n < 0) return Error::io(errno);
        if (static_cast<uint64_t>(n) != len) return Error::invalid_data("invalid dataset state file size");
        auto [fields, v1] = BRVL_TRY(decode(buf, len));
        fd.close();
        if (len == kLengthV1) {
            // Extended but not yet rewritten, the file still reads as version 1.
            FileHandle w = BRVL_TRY(FileHandle::open(path, FileHandle::Mode::ReadWrite));
            BRVL_TRY(w.reserve(kLength));
            crash_point("state.upgrade.extended");
        }
        s.file_ = BRVL_TRY(MappedFile::open(path, true));
        s.mapped_ = true;
        s.f_ = fields;
        if (v1) {
            s.f_.retention_floor = INT64_MAX;
            s.clean_ = false;
            BRVL_TRY(s.persist());
        }
        s.clean_ = true;
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
            BRVL_TRY(decode(reinterpret_cast<const uint8_t*>(contents->data()), contents->size()));
        (void)v1;
        s.f_ = fields;
    }
    return s;
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

Status DatasetStateFile::close() {
    if (read_only_) {
        clean_ = true;
        return {};
    }
    if (!clean_ && mapped_) BRVL_TRY(persist());
    file_.close();
    mapped_ = false;
    return {};
}

}  // namespace brenvale
