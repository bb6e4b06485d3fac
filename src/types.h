// Small value types shared across components.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "util.h"

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

// A record's timestamp and the length of its payload.
struct RecordLength {
    int64_t timestamp = 0;
    uint32_t length = 0;
    bool operator==(const RecordLength&) const = default;
};

// A dataset key hashed under a map's own random seed (fresh_hash_seed).
struct DataSetKeyHash {
    uint64_t seed = 0;
    size_t operator()(const DataSetKey& k) const {
        return static_cast<size_t>(hash_bytes(hash_bytes(seed, k.name), k.dataset_type));
    }
};

}  // namespace brenvale
