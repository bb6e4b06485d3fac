// Writes the seed corpus of the dataset fuzz target: small valid datasets of both index
// modes and both codecs, with sealed, single-record and pending blocks, several segments of each kind,
// gaps, out-of-order writes, deletes and appends; two of them with a retention window. The
// zstd ones are also written as left by a writer ended in a correction and in a seal (both
// staged in the stage file, the pending block's change counter odd). The corpus keeps two
// seeds of an earlier version's correction staged behind the block (*-behind-the-block).
// With a second directory, also the seeds of the journal fuzz target: journals of both
// codecs in 512 KiB segments from 16 KiB (sealed, single-record and pending blocks) and
// one of many 4 KiB segments (roll-overs).
// Usage: dataset_fuzz_seeds <corpus dir> [<journal corpus dir>]
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "dataset/dataset.h"
#include "file.h"
#include "fuzz_archive.h"
#include "journal/log.h"
#include "test_hooks.h"

using namespace brenvale;

namespace {

const char* g_end_at = nullptr;

// Packs a copy of dir as a writer ended at the crash point `at` left it while it corrected
// a new latest record and then sealed the pending block.
bool interrupted_seed(const std::string& dir, const std::string& path, const char* at) {
    const std::string copy = dir + "-interrupted";
    (void)remove_dir_all(copy);
    if (std::system(fmt::format("cp -r {} {}", dir, copy).c_str()) != 0) return false;
    const pid_t pid = ::fork();
    if (pid == 0) {
        auto ds = Dataset::open({"f", "z"}, copy);
        if (!ds.ok()) _exit(1);
        g_end_at = at;
        set_crash_hook([](const char* step) {
            if (std::strcmp(step, g_end_at) == 0) _exit(0);
        });
        const int64_t t = ds->latest_timestamp().value_or(0) + 1;
        (void)ds->write(t, std::vector<uint8_t>(50, 'n'));
        (void)ds->write(t, std::vector<uint8_t>(7, 'c'));           // corrected in place
        (void)ds->write(t + 1, std::vector<uint8_t>(270000, 's'));  // seals the pending block first
        _exit(1);
    }
    int status = 0;
    const bool ended = pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const auto archive = fuzz::pack_directory(copy);
    (void)remove_dir_all(copy);
    return ended && write_file_atomic(path, std::string(archive.begin(), archive.end())).ok();
}

// One journal seed: the logs directory of a log of `records` records.
bool write_journal_seed(const std::string& out, const std::string& name, JournalLogOptions options, int records) {
    const std::string dir = fmt::format("/tmp/brenvale-journal-seed-{}", name);
    (void)remove_dir_all(dir);
    auto log = JournalLog::open(dir, options);
    if (!log.ok()) return false;
    for (int i = 0; i < records; ++i) {
        size_t len = static_cast<size_t>(20 + (i * 37) % 300);
        if (i % 11 == 10) len = 3000;
        // Over the pending block's capacity: a block of its own (in a segment that can hold
        // it), after the pending block is sealed; small sealed blocks keep the seed small.
        if (i % 40 == 39 && options.segment_size_limit > 400000) len = 300000;
        std::vector<uint8_t> payload(len, static_cast<uint8_t>('a' + i % 26));
        if (!log->append(payload).ok()) return false;
    }
    if (!log->flush().ok()) return false;
    const auto archive = fuzz::pack_directory(dir, fuzz::journal_layout());
    (void)remove_dir_all(dir);
    return write_file_atomic(join_path(out, "seed-journal-" + name), std::string(archive.begin(), archive.end())).ok();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s <corpus dir> [<journal corpus dir>]\n", argv[0]);
        return 2;
    }
    const std::string out = argv[1];
    if (!create_dir_all(out).ok()) return 1;
    int n = 0;
    for (int continuous = 0; continuous < 2; ++continuous) {
        for (uint8_t codec = 0; codec < 2; ++codec) {
            const std::string dir = fmt::format("/tmp/brenvale-seed-{}-{}", continuous, codec);
            (void)remove_dir_all(dir);
            DatasetConfig c;
            c.data_segment_size = 32768;
            c.initial_data_segment_size = 4096;
            c.index_segment_size = 128 + 32 * 24;
            c.initial_index_segment_size = 128 + 32 * 4;
            c.index_continuous = static_cast<uint8_t>(continuous);
            c.compress_type = codec;
            c.compress_level = 3;
            c.retention_window = codec == 1 ? 150 : 0;
            auto ds = Dataset::create({"f", "z"}, dir, c);
            if (!ds.ok()) {
                std::fprintf(stderr, "create: %s\n", ds.error().to_string().c_str());
                return 1;
            }
            int64_t t = 1000;
            for (int i = 0; i < 70; ++i) {
                t += (i % 9 == 8) ? 5 : 1;
                std::string payload(static_cast<size_t>(20 + (i * 37) % 300), static_cast<char>('a' + i % 26));
                if (i % 11 == 10) payload.assign(1500, static_cast<char>(i));  // a larger record
                // Over the pending block's capacity: the pending block is sealed (compressed)
                // and the record gets a compressed block of its own.
                if (i == 30) payload.assign(270000, 'q');
                Status st = ds->write(t, std::vector<uint8_t>(payload.begin(), payload.end()));
                if (!st.ok()) {
                    std::fprintf(stderr, "write %lld: %s\n", static_cast<long long>(t), st.error().to_string().c_str());
                    return 1;
                }
            }
            (void)ds->write(t - 10, std::vector<uint8_t>{1, 2, 3});  // out of order
            (void)ds->delete_record(t - 20);
            (void)ds->append(t, std::vector<uint8_t>{4, 5, 6});
            if (!ds->close().ok()) return 1;
            const auto archive = fuzz::pack_directory(dir);
            const std::string path = fmt::format("{}/seed-{}-{}", out, continuous ? "continuous" : "sparse",
                                                 codec ? "deflate" : "zstd");
            std::string bytes(archive.begin(), archive.end());
            if (!write_file_atomic(path, bytes).ok()) return 1;
            for (const char* at : {"correct.copied", "seal.copy_half"}) {
                if (codec == 0 && !interrupted_seed(dir, fmt::format("{}-{}", path, at), at)) return 1;
                n += codec == 0;
            }
            (void)remove_dir_all(dir);
            ++n;
        }
    }
    std::printf("%d seeds written to %s\n", n, out.c_str());
    if (argc == 3) {
        const std::string journal_out = argv[2];
        if (!create_dir_all(journal_out).ok()) return 1;
        const bool made = write_journal_seed(journal_out, "zstd", {512 * 1024, 16 * 1024, 0, 3}, 130) &&
                          write_journal_seed(journal_out, "deflate", {512 * 1024, 16 * 1024, 1, 3}, 130) &&
                          write_journal_seed(journal_out, "small-segments", {4096, 4096, 0, 3}, 60);
        if (!made) return 1;
        std::printf("3 seeds written to %s\n", journal_out.c_str());
    }
    return 0;
}
