// Small value types shared across components.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace brenvale {

// A dataset's name and dataset type; the dataset lives in <root>/<name>/<dataset_type>/.
struct DataSetKey {
    std::string name;
    std::string dataset_type;

    bool operator==(const DataSetKey&) const = default;

    // "DataSetKey { name: \"a\", dataset_type: \"b\" }", the form used inside store messages.
    std::string debug_string() const {
        return fmt::format("DataSetKey {{ name: \"{}\", dataset_type: \"{}\" }}", name, dataset_type);
    }
};

// One record: a signed timestamp and its payload.
struct Record {
    int64_t timestamp = 0;
    std::vector<uint8_t> data;
    bool operator==(const Record&) const = default;
};

struct DataSetKeyHash {
    size_t operator()(const DataSetKey& k) const {
        size_t h = std::hash<std::string>{}(k.name);
        return h ^ (std::hash<std::string>{}(k.dataset_type) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};

}  // namespace brenvale
