// kill_test: the dataset kill test for long local runs.
//   kill_test --kills 3000 --seed 7 [--dir D] [--max-delay-ms 40] [--rounds-per-dataset 20]
//             [--keep-failures DIR] [--rewrite-one] [--verbose]
// Exits 1 when any kill left a failure.
#include <cstdlib>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "kill_harness.h"

namespace {

constexpr const char* kUsage =
    "usage: kill_test [--kills N] [--seed N] [--dir DIR] [--max-delay-ms MS]\n"
    "                 [--rounds-per-dataset N] [--keep-failures DIR] [--rewrite-one]\n"
    "                 [--verbose]\n"
    "\n"
    "The dataset kill test: a writer process is killed at random moments, and a fresh\n"
    "process checks after each kill that every acknowledged record is there. Exits 1\n"
    "when any kill left a failure.\n"
    "\n"
    "  --kills N               kills to make (default 40)\n"
    "  --seed N                seed of the random choices (default 1)\n"
    "  --dir DIR               working directory (default: a temporary one)\n"
    "  --max-delay-ms MS       longest usual delay before a kill (default 40)\n"
    "  --rounds-per-dataset N  kills before a dataset is started afresh (default 10)\n"
    "  --keep-failures DIR     copy each failing dataset and its model into DIR\n"
    "  --rewrite-one           write three records, then only rewrite the second\n"
    "  --verbose               one line per kill\n"
    "  -h, --help              print this help and exit\n";

}  // namespace

int main(int argc, char** argv) {
    brenvale::killtest::Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            fmt::print("{}", kUsage);
            return 0;
        }
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                fmt::print(stderr, "{} needs a value\n", a);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--kills") o.kills = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--seed") o.seed = std::strtoull(value().c_str(), nullptr, 10);
        else if (a == "--dir") o.dir = value();
        else if (a == "--max-delay-ms") o.max_delay_ms = static_cast<uint32_t>(std::strtoul(value().c_str(), nullptr, 10));
        else if (a == "--rounds-per-dataset") o.rounds_per_dataset = static_cast<uint32_t>(std::strtoul(value().c_str(), nullptr, 10));
        else if (a == "--keep-failures") o.keep_failures = value();
        else if (a == "--rewrite-one") o.rewrite_one = true;
        else if (a == "--verbose") o.verbose = true;
        else {
            fmt::print(stderr, "unknown argument {} (try --help)\n", a);
            return 2;
        }
    }
    const auto report = brenvale::killtest::run(o);
    fmt::print("{}", brenvale::killtest::format_report(report));
    return report.failures.empty() ? 0 : 1;
}
