// Minimal description of one block, enough to check chain continuity.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

namespace vorlane {

struct BlockSummary {
    std::uint64_t number = 0;
    std::string hash;
    std::string parent_hash;
    std::int64_t timestamp = 0;
    std::uint32_t tx_count = 0;

    // True exactly when this block is the direct successor of `parent`: its
    // number is one higher and its parent_hash equals parent.hash byte for
    // byte (case significant). The highest representable block number has no
    // successor. Timestamps, transaction counts and the other hashes are not
    // considered.
    [[nodiscard]] bool extends_parent(const BlockSummary& parent) const noexcept {
        return parent.number != std::numeric_limits<std::uint64_t>::max() &&
               number == parent.number + 1 && parent_hash == parent.hash;
    }

    friend bool operator==(const BlockSummary&, const BlockSummary&) = default;
};

}  // namespace vorlane
