// The checkpoint record: how far one indexer has got on one chain.
// Plain value type; copying copies the texts, so two records never share storage.
#pragma once

#include <cstdint>
#include <string>

namespace vorlane {

struct Checkpoint {
    std::string chain_id;
    std::string indexer_id;
    std::uint64_t block_number = 0;
    std::string block_hash;
    std::int64_t updated_at = 0;  // whole seconds since 1970-01-01T00:00:00 UTC
};

// Current wall-clock time in whole seconds since the Unix epoch, rounded down;
// a clock set before 1970 reads as 0.
[[nodiscard]] std::int64_t unix_time_now() noexcept;

}  // namespace vorlane
