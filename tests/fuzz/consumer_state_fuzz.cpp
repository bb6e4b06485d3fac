// libFuzzer target over consumer state files: the input is the whole content of one
// group's state file (of any length). A dataset queue and the journal queue each open the
// group over it and hand records out, acknowledge some, flush and close; then they open
// the group again over what they left, with the clock moved past the expiry, and do it
// once more. Whatever the file holds, every call must return a value or an error (no
// crash, no sanitizer report); a group that loaded must never hand one record to two
// polls while it is in flight, and must load again after its own close.
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "dataset/dataset.h"
#include "file.h"
#include "fuzz_archive.h"
#include "journal/journal.h"
#include "paths.h"
#include "queue/queue.h"
#include "test_hooks.h"

namespace brenvale::fuzz {
namespace {

const std::string& work_dir() {
    static const std::string dir = scratch_dir("state-fuzz");
    return dir;
}

std::vector<uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

void require(bool holds) {
    if (!holds) __builtin_trap();
}

// A dataset with records at 1 to 12, 15, 20 and 40 (so that fresh hand-outs scan gaps),
// and a journal with a few records; both stay open for the whole run.
struct Fixture {
    Dataset dataset;
    std::shared_ptr<Journal> journal;

    static Fixture make() {
        (void)remove_dir_all(work_dir());
        StoreConfig sc;
        sc.data_segment_size = 64 * 1024;
        sc.initial_data_segment_size = 8 * 1024;
        std::shared_ptr<Journal> journal = *Journal::open(work_dir(), sc);
        DatasetConfig c;
        c.data_segment_size = 1 << 20;
        c.initial_data_segment_size = 4096;
        c.index_segment_size = 16384;
        c.initial_index_segment_size = 1024;
        Dataset ds = *Dataset::create({"f", "z"}, paths::dataset_dir(work_dir(), {"f", "z"}), c);
        DatasetRuntime rt;
        rt.block_cache = std::make_shared<BlockCache>(1 << 20);
        (void)ds.set_identifier(1);
        (void)ds.attach_runtime(rt);
        for (int64_t t : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 15, 20, 40}) {
            (void)ds.write(t, bytes_of("r" + std::to_string(t)));
            (void)journal->append(JournalRecord::record_write(1, {t, 0, 0}));
        }
        return Fixture{std::move(ds), std::move(journal)};
    }
};

int64_t position_of(const Record& r) { return r.timestamp; }
int64_t position_of(const JournalEntry& e) { return static_cast<int64_t>(e.sequence); }

// One pass over an open group: polls until nothing comes, acknowledging every other
// record and one position never handed out; returns whether the group opened. Without
// expiry no record may come twice; with it the clock jumps past the expiry every few
// polls, so records come back until their retry limit drops them.
template <typename Consumer>
bool pass(Result<Consumer> opened, ConsumerConfig config) {
    if (!opened.ok()) return false;
    Consumer& c = *opened;
    std::set<int64_t> handed;
    for (int i = 0; i < 24; ++i) {
        if (config.running_expired_seconds != 0 && i % 4 == 3)
            set_wall_clock_offset(std::chrono::seconds(10 + 2 * config.running_expired_seconds * i));
        auto r = c.poll(0);
        if (!r.ok() || !r->has_value()) break;
        const int64_t pos = position_of(**r);
        require(handed.insert(pos).second || config.running_expired_seconds != 0);
        if (i % 2 == 0) (void)c.ack(pos);
    }
    (void)c.ack(-5);
    return true;
}

// A round: opens the group in a fresh queue, a pass, the flush of its owner, the queue's
// close. Returns whether the group opened; must_open: it has to.
template <typename Queue, typename Flush>
bool round(Result<Queue> queue, ConsumerConfig config, bool must_open, Flush flush_owner) {
    require(queue.ok());
    auto c = queue->open_consumer("g", config);
    require(c.ok() || !must_open);
    if constexpr (requires { c->inspect(); }) {
        if (c.ok()) (void)c->inspect(), (void)c->flush();
    }
    const bool opened = pass(std::move(c), config);
    (void)flush_owner();
    (void)queue->close();
    return opened;
}

}  // namespace
}  // namespace brenvale::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brenvale;
    using namespace brenvale::fuzz;
    static Fixture fixture = Fixture::make();
    const std::string_view file(reinterpret_cast<const char*>(data), size);
    const std::string dataset_file =
        paths::consumer_state_file(paths::queue_dir(paths::dataset_dir(work_dir(), {"f", "z"})), "g");
    const std::string journal_file = paths::consumer_state_file(paths::journal_queue_dir(work_dir()), "g");
    for (const std::string& path : {dataset_file, journal_file}) {
        (void)create_dir_all(parent_dir(path));
        if (!write_file_atomic(path, file).ok()) return 0;
    }
    // The second round runs past the first one's hand-outs' expiry, with a retry limit; a
    // group that opened over the input opens again over what its close left.
    const ConsumerConfig first{0, 0}, second{1, 2};
    Dataset& ds = fixture.dataset;
    Journal& journal = *fixture.journal;
    // The journal's queue opens anew after each close.
    const bool dataset_opened = round(ds.open_queue(), first, false, [&] { return ds.flush(); });
    const bool journal_opened = round(journal.open_queue(), first, false, [&] { return journal.flush(); });
    set_wall_clock_offset(std::chrono::seconds(10));
    round(ds.open_queue(), second, dataset_opened, [&] { return ds.flush(); });
    round(journal.open_queue(), second, journal_opened, [&] { return journal.flush(); });
    set_wall_clock_offset(std::chrono::seconds(0));
    return 0;
}
