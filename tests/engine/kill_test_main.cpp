// kill_test: the dataset kill test for long local runs.
//   kill_test --kills 3000 --seed 7 [--dir D] [--max-delay-ms 40] [--rounds-per-dataset 20]
//             [--keep-failures DIR] [--verbose]
// Exits 1 when any kill left a failure.
#include <cstdlib>
#include <cstring>
#include <string>

#include <fmt/format.h>

#include "kill_harness.h"

int main(int argc, char** argv) {
    brenvale::killtest::Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
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
        else if (a == "--verbose") o.verbose = true;
        else {
            fmt::print(stderr, "unknown argument {}\n", a);
            return 2;
        }
    }
    const auto report = brenvale::killtest::run(o);
    fmt::print("{}", brenvale::killtest::format_report(report));
    return report.failures.empty() ? 0 : 1;
}
