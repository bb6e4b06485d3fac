// The dataset kill test: a writer process runs random operations on datasets of the four
// kinds (sparse or continuous index, zstd or deflate) with small segments, reporting each
// operation over a pipe before it starts and after it returns; it is SIGKILLed after a
// random delay, and a fresh checker process then verifies the dataset against the model
// of the acknowledged operations, its counts against the files at rest, its invalid count
// against the changes made (the writer reports the count after each operation) and its
// records counted minus invalid against the records it holds.
// Used by the `kill_test` tool and a short engine test.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "segment/data.h"

namespace brenvale::killtest {

struct Options {
    uint64_t kills = 40;
    uint64_t seed = 1;
    std::string dir;            // working directory (a temporary one when empty)
    uint32_t max_delay_ms = 40; // kill delays are drawn from [0, max_delay_ms], now and then longer
    uint32_t rounds_per_dataset = 10;  // a dataset is started afresh after this many kills
    std::string keep_failures;  // copies each failing dataset and its model here when set
    // The writer writes three records, then only rewrites the second (an out-of-order
    // write each time), instead of the random operations.
    bool rewrite_one = false;
    bool verbose = false;
};

struct Failure {
    uint64_t count = 0;
    std::string example;  // the first occurrence: kill number, kind and details
};

struct Report {
    uint64_t kills = 0;
    uint64_t acked_ops = 0;
    uint64_t killed_in_flight = 0;  // kills that interrupted an operation
    uint64_t in_flight_new = 0;     // ... whose record then held the new value
    std::map<std::string, Failure> failures;  // by class
};

Report run(const Options& options);

std::string format_report(const Report& report);

// Files at rest, parsed on their own (not through the engine's open), in the layout of
// doc/formats.md: each data segment's blocks tile its written bytes, its pending fields
// name its last raw block or are zero and its header counters equal the records its
// blocks hold; nothing else lies beside them but the stage file at its full length; the
// index segment headers parse; the state file's totals, invalid records included, are those
// of the segments below its watermark (index/ and state are checked when present). Gives
// the first fault or an empty text; *totals gets what the data segments hold, their invalid
// counts included.
std::string check_files_at_rest(const std::string& dir, SegmentStats* totals);

}  // namespace brenvale::killtest
