// The error type every fallible core operation reports.
//
// A closed set of seven kinds; each carries owned texts (and, for the
// block-level kinds, the block number). message() renders the user-facing
// text; the binding layer shows it verbatim, so its wording is part of the
// public behaviour.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace vorlane {

class IndexerError {
public:
    struct Rpc {
        std::string message;
        friend bool operator==(const Rpc&, const Rpc&) = default;
    };
    struct Storage {
        std::string message;
        friend bool operator==(const Storage&, const Storage&) = default;
    };
    struct Handler {
        std::string handler;
        std::string message;
        friend bool operator==(const Handler&, const Handler&) = default;
    };
    struct Reorg {
        std::uint64_t block_number = 0;
        std::string expected_hash;
        std::string actual_hash;
        friend bool operator==(const Reorg&, const Reorg&) = default;
    };
    struct CheckpointMismatch {
        std::uint64_t block_number = 0;
        friend bool operator==(const CheckpointMismatch&, const CheckpointMismatch&) = default;
    };
    struct Aborted {
        std::string message;
        friend bool operator==(const Aborted&, const Aborted&) = default;
    };
    struct Other {
        std::string message;
        friend bool operator==(const Other&, const Other&) = default;
    };

    // Same order as the alternatives of Variant; kind() relies on it.
    enum class Kind { Rpc, Storage, Handler, Reorg, CheckpointMismatch, Aborted, Other };

    using Variant = std::variant<Rpc, Storage, Handler, Reorg, CheckpointMismatch, Aborted, Other>;

    // Implicit from any alternative, so `IndexerError e = IndexerError::Rpc{"x"};` works.
    template <class Alt>
        requires std::is_constructible_v<Variant, Alt&&>
    IndexerError(Alt&& alt) : data_(std::forward<Alt>(alt)) {}  // NOLINT(google-explicit-constructor)

    [[nodiscard]] static IndexerError rpc(std::string message);
    [[nodiscard]] static IndexerError storage(std::string message);
    [[nodiscard]] static IndexerError handler(std::string handler, std::string message);
    [[nodiscard]] static IndexerError reorg(std::uint64_t block_number, std::string expected_hash,
                                            std::string actual_hash);
    [[nodiscard]] static IndexerError checkpoint_mismatch(std::uint64_t block_number);
    [[nodiscard]] static IndexerError aborted(std::string message);
    [[nodiscard]] static IndexerError other(std::string message);

    [[nodiscard]] Kind kind() const noexcept { return static_cast<Kind>(data_.index()); }

    // The alternative's fields, or nullptr when the error is of another kind.
    template <class Alt>
    [[nodiscard]] const Alt* get_if() const noexcept {
        return std::get_if<Alt>(&data_);
    }
    [[nodiscard]] const Variant& data() const noexcept { return data_; }

    // The user-facing text, e.g. "RPC error: timeout" or
    // "Reorg detected at block 7: expected hash 0xa, got 0xb".
    [[nodiscard]] std::string message() const;

    friend bool operator==(const IndexerError&, const IndexerError&) = default;

private:
    Variant data_;
};

}  // namespace vorlane
