// libFuzzer target over every file of a small dataset: the input is an archive of a
// dataset directory (fuzz_archive.h; the seed corpus holds valid datasets of both index
// modes and both codecs). The files are written out, then the dataset is opened writable
// and read-only and driven through reads, queries and iterators in both directions,
// existence bitmaps, lengths, writes, deletes, flushes and retention. Whatever the files
// hold, every call must return a value or an error: no crash, no sanitizer report.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "dataset/dataset.h"
#include "file.h"
#include "fuzz_archive.h"

namespace brenvale::fuzz {
namespace {

const std::string& work_dir() {
    static const std::string dir = scratch_dir("fuzz");
    return dir;
}

// latest + d, held inside the i64 range: damaged files may name a latest timestamp at either end.
int64_t plus(int64_t latest, int64_t d) {
    int64_t out;
    return __builtin_add_overflow(latest, d, &out) ? (d < 0 ? INT64_MIN : INT64_MAX) : out;
}

std::vector<uint8_t> bytes_of(const char* s) { return {s, s + std::char_traits<char>::length(s)}; }

// Consumes a result: the value is looked at, an error is fine.
template <typename T>
void use(const Result<T>& r) {
    if (r.ok()) asm volatile("" : : "r"(&r.value()) : "memory");
}
void use(const Status& s) { (void)s.ok(); }

void walk(Dataset& ds, int64_t lo, int64_t hi) {
    use(ds.query_all(lo, hi));
    use(ds.query_length_all(lo, hi));
    use(ds.index_entries(lo, hi));
    if (hi >= lo && static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo) < (1u << 16)) use(ds.query_exist(lo, hi));
    for (int mode = 0; mode < 4; ++mode) {
        auto it = ds.query(lo, hi);
        if (!it.ok()) continue;
        if (mode & 1) it->reverse();
        if (mode & 2) it->skip(3);
        if (mode == 3) {
            use(it->collect_take_lengths(40));
        } else {
            for (int i = 0; i < 60; ++i) {
                auto item = it->next();
                if (!item.ok() || !item->has_value()) break;
            }
        }
    }
}

void reads(Dataset& ds) {
    use(ds.inspect());
    use(ds.read_latest());
    const int64_t latest = ds.latest_timestamp().value_or(1000);
    for (int64_t t : {latest, plus(latest, -1), plus(latest, -7), int64_t{1000}, int64_t{1001}, int64_t{0}}) {
        use(ds.read(t));
        use(ds.read_exist(t));
        use(ds.read_length(t));
    }
    walk(ds, plus(latest, -300), latest);
    walk(ds, 900, 1400);
    walk(ds, INT64_MIN, INT64_MAX);
    use(ds.query_exist(plus(latest, -5000), plus(latest, 5000)));
}

void exercise(bool read_only) {
    const DataSetKey key{"f", "z"};
    auto opened = read_only ? Dataset::open_read_only(key, work_dir()) : Dataset::open(key, work_dir());
    if (!opened.ok()) return;
    Dataset ds = std::move(*opened);
    DatasetRuntime rt;
    rt.block_cache = std::make_shared<BlockCache>(1 << 20);
    rt.read_only = read_only;
    (void)ds.attach_runtime(rt);
    (void)ds.set_identifier(7);
    reads(ds);
    if (!read_only) {
        const int64_t latest = ds.latest_timestamp().value_or(1000);
        use(ds.write(plus(latest, 1), bytes_of("new latest")));
        use(ds.append(plus(latest, 1), bytes_of(" appended")));
        use(ds.write(plus(latest, 1), bytes_of("corrected")));
        use(ds.write(plus(latest, -2), bytes_of("out of order")));
        use(ds.write(plus(latest, 40), bytes_of("after a gap")));
        use(ds.write(plus(latest, 20), bytes_of("into the gap")));
        use(ds.write(900, bytes_of("far below")));
        use(ds.delete_record(plus(latest, -3)));
        use(ds.write_next(bytes_of("next")));
        use(ds.flush());
        use(ds.reclaim_expired());
        use(ds.release_files());
        reads(ds);
    }
    use(ds.close());
}

}  // namespace
}  // namespace brenvale::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brenvale::fuzz;
    const auto files = parse_archive(data, size);
    (void)brenvale::remove_dir_all(work_dir());
    if (!unpack_into(files, work_dir())) return 0;
    exercise(false);
    // The read-only pass sees the files as the writable pass left them.
    exercise(true);
    (void)brenvale::remove_dir_all(work_dir());
    return 0;
}
