// Settings of one indexer, with their defaults.
#pragma once

#include <cstddef>
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

    // The same text written straight into a caller's buffer, for the common
    // case of texts that are plain ASCII: ascii_json_size() is its length in
    // bytes, or 0 when some text holds a byte from 0x80 up (use to_json(),
    // which checks the UTF-8). write_ascii_json() then writes exactly that
    // many bytes to `out` (no terminating NUL).
    [[nodiscard]] std::size_t ascii_json_size() const noexcept;
    void write_ascii_json(char* out) const noexcept;

    friend bool operator==(const IndexerConfig&, const IndexerConfig&) = default;
};

}  // namespace vorlane
