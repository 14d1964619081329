// Settings of one indexer, with their defaults.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vorlane/event_filter.hpp"
#include "vorlane/result.hpp"

namespace vorlane {

struct IndexerConfig {
    std::string id = "default";
    std::string chain = "ethereum";
    std::uint64_t from_block = 0;
    std::optional<std::uint64_t> to_block;
    std::uint64_t confirmation_depth = 12;
    std::uint64_t batch_size = 1000;
    std::uint64_t checkpoint_interval = 100;
    std::uint64_t poll_interval_ms = 2000;
    EventFilter filter;

    // Compact JSON with the members in declaration order, the filter nested
    // as {"addresses","topic0_values","from_block","to_block"}, absent values
    // as null, and non-ASCII text written as UTF-8 (not \u-escaped). Fails
    // with the JSON writer's message when a text is not valid UTF-8.
    [[nodiscard]] Result<std::string, std::string> to_json() const;

    friend bool operator==(const IndexerConfig&, const IndexerConfig&) = default;
};

}  // namespace vorlane
