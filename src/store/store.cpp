// The engine store: opening by read-only mode, the lock, the identifier files, key
// validation, the runtime handed to datasets and the shutdown.
#include "store/store.h"

#include <sys/file.h>

#include <algorithm>
#include <cerrno>

#include "log.h"
#include "paths.h"

namespace brenvale {

namespace {

// The byte length of the Unicode white-space character (UTF-8) that s starts with, or 0.
size_t leading_space(std::string_view s) {
    static constexpr std::string_view kMultiByte[] = {
        "\u0085", "\u00a0", "\u1680", "\u2000", "\u2001", "\u2002", "\u2003", "\u2004", "\u2005", "\u2006",
        "\u2007", "\u2008", "\u2009", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f", "\u3000"};
    if (s.empty()) return 0;
    const char c = s.front();
    if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
    for (std::string_view w : kMultiByte)
        if (s.starts_with(w)) return w.size();
    return 0;
}

// The same at the end of s.
size_t trailing_space(std::string_view s) {
    for (size_t len = 1; len <= 3 && len <= s.size(); ++len)
        if (leading_space(s.substr(s.size() - len)) == len) return len;
    return 0;
}

std::string_view trim_unicode_space(std::string_view s) {
    while (size_t n = leading_space(s)) s.remove_prefix(n);
    while (size_t n = trailing_space(s)) s.remove_suffix(n);
    return s;
}

bool key_byte(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == '-';
}

// Removes the temporaries of whole-file replacements that a kill left in dir (none while
// the directory is missing).
void remove_replacement_temps(const std::string& dir) {
    auto names = list_dir(dir);
    if (!names.ok()) return;
    for (const std::string& name : *names) {
        if (!paths::is_replacement_temp_name(name)) continue;
        const std::string path = join_path(dir, name);
        log::warn(log::kStore, "[store] removing a stale temporary file {}", path);
        if (Status st = remove_file_if_exists(path); !st.ok())
            log::error(log::kStore, "[store] could not remove {}: {}", path, st.error());
    }
}

void remove_unfinished(const std::string& path, std::string_view what) {
    log::warn(log::kStore, "[store] removing the rest of {} at {}", what, path);
    if (Status st = remove_dir_all(path); !st.ok())
        log::error(log::kStore, "[store] could not remove {}: {}", path, st.error());
}

// Puts right what kills left in the store directory: the directories of creates and drops
// cut short and the temporaries of whole-file replacements. Only a writable open runs
// it: it holds the lock, so no writer in any process can be using what it removes.
void repair_interrupted(const std::string& root) {
    remove_replacement_temps(root);
    remove_replacement_temps(paths::journal_logs_dir(root));
    auto names = list_dir(root);
    if (!names.ok()) return;
    for (const std::string& name : *names) {
        if (!validate_key_part("dataset name", name).ok()) continue;
        const std::string dir = paths::name_dir(root, name);
        auto entries = list_dir(dir);
        if (!entries.ok()) continue;  // a file, or gone
        for (const std::string& entry : *entries) {
            const std::string path = join_path(dir, entry);
            if (paths::is_dropping_name(entry)) {
                remove_unfinished(path, "a dropped dataset");
            } else if (paths::is_creating_name(entry)) {
                remove_unfinished(path, "a dataset whose create was cut short");
            } else if (validate_key_part("dataset type", entry).ok()) {
                auto is_dir = is_directory(path);
                auto whole = holds_dataset(path);
                if (!is_dir.ok() || !*is_dir || !whole.ok()) continue;
                remove_replacement_temps(path);
                if (*whole) continue;
                // Without meta or identifier: what an earlier version's create or drop cut
                // short left, when it holds no segment file. One with records is a dataset
                // that lost one of the two files: it stays for the file to be put back.
                auto records = holds_segment_files(path);
                if (records.ok() && !*records)
                    remove_unfinished(path, "a dataset whose create or drop was cut short");
                else
                    log::warn(log::kStore, "[store] keeping {}: it holds segment files but lacks its {} or {} file",
                              path, paths::kMetaFile, paths::kIdentifierFile);
            }
        }
    }
}

}  // namespace

// ---- lock ----

Result<std::optional<StoreLockPtr>> acquire_lock_file(const std::string& root) {
    FileHandle fd = BRVL_TRY(FileHandle::open(paths::lock_file(root), FileHandle::Mode::CreateOrOpen, 0666));
    int rc;
    do {
        rc = ::flock(fd.fd(), LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        if (errno == EWOULDBLOCK) return std::optional<StoreLockPtr>();
        return Error::io(errno);
    }
    return std::optional<StoreLockPtr>(std::make_shared<const StoreLock>(std::move(fd)));
}

// ---- identifier files ----

Result<uint64_t> parse_identifier(std::string_view name, std::string_view text, bool allow_zero) {
    const std::string_view digits = trim_unicode_space(text);
    if (digits.empty()) return invalid_data_fmt("{} must be a decimal u64 string", name);
    uint64_t v = 0;
    bool overflow = false;
    for (char c : digits) {
        if (c < '0' || c > '9') return invalid_data_fmt("{} must be a decimal u64 string", name);
        overflow = overflow || __builtin_mul_overflow(v, uint64_t{10}, &v) ||
                   __builtin_add_overflow(v, static_cast<uint64_t>(c - '0'), &v);
    }
    if (overflow) return invalid_data_fmt("{} exceeds maximum u64 identifier value", name);
    if (v == 0 && !allow_zero) return invalid_data_fmt("{} must be > 0", name);
    return v;
}

Result<uint64_t> read_max_identifier(const std::string& root) {
    auto text = BRVL_TRY(read_file_if_exists(paths::max_identifier_file(root)));
    if (!text) return uint64_t{0};
    return parse_identifier(paths::kMaxIdentifierFile, *text, true);
}

Status write_identifier_file(const std::string& path, uint64_t value) {
    return write_file_atomic(path, fmt::format("{}", value));
}

Result<uint64_t> read_dataset_identifier(const std::string& dataset_dir) {
    const std::string path = paths::identifier_file(dataset_dir);
    auto text = BRVL_TRY(read_file_if_exists(path));
    if (!text) return Error::not_found(fmt::format("dataset identifier not found at {}", path));
    return parse_identifier(paths::kIdentifierFile, *text, false);
}

Result<bool> holds_dataset(const std::string& dataset_dir) {
    return BRVL_TRY(path_exists(paths::meta_file(dataset_dir))) &&
           BRVL_TRY(path_exists(paths::identifier_file(dataset_dir)));
}

Result<bool> holds_segment_files(const std::string& dataset_dir) {
    auto any_named = [](const std::string& dir, auto parse) -> Result<bool> {
        auto names = list_dir(dir);
        if (!names.ok()) {
            if (names.error().is_io_code(ENOENT) || names.error().is_io_code(ENOTDIR)) return false;
            return std::move(names).error();
        }
        return std::any_of(names->begin(), names->end(), [&](const std::string& n) { return parse(n).has_value(); });
    };
    if (BRVL_TRY(any_named(paths::data_dir(dataset_dir), parse_segment_file_name))) return true;
    return any_named(paths::index_dir(dataset_dir), parse_index_segment_name);
}

// ---- keys ----

Status validate_key_part(std::string_view what, std::string_view part) {
    bool ok = !part.empty() && part.size() <= kMaxKeyPartBytes;
    for (char c : part) ok = ok && key_byte(c);
    if (!ok) return invalid_data_fmt("{} must match ^[0-9A-Za-z_-]+$ and be at most {} bytes", what, kMaxKeyPartBytes);
    return {};
}

Status validate_key(std::string_view name, std::string_view dataset_type) {
    BRVL_TRY(validate_key_part("dataset name", name));
    return validate_key_part("dataset type", dataset_type);
}

// ---- open and shutdown ----

Result<Store> Store::open(const std::string& root, const StoreConfig& config) {
    BRVL_TRY(config.validate());
    Store s;
    s.root_ = root;
    s.config_ = config;
    if (config.read_only != std::optional<bool>(true)) {
        BRVL_TRY(create_dir_all(root));
        std::optional<StoreLockPtr> lock = BRVL_TRY(acquire_lock_file(root));
        if (lock) {
            s.lock_ = std::move(*lock);
            repair_interrupted(root);
        } else if (config.read_only == std::optional<bool>(false)) {
            return Error::invalid_data("store is already locked for writing");
        }
    }
    s.read_only_ = !s.lock_;
    s.cache_ = std::make_shared<BlockCache>(config.cache_max_memory);
    if (!s.read_only_) s.dirty_list_ = std::make_shared<DirtyList>();
    s.journal_ = BRVL_TRY(s.read_only_ ? Journal::open_read_only(root, config, s.cache_)
                                       : Journal::open(root, config, s.lock_, s.cache_));
    s.max_identifier_ = BRVL_TRY(read_max_identifier(root));
    s.registry_ = std::make_shared<DatasetRegistry>();
    s.close_hook_ = std::make_shared<RegistryCloseHook>(s.registry_);
    s.relief_ = std::make_shared<RegistryRelief>(s.registry_);
    add_descriptor_relief(s.relief_);
    s.identifiers_ = decltype(s.identifiers_)(0, IdentifierHash{fresh_hash_seed()});
    if (s.read_only_) {
        log::info(log::kStore, "[store] opened in read-only mode, background tasks disabled");
        return s;
    }
    BgServices services{s.registry_, s.dirty_list_, s.cache_, [journal = s.journal_] { return journal->flush(); }};
    if (config.enable_background_thread) {
        s.bg_ = BRVL_TRY(BgTasks::spawn(std::move(services), BgSettings::from(config)));
    } else {
        s.bg_ = BgTasks::create(std::move(services), BgSettings::from(config));
        log::info(log::kStore, "[store] background thread disabled, manual tick required");
    }
    return s;
}

Store::~Store() {
    if (!registry_) return;  // moved from
    stop_background();
    // The members go in reverse order of declaration; the lock is the last of them.
}

void Store::stop_background() {
    if (bg_) {
        bg_->shutdown();
        bg_.reset();
    }
    if (journal_) (void)journal_->flush();
}

uint64_t Store::max_identifier() const {
    std::lock_guard lock(*ops_mu_);
    return max_identifier_;
}

bool Store::journalled(bool dataset_enable_journal) const {
    return dataset_enable_journal && journal_->mode() != Journal::Mode::Disabled;
}

Result<DatasetRuntime> Store::dataset_runtime(bool enable_journal) const {
    DatasetRuntime rt;
    rt.block_cache = cache_;
    rt.close_hook = close_hook_;
    rt.read_only = read_only_;
    if (!read_only_) {
        if (journalled(enable_journal)) rt.journal_hook = journal_;
        if (!bg_) return Error::invalid_data("bg_tasks not initialised");
        rt.dirty_list = dirty_list_;
        rt.store_lock = lock_;
    }
    return rt;
}

Status Store::refuse_if_read_only(std::string_view what) const {
    if (read_only_) return invalid_data_fmt("read-only store cannot {}", what);
    return {};
}

}  // namespace brenvale
