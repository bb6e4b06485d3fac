// Every name of a store directory, built and parsed in one place:
//
//   <root>/.lock                          the writer's lock file
//   <root>/max_identifier                 largest dataset identifier ever assigned
//   <root>/<name>/<dataset_type>/         one dataset
//   <root>/<name>/.dropping-<16 hex>      a dataset being dropped (removed whole)
//   <root>/<name>/.creating-<16 hex>      a dataset being created (renamed into place)
//       meta, identifier, state           its settings, identifier and totals
//       data/<20-digit base>              data segments
//       data/stage                        the staged copy of an in-place change
//       index/<20-char start>             index segments (<name>.tmp while created)
//       queue/<group_name>                consumer state pages of its queue
//   <root>/.journal/logs/meta             the journal's marker file
//   <root>/.journal/logs/data/<20-digit>  journal segments, named by base sequence
//   <root>/.journal/queue/<group_name>    consumer state pages of the journal queue
//   <file>.tmp.<pid>.<8 hex>              a whole-file replacement being written
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error.h"
#include "types.h"

namespace brenvale {

namespace paths {

inline constexpr std::string_view kLockFile = ".lock";
inline constexpr std::string_view kMaxIdentifierFile = "max_identifier";
inline constexpr std::string_view kJournalDir = ".journal";
inline constexpr std::string_view kJournalLogsDir = "logs";
// A dropped dataset's directory is renamed to this prefix and a random token before it is
// removed, so that a drop cut short leaves no half dataset under its key. The dot keeps it
// out of every listing of datasets.
inline constexpr std::string_view kDroppingPrefix = ".dropping-";
// A new dataset's directory is built whole under this prefix and a random token, then
// renamed to its key, so that a create cut short leaves no half dataset under its key.
inline constexpr std::string_view kCreatingPrefix = ".creating-";
inline constexpr std::string_view kMetaFile = "meta";
inline constexpr std::string_view kIdentifierFile = "identifier";
inline constexpr std::string_view kStateFile = "state";
inline constexpr std::string_view kDataDir = "data";
inline constexpr std::string_view kIndexDir = "index";
inline constexpr std::string_view kQueueDir = "queue";
// Beside the data segments: the copy that a seal or a correction of the last record keeps
// while it overwrites a segment's bytes in place.
inline constexpr std::string_view kStageFile = "stage";
// A file being created under a temporary name before it is renamed into place.
inline constexpr std::string_view kTempSuffix = ".tmp";

// The key (".journal", "logs") names the journal's directory: it is never a dataset.
inline bool is_journal_key(const DataSetKey& key) {
    return key.name == kJournalDir && key.dataset_type == kJournalLogsDir;
}

// ---- store root ----
std::string lock_file(std::string_view root);
std::string max_identifier_file(std::string_view root);
// <root>/<name>: the directory of every dataset type of one name.
std::string name_dir(std::string_view root, std::string_view name);
std::string dataset_dir(std::string_view root, const DataSetKey& key);
// <name_dir>/.dropping-<token as 16 hex digits>.
std::string dropping_dir(std::string_view name_dir, uint64_t token);
bool is_dropping_name(std::string_view file_name);
// <name_dir>/.creating-<token as 16 hex digits>.
std::string creating_dir(std::string_view name_dir, uint64_t token);
bool is_creating_name(std::string_view file_name);
std::string journal_logs_dir(std::string_view root);
std::string journal_queue_dir(std::string_view root);

// ---- dataset directory ----
std::string meta_file(std::string_view dataset_dir);
std::string identifier_file(std::string_view dataset_dir);
std::string state_file(std::string_view dataset_dir);
std::string data_dir(std::string_view dataset_dir);
std::string index_dir(std::string_view dataset_dir);
std::string queue_dir(std::string_view dataset_dir);
// The stage file of a data directory (<dataset>/data).
std::string stage_file(std::string_view data_dir);
// Everything a dataset directory can hold besides `meta` and `identifier`: what a create
// over leftovers of an interrupted create or drop removes.
inline constexpr std::string_view kDatasetContents[] = {kDataDir, kIndexDir, kQueueDir, kStateFile};
// Creates the dataset directory with its data/ and index/ directories.
Status create_dataset_dirs(std::string_view dataset_dir);

// ---- journal logs directory ----
std::string journal_meta_file(std::string_view logs_dir);
std::string journal_data_dir(std::string_view logs_dir);

// The temporary name under which a whole-file replacement of `path` is written:
// <path>.tmp.<pid>.<token as 8 hex digits>.
std::string replacement_temp_file(std::string_view path, uint32_t pid, uint32_t token);
// Whether a file name has that form (a temporary that a kill can leave behind).
bool is_replacement_temp_name(std::string_view file_name);

// A consumer group's state page inside a queue directory.
std::string consumer_state_file(std::string_view queue_dir, std::string_view group);

}  // namespace paths

// ---- segment file names ----

// A data (or journal) segment's key as 20 zero-padded decimal digits.
std::string segment_file_name(uint64_t base);
// A data segment file name taken as a base: a 64-bit decimal number with an optional
// leading '+'.
std::optional<uint64_t> parse_segment_file_name(std::string_view name);
// A journal segment file name: exactly 20 ASCII digits, a value from 1 to i64::MAX.
std::optional<uint64_t> parse_journal_segment_name(std::string_view name);
// An index segment's start timestamp in 20 characters, zero padded, a minus sign first for
// negative starts.
std::string index_segment_file_name(int64_t start);
// An index segment file name: an optional '+' or '-', then only decimal digits, fitting
// in 64 signed bits.
std::optional<int64_t> parse_index_segment_name(std::string_view name);

}  // namespace brenvale
