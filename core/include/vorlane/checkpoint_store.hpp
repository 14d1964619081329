// Persistence of checkpoints, keyed by the pair (chain_id, indexer_id).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "vorlane/checkpoint.hpp"
#include "vorlane/result.hpp"
#include "vorlane/task.hpp"

namespace vorlane {

namespace detail {
class CheckpointTable;
}

class CheckpointStore {
public:
    virtual ~CheckpointStore() = default;

    // Each returns a pending operation that does nothing until driven. The
    // store must outlive it. Identifiers are compared byte for byte; the
    // texts behind the views are copied into the operation when it is
    // created, so they need not outlive it.
    [[nodiscard]] virtual Task<Result<std::optional<Checkpoint>>> load(
        std::string_view chain_id, std::string_view indexer_id) const = 0;
    [[nodiscard]] virtual Task<Result<void>> save(Checkpoint checkpoint) const = 0;
    // Conditional save for several writers of one pair: stores `checkpoint`
    // only if the stored block number equals `expected_block_number`, or, when
    // that is empty, only if nothing is stored. Otherwise fails with
    // CheckpointMismatch carrying the stored block number (the expected one
    // when nothing is stored). The check and the write are one atomic step.
    [[nodiscard]] virtual Task<Result<void>> save_if(
        Checkpoint checkpoint, std::optional<std::uint64_t> expected_block_number) const = 0;
    // Deleting a pair that has no checkpoint succeeds.
    [[nodiscard]] virtual Task<Result<void>> delete_(std::string_view chain_id,
                                                     std::string_view indexer_id) const = 0;

protected:
    CheckpointStore() = default;
    CheckpointStore(const CheckpointStore&) = default;
    CheckpointStore& operator=(const CheckpointStore&) = default;
};

// Process-local store. All operations complete without suspending and never
// report a failure. save() is an unconditional upsert that keeps the record's
// own updated_at, even when it is older or lower than the stored one.
//
// Safe to use from many threads at once: one mutex guards the table and is
// held only for the lookup and the copy in or out. Each operation holds a
// reference to the table, so an operation created from a store stays valid
// even if the store object itself is destroyed first.
class InMemoryCheckpointStore final : public CheckpointStore {
public:
    // Seeds the table's hash with fresh random bytes from the OS.
    // Throws std::runtime_error if libsodium cannot be initialised.
    InMemoryCheckpointStore();
    ~InMemoryCheckpointStore() override;

    InMemoryCheckpointStore(const InMemoryCheckpointStore&) = delete;
    InMemoryCheckpointStore& operator=(const InMemoryCheckpointStore&) = delete;

    [[nodiscard]] Task<Result<std::optional<Checkpoint>>> load(
        std::string_view chain_id, std::string_view indexer_id) const override;
    [[nodiscard]] Task<Result<void>> save(Checkpoint checkpoint) const override;
    [[nodiscard]] Task<Result<void>> save_if(
        Checkpoint checkpoint, std::optional<std::uint64_t> expected_block_number) const override;
    [[nodiscard]] Task<Result<void>> delete_(std::string_view chain_id,
                                             std::string_view indexer_id) const override;

    // Number of stored checkpoints.
    [[nodiscard]] std::size_t size() const;

private:
    std::shared_ptr<detail::CheckpointTable> table_;
};

}  // namespace vorlane
