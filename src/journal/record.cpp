#include "journal/record.h"

#include "file.h"
#include "format/meta.h"
#include "util.h"

namespace brenvale {

namespace {

Error too_long(const char* what, size_t max) { return invalid_data_fmt("{} must be at most {} bytes", what, max); }

size_t identifier_width(uint8_t code) { return code == 4 ? 8 : code == 3 ? 4 : code; }

void put_u16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put_le(std::vector<uint8_t>& out, uint64_t v, size_t width) {
    for (size_t i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_field(std::vector<uint8_t>& out, uint8_t tag, const uint8_t* value, size_t len) {
    out.push_back(tag);
    put_u16(out, static_cast<uint16_t>(len));
    out.insert(out.end(), value, value + len);
}

bool is_record_event(JournalLogType t) {
    return t == JournalLogType::RecordWrite || t == JournalLogType::RecordDelete || t == JournalLogType::RecordAppend;
}

bool is_dataset_event(JournalLogType t) {
    return t == JournalLogType::CreateDataset || t == JournalLogType::DropDataset;
}

// A bounds-checked reader over the payload.
class Reader {
public:
    explicit Reader(std::span<const uint8_t> b) : b_(b) {}
    size_t pos() const { return pos_; }
    size_t left() const { return b_.size() - pos_; }

    Result<const uint8_t*> take(size_t n) {
        if (n > left())
            return invalid_data_fmt("journal record truncated: {} bytes needed at offset {}, {} left", n, pos_,
                                    left());
        const uint8_t* p = b_.data() + pos_;
        pos_ += n;
        return p;
    }
    Result<uint8_t> u8() { return *BRVL_TRY(take(1)); }

private:
    std::span<const uint8_t> b_;
    size_t pos_ = 0;
};

JournalRecord dataset_event(JournalLogType type, uint64_t identifier, std::string name, std::string dataset_type,
                            std::vector<uint8_t> metadata) {
    JournalRecord r;
    r.type = type;
    r.identifier = identifier;
    r.name = std::move(name);
    r.dataset_type = std::move(dataset_type);
    r.metadata = std::move(metadata);
    return r;
}

JournalRecord record_event(JournalLogType type, uint64_t identifier, JournalIndexInfo index) {
    JournalRecord r;
    r.type = type;
    r.identifier = identifier;
    r.index_info = index;
    return r;
}

}  // namespace

uint8_t journal_identifier_width_code(uint64_t identifier) {
    if (identifier < (uint64_t{1} << 8)) return 1;
    if (identifier < (uint64_t{1} << 16)) return 2;
    if (identifier < (uint64_t{1} << 32)) return 3;
    return 4;
}

JournalRecord JournalRecord::create_dataset(uint64_t identifier, std::string name, std::string dataset_type,
                                            std::vector<uint8_t> metadata) {
    return dataset_event(JournalLogType::CreateDataset, identifier, std::move(name), std::move(dataset_type),
                         std::move(metadata));
}

JournalRecord JournalRecord::drop_dataset(uint64_t identifier, std::string name, std::string dataset_type,
                                          std::vector<uint8_t> metadata) {
    return dataset_event(JournalLogType::DropDataset, identifier, std::move(name), std::move(dataset_type),
                         std::move(metadata));
}

JournalRecord JournalRecord::record_write(uint64_t identifier, JournalIndexInfo index) {
    return record_event(JournalLogType::RecordWrite, identifier, index);
}

JournalRecord JournalRecord::record_delete(uint64_t identifier, JournalIndexInfo index) {
    return record_event(JournalLogType::RecordDelete, identifier, index);
}

JournalRecord JournalRecord::record_append(uint64_t identifier, JournalIndexInfo index, uint32_t before,
                                           uint32_t appended) {
    JournalRecord r = record_event(JournalLogType::RecordAppend, identifier, index);
    r.append_info = JournalAppendInfo{before, appended};
    return r;
}

Result<std::vector<uint8_t>> JournalRecord::encode() const {
    std::vector<uint8_t> out;
    BRVL_TRY(encode_into(out));
    return out;
}

Status JournalRecord::encode_into(std::vector<uint8_t>& out) const {
    // Every check comes before the first byte, so a refused record leaves out untouched.
    if (!is_record_event(type) && !is_dataset_event(type))
        return Error::invalid_data("unknown journal log type cannot be encoded");
    if (identifier == 0) return Error::invalid_data("journal dataset identifier must be > 0");
    if (is_record_event(type)) {
        if (!index_info) return Error::invalid_data("journal index_info is missing");
        if (type == JournalLogType::RecordAppend && !append_info)
            return Error::invalid_data("journal append_info is missing");
    } else {
        if (!name) return Error::invalid_data("journal name is missing");
        if (!dataset_type) return Error::invalid_data("journal dataset type is missing");
        if (name->size() > kJournalNameMax) return too_long("journal name", kJournalNameMax);
        if (dataset_type->size() > kJournalNameMax) return too_long("journal dataset type", kJournalNameMax);
        if (!metadata) return Error::invalid_data("journal metadata is missing");
        if (metadata->size() > kJournalFieldValueMax) return too_long("journal field value", kJournalFieldValueMax);
    }

    const uint8_t code = journal_identifier_width_code(identifier);
    out.push_back(static_cast<uint8_t>(type));
    out.push_back(code);
    put_le(out, identifier, identifier_width(code));
    if (is_record_event(type)) {
        out.push_back(kJournalTagIndexInfo);
        put_le(out, static_cast<uint64_t>(index_info->timestamp), 8);
        put_le(out, index_info->block_offset, 8);
        put_le(out, index_info->in_block, 2);
        if (type == JournalLogType::RecordAppend) {
            out.push_back(kJournalTagAppendInfo);
            put_le(out, append_info->before, 4);
            put_le(out, append_info->appended, 4);
        }
    } else {
        put_field(out, kJournalTagName, reinterpret_cast<const uint8_t*>(name->data()), name->size());
        put_field(out, kJournalTagDatasetType, reinterpret_cast<const uint8_t*>(dataset_type->data()),
                  dataset_type->size());
        put_field(out, kJournalTagMetadata, metadata->data(), metadata->size());
    }
    return {};
}

Result<JournalRecord> JournalRecord::decode(std::span<const uint8_t> bytes) {
    Reader in(bytes);
    JournalRecord r;
    const uint8_t type = BRVL_TRY(in.u8());
    r.type = static_cast<JournalLogType>(type);
    if (!is_record_event(r.type) && !is_dataset_event(r.type)) return invalid_data_fmt("unknown journal log type: {}", type);
    const uint8_t code = BRVL_TRY(in.u8());
    if (code < 1 || code > 4) return invalid_data_fmt("invalid journal identifier width code: {}", code);
    const size_t width = identifier_width(code);
    const uint8_t* id = BRVL_TRY(in.take(width));
    for (size_t i = 0; i < width; ++i) r.identifier |= uint64_t{id[i]} << (8 * i);
    if (r.identifier == 0) return Error::invalid_data("journal dataset identifier must be > 0");

    if (is_record_event(r.type)) {
        if (in.left() == 0 || BRVL_TRY(in.u8()) != kJournalTagIndexInfo)
            return Error::invalid_data("journal index_info is missing");
        const uint8_t* p = BRVL_TRY(in.take(kJournalIndexInfoSize));
        r.index_info = JournalIndexInfo{load_i64(p), load_u64(p + 8), load_u16(p + 16)};
        if (r.type == JournalLogType::RecordAppend) {
            if (in.left() == 0 || BRVL_TRY(in.u8()) != kJournalTagAppendInfo)
                return Error::invalid_data("journal append_info is missing");
            const uint8_t* a = BRVL_TRY(in.take(kJournalAppendInfoSize));
            r.append_info = JournalAppendInfo{load_u32(a), load_u32(a + 4)};
        }
    } else {
        while (in.left() > 0) {
            const uint8_t tag = BRVL_TRY(in.u8());
            const uint16_t len = load_u16(BRVL_TRY(in.take(2)));
            const uint8_t* v = BRVL_TRY(in.take(len));
            auto text = [&]() { return std::string(reinterpret_cast<const char*>(v), len); };
            bool duplicate = false;
            if (tag == kJournalTagName) {
                duplicate = r.name.has_value();
                r.name = text();
            } else if (tag == kJournalTagDatasetType) {
                duplicate = r.dataset_type.has_value();
                r.dataset_type = text();
            } else if (tag == kJournalTagMetadata) {
                duplicate = r.metadata.has_value();
                r.metadata = std::vector<uint8_t>(v, v + len);
            } else {
                return invalid_data_fmt("unknown journal field tag: {}", tag);
            }
            if (duplicate) return invalid_data_fmt("duplicate journal field tag: {}", tag);
        }
        if (!r.name) return Error::invalid_data("journal name is missing");
        if (!r.dataset_type) return Error::invalid_data("journal dataset type is missing");
        if (r.name->size() > kJournalNameMax) return too_long("journal name", kJournalNameMax);
        if (r.dataset_type->size() > kJournalNameMax) return too_long("journal dataset type", kJournalNameMax);
        if (!r.metadata) return Error::invalid_data("journal metadata is missing");
    }
    if (in.left() != 0) return invalid_data_fmt("journal record has {} trailing bytes", in.left());
    return r;
}

Status validate_dataset_event(uint64_t identifier, const DataSetKey& key, size_t metadata_length) {
    if (identifier == 0) return Error::invalid_data("journal dataset identifier must be > 0");
    if (key.name.size() > kJournalNameMax) return too_long("journal name", kJournalNameMax);
    if (key.dataset_type.size() > kJournalNameMax) return too_long("journal dataset type", kJournalNameMax);
    if (metadata_length > kJournalFieldValueMax) return too_long("journal metadata", kJournalFieldValueMax);
    return {};
}

size_t dataset_event_size(uint64_t identifier, const DataSetKey& key, size_t metadata_length) {
    constexpr size_t kField = 3;  // tag and length
    return 2 + identifier_width(journal_identifier_width_code(identifier)) + kField + key.name.size() + kField +
           key.dataset_type.size() + kField + metadata_length;
}

Result<std::vector<uint8_t>> read_meta_tlv_area(const std::string& path) {
    const std::string file = BRVL_TRY(read_file(path));
    const auto area =
        BRVL_TRY(DatasetMetaFile::entry_area({reinterpret_cast<const uint8_t*>(file.data()), file.size()}));
    return std::vector<uint8_t>(area.begin(), area.end());
}

}  // namespace brenvale
