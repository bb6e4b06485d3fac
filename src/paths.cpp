#include "paths.h"

#include <limits>

#include <fmt/format.h>

#include "file.h"

namespace brenvale {

namespace paths {

std::string lock_file(std::string_view root) { return join_path(root, kLockFile); }
std::string max_identifier_file(std::string_view root) { return join_path(root, kMaxIdentifierFile); }
std::string name_dir(std::string_view root, std::string_view name) { return join_path(root, name); }
std::string dataset_dir(std::string_view root, const DataSetKey& key) {
    return join_path(name_dir(root, key.name), key.dataset_type);
}
std::string dropping_dir(std::string_view name_dir, uint64_t token) {
    return join_path(name_dir, fmt::format("{}{:016x}", kDroppingPrefix, token));
}
bool is_dropping_name(std::string_view file_name) { return file_name.starts_with(kDroppingPrefix); }
std::string creating_dir(std::string_view name_dir, uint64_t token) {
    return join_path(name_dir, fmt::format("{}{:016x}", kCreatingPrefix, token));
}
bool is_creating_name(std::string_view file_name) { return file_name.starts_with(kCreatingPrefix); }
std::string journal_logs_dir(std::string_view root) {
    return join_path(join_path(root, kJournalDir), kJournalLogsDir);
}
std::string journal_queue_dir(std::string_view root) { return join_path(join_path(root, kJournalDir), kQueueDir); }

std::string meta_file(std::string_view dataset_dir) { return join_path(dataset_dir, kMetaFile); }
std::string identifier_file(std::string_view dataset_dir) { return join_path(dataset_dir, kIdentifierFile); }
std::string state_file(std::string_view dataset_dir) { return join_path(dataset_dir, kStateFile); }
std::string data_dir(std::string_view dataset_dir) { return join_path(dataset_dir, kDataDir); }
std::string index_dir(std::string_view dataset_dir) { return join_path(dataset_dir, kIndexDir); }
std::string stage_file(std::string_view data_dir) { return join_path(data_dir, kStageFile); }
std::string queue_dir(std::string_view dataset_dir) { return join_path(dataset_dir, kQueueDir); }

Status create_dataset_dirs(std::string_view dataset_dir) {
    BRVL_TRY(create_dir_all(data_dir(dataset_dir)));
    return create_dir_all(index_dir(dataset_dir));
}

std::string journal_meta_file(std::string_view logs_dir) { return join_path(logs_dir, kMetaFile); }
std::string journal_data_dir(std::string_view logs_dir) { return join_path(logs_dir, kDataDir); }

std::string replacement_temp_file(std::string_view path, uint32_t pid, uint32_t token) {
    return fmt::format("{}{}.{}.{:08x}", path, kTempSuffix, pid, token);
}

bool is_replacement_temp_name(std::string_view name) {
    auto all_of = [](std::string_view s, bool (*pred)(char)) {
        if (s.empty()) return false;
        for (char c : s)
            if (!pred(c)) return false;
        return true;
    };
    const size_t token_dot = name.rfind('.');
    if (token_dot == std::string_view::npos || name.size() - token_dot - 1 != 8) return false;
    if (!all_of(name.substr(token_dot + 1), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }))
        return false;
    name = name.substr(0, token_dot);
    const size_t pid_dot = name.rfind('.');
    if (pid_dot == std::string_view::npos ||
        !all_of(name.substr(pid_dot + 1), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    name = name.substr(0, pid_dot);
    return name.size() > kTempSuffix.size() && name.ends_with(kTempSuffix);
}

std::string consumer_state_file(std::string_view queue_dir, std::string_view group) {
    return join_path(queue_dir, group);
}

}  // namespace paths

std::string segment_file_name(uint64_t base) { return fmt::format("{:020}", base); }

std::optional<uint64_t> parse_segment_file_name(std::string_view name) {
    if (!name.empty() && name.front() == '+') name.remove_prefix(1);
    if (name.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(v, uint64_t{10}, &v) ||
            __builtin_add_overflow(v, static_cast<uint64_t>(c - '0'), &v))
            return std::nullopt;
    }
    return v;
}

std::optional<uint64_t> parse_journal_segment_name(std::string_view name) {
    if (name.size() != 20) return std::nullopt;
    uint64_t v = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(v, uint64_t{10}, &v) ||
            __builtin_add_overflow(v, static_cast<uint64_t>(c - '0'), &v) ||
            v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return std::nullopt;
    }
    if (v == 0) return std::nullopt;
    return v;
}

std::string index_segment_file_name(int64_t start) { return fmt::format("{:020}", start); }

std::optional<int64_t> parse_index_segment_name(std::string_view name) {
    bool negative = false;
    if (!name.empty() && (name[0] == '+' || name[0] == '-')) {
        negative = name[0] == '-';
        name.remove_prefix(1);
    }
    if (name.empty()) return std::nullopt;
    // Accumulate as a negative value so that the smallest i64 parses too.
    int64_t v = 0;
    for (char c : name) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(v, int64_t{10}, &v)) return std::nullopt;
        if (__builtin_sub_overflow(v, int64_t{c - '0'}, &v)) return std::nullopt;
    }
    if (negative) return v;
    if (v == std::numeric_limits<int64_t>::min()) return std::nullopt;
    return -v;
}

}  // namespace brenvale
