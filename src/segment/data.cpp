// A data segment's file: create, open and map it, track its changes for the dirty list,
// flush and unmap it.
#include "segment/data.h"

#include <cstring>

#include "codec.h"
#include "log.h"
#include "paths.h"

namespace brenvale {

namespace {

namespace st = data_state_at;

// What makes a file a data segment to the block engine.
const BlockFormat kDataFormat{kDataFraming,
                              kDataBlockState,
                              "data segment is opened read-only",
                              "segment closed during write",
                              log::kSegmentData,
                              "[DataSegment open]",
                              ""};

}  // namespace

DataSegment::DataSegment(Token) : BlockEngine(kDataFormat, kDataHeaderLen) {
    counts_changes_ = true;
    seals_only_for_room_ = true;
}

DataSegment::~DataSegment() {
    if (is_mapped() && !read_only_) {
        Status st = file_.flush();
        if (!st.ok()) log::error(log::kSegmentData, "[DataSegment drop] mmap flush failed: {}", st.error());
    }
}

// ---- create / open / map ----

Result<std::unique_ptr<DataSegment>> DataSegment::create(const std::string& path, const DataSegmentOptions& o) {
    const uint64_t base_offset = o.base_offset;
    const uint64_t initial_size = o.initial_size;
    const uint64_t max_size = o.max_size;
    const uint8_t compress_level = o.compress_level;
    const uint8_t compress_type = o.compress_type;
    BRVL_TRY(codec::check_compress_type(compress_type));
    if (base_offset > static_cast<uint64_t>(INT64_MAX))
        return Error::invalid_data("data segment file_offset exceeds i64");
    const uint64_t created = unix_millis_now();
    if (initial_size < kDataHeaderLen)
        return invalid_data_fmt("initial data segment size {} is smaller than header {}", initial_size,
                                kDataHeaderLen);

    auto seg = std::make_unique<DataSegment>(Token{});
    seg->file_ = BRVL_TRY(MappedFile::create(path, initial_size, /*exclusive=*/false));
    crash_point("create.file");
    HeaderMeta meta;
    meta.created_ms = created;
    meta.start_key = base_offset;
    meta.size_limit = max_size;
    meta.compress_level = compress_level;
    meta.compress_type = compress_type;
    // The magic is stored last: a file without it was cut short before it held anything,
    // and opening the data directory removes it.
    uint8_t header[kDataHeaderLen];
    DataHeader::write({header, kDataHeaderLen}, meta, DataSegmentState{});
    uint8_t* bytes = seg->file_.data();
    std::memcpy(bytes + kHeaderMagicLen, header + kHeaderMagicLen, kDataHeaderLen - kHeaderMagicLen);
    crash_point("create.header_fields");
    publish_fence();
    std::memcpy(bytes, header, kHeaderMagicLen);
    crash_point("create.header");
    BRVL_TRY(seg->file_.flush());

    seg->path_ = path;
    seg->stage_path_ = paths::stage_file(parent_dir(path));
    seg->base_offset_ = base_offset;
    seg->file_size_ = seg->file_.size();
    seg->max_size_ = max_size;
    seg->header_len_ = kDataHeaderLen;
    seg->compress_type_ = compress_type;
    seg->created_ms_ = created;
    seg->touch();
    return seg;
}

Result<std::unique_ptr<DataSegment>> DataSegment::open(const std::string& path, uint64_t base_offset,
                                                       uint64_t max_size, bool read_only) {
    auto seg = std::make_unique<DataSegment>(Token{});
    seg->path_ = path;
    seg->stage_path_ = paths::stage_file(parent_dir(path));
    seg->read_only_ = read_only;
    seg->base_offset_ = base_offset;
    seg->max_size_ = max_size;
    seg->file_ = BRVL_TRY(MappedFile::open(path, !read_only));
    const bool repaired = BRVL_TRY(read_only ? seg->load_header_beside_writer(/*warn_version=*/true)
                                             : seg->load_allocated([&] { return seg->load_header(true); }));
    seg->clean_ = !repaired;
    seg->touch();
    return seg;
}

Status DataSegment::ensure_mapped() {
    if (is_mapped()) return ok_status();
    attach_file(BRVL_TRY(MappedFile::open(path_, !read_only_)));
    auto loaded = read_only_ ? load_header_beside_writer(/*warn_version=*/false)
                             : load_allocated([this] { return load_header(/*warn_version=*/false); });
    if (!loaded.ok()) {
        unmap_file();
        return std::move(loaded).error();
    }
    writable_head_ = true;
    clean_ = true;
    dirty_registered_ = false;
    touch();
    if (*loaded) mark_dirty();
    return ok_status();
}

void DataSegment::mark_dirty() {
    clean_ = false;
    if (!dirty_registered_ && notifier_) {
        notifier_->mark_dirty(DirtyTarget::data_segment(base_offset_));
        dirty_registered_ = true;
    }
}

void DataSegment::note_timestamp(int64_t ts) {
    min_ts_ = std::min(min_ts_, ts);
    max_ts_ = std::max(max_ts_, ts);
}

// ---- block engine hooks ----

void DataSegment::record_counted(uint8_t* st, uint64_t key) {
    note_timestamp(static_cast<int64_t>(key));
    store_i64(st + st::kMin, min_ts_);
    store_i64(st + st::kMax, max_ts_);
}

void DataSegment::changed() {
    mark_dirty();
    touch();
}

// ---- flushing and dirty tracking ----

Status DataSegment::flush() {
    if (is_mapped() && !read_only_) BRVL_TRY(file_.flush());
    touch();
    clean_ = true;
    return ok_status();
}

Status DataSegment::flush_dirty() {
    BRVL_TRY(flush());
    dirty_registered_ = false;
    return ok_status();
}

void DataSegment::set_notifier(std::optional<DirtyNotifier> notifier) {
    notifier_ = std::move(notifier);
    if (notifier_ && !clean_ && !dirty_registered_) {
        notifier_->mark_dirty(DirtyTarget::data_segment(base_offset_));
        dirty_registered_ = true;
    }
}

void DataSegment::unmap() {
    unmap_file();
    if (own_stage_) own_stage_->release();
}


SegmentStats DataSegment::stats() const {
    return SegmentStats{base_offset_, record_count_, written_, raw_bytes_, invalid_count_, min_ts_, max_ts_};
}

StageArea& DataSegment::stage_area() {
    if (stage_ != nullptr) return *stage_;
    if (!own_stage_) own_stage_ = std::make_unique<StageArea>(stage_path_);
    return *own_stage_;
}

}  // namespace brenvale
