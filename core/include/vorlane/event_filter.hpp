// Which logs an indexer is interested in: contract addresses, first topics
// and an optional block range.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane {

// Byte-wise equality in which only ASCII 'A'..'Z' are folded to lower case;
// every other byte (including all bytes of multi-byte UTF-8 sequences) must
// match exactly. No trimming and no Unicode folding.
[[nodiscard]] bool ascii_case_insensitive_equal(std::string_view a, std::string_view b) noexcept;

struct EventFilter {
    std::vector<std::string> addresses;
    std::vector<std::string> topic0_values;
    std::optional<std::uint64_t> from_block;
    std::optional<std::uint64_t> to_block;

    [[nodiscard]] static EventFilter for_address(std::string address);

    void add_address(std::string address);
    void add_topic0(std::string topic0);
    void set_from_block(std::uint64_t block) noexcept;

    // An empty list accepts every candidate; otherwise the candidate must
    // equal some entry under ascii_case_insensitive_equal.
    [[nodiscard]] bool matches_address(std::string_view address) const noexcept;
    [[nodiscard]] bool matches_topic0(std::string_view topic0) const noexcept;

    friend bool operator==(const EventFilter&, const EventFilter&) = default;
};

}  // namespace vorlane
