// libFuzzer target over the journal's files: the input is an archive of the journal's logs
// directory (fuzz_archive.h with journal_layout(): its meta file and segment files; the
// seed corpus in tests/fuzz/journal_corpus holds valid journals of both codecs, with
// sealed, single-record and pending blocks, and one of many small segments). The files are written out
// under <root>/.journal/logs, then the journal is opened read-only, writable (reads,
// appends that seal and roll over, a consumer group's polls, flushes) and read-only
// again. Whatever the files hold, every call must return a value or an error: no crash,
// no hang, no sanitizer report.
#include <unistd.h>

#include <cstdint>
#include <string>

#include "config.h"
#include "file.h"
#include "fuzz_archive.h"
#include "journal/journal.h"
#include "paths.h"

namespace brenvale::fuzz {
namespace {

const std::string& work_dir() {
    static const std::string dir = scratch_dir("journal-fuzz");
    return dir;
}

// Small new segments, so that the appends roll over (a segment keeps the larger size
// limit of its header, the seeds' 512 KiB).
StoreConfig fuzz_config() {
    StoreConfig c;
    c.data_segment_size = 16 * 1024;
    c.initial_data_segment_size = 4 * 1024;
    c.compress_level = 3;
    c.enable_background_thread = false;
    return c;
}

template <typename T>
void use(const Result<T>& r) {
    if (r.ok()) asm volatile("" : : "r"(&r.value()) : "memory");
}
void use(const Status& s) { (void)s.ok(); }

void reads(Journal& j) {
    auto last = j.last_sequence();
    const int64_t latest = last.ok() && last->has_value() ? static_cast<int64_t>(**last) : 5;
    for (int64_t s : {int64_t{1}, int64_t{2}, latest / 2, latest - 1, latest, latest + 1, int64_t{0}, INT64_MAX})
        use(j.read(s));
    use(j.query(-5, 40));
    use(j.query(latest - 30, latest + 5));
    use(j.query(1, INT64_MAX));
}

void exercise_read_only() {
    auto j = Journal::open_read_only(work_dir(), fuzz_config());
    if (j.ok()) reads(**j);
}

void exercise_writable() {
    auto opened = Journal::open(work_dir(), fuzz_config());
    if (!opened.ok()) return;
    Journal& j = **opened;
    reads(j);
    auto queue = j.open_queue();
    std::optional<JournalQueueConsumer> consumer;
    if (queue.ok()) {
        auto c = queue->open_consumer("f", *ConsumerConfig::create(0, 0));
        if (c.ok()) consumer.emplace(std::move(*c));
    }
    // Small records and larger ones that fill segments and roll over, then one record
    // too large for a new segment.
    const std::vector<uint8_t> meta(3000, 0x5a);
    for (uint64_t i = 0; i < 200; ++i) {
        if (i % 50 == 7) {
            use(j.record_create_dataset(1 + i, {"f", "z"}, meta));
        } else {
            use(j.append(JournalRecord::record_append(1 + i % 3, {int64_t(i), i * 64, uint16_t(i % 9)}, 4, 8)));
        }
        if (consumer && i % 40 == 0) {
            auto polled = consumer->poll(0);
            if (polled.ok() && polled->has_value()) use(consumer->ack(static_cast<int64_t>((*polled)->sequence)));
        }
    }
    use(j.record_create_dataset(999, {"f", "z"}, std::vector<uint8_t>(65535, 0x33)));
    reads(j);
    use(j.flush());
    use(j.close_queue());
}

}  // namespace
}  // namespace brenvale::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace brenvale;
    using namespace brenvale::fuzz;
    const auto files = parse_archive(data, size, journal_layout());
    (void)remove_dir_all(work_dir());
    if (!unpack_into(files, paths::journal_logs_dir(work_dir()), journal_layout())) return 0;
    exercise_read_only();
    exercise_writable();
    // The read-only pass sees the files as the writable pass left them.
    exercise_read_only();
    (void)remove_dir_all(work_dir());
    return 0;
}
