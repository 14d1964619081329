// Durable checkpoint store in one SQLite database file.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vorlane/checkpoint_store.hpp"
#include "vorlane/result.hpp"
#include "vorlane/table_name.hpp"

namespace vorlane {

namespace detail {
class SqliteConnection;
}

struct SqliteOptions {
    // Must satisfy is_valid_table_name(); open() refuses anything else.
    std::string table = std::string(kDefaultTableName);
    // true: every commit is synced to disk (PRAGMA synchronous=FULL) and
    // survives a power loss. false: synchronous=NORMAL, a commit survives the
    // process being killed but may be lost with the machine.
    bool synchronous = true;
    // How long an operation waits for another connection's lock before it
    // fails with "database is locked".
    std::chrono::milliseconds busy_timeout{5000};
};

// One connection to the file, in WAL mode. Several stores, in this process or
// in others, may use one file at once; each write is its own transaction, so
// a save that has returned survives the process being killed at any moment.
//
// Rows live in `options.table`, created when missing, keyed by the pair
// (chain_id, indexer_id). Texts are stored as BLOBs, byte for byte.
// block_number keeps the whole unsigned range and reads in SQL as its decimal
// value: INTEGER up to 2^63-1, decimal TEXT above.
//
// Operations complete without suspending: they block the driving thread for
// the duration of the SQLite calls. A mutex serialises them, so one store may
// be used from many threads at once. The store must outlive its operations.
// Every SQLite failure is reported as IndexerError::Storage with SQLite's own
// message.
class SqliteCheckpointStore final : public CheckpointStore {
public:
    // Opens or creates the database file at `path` and the table. Failures
    // (unopenable path, not a database, a read-only file, a table of another
    // shape, an invalid table name) come back as IndexerError::Storage naming
    // the path or the table.
    [[nodiscard]] static Result<std::unique_ptr<SqliteCheckpointStore>> open(
        const std::string& path, SqliteOptions options = {});

    ~SqliteCheckpointStore() override;

    // For a process forked while `store` was open and idle: closes the
    // connection it inherited without checkpointing or removing the WAL (the
    // parent's) and without touching the parent's locks. SQLite tracks file
    // locks per process, so the child must do this before it opens the file
    // again: otherwise its new connection believes it holds locks it does
    // not, and the parent's next checkpoint can discard the child's commits.
    static void close_inherited(std::unique_ptr<SqliteCheckpointStore> store) noexcept;

    SqliteCheckpointStore(const SqliteCheckpointStore&) = delete;
    SqliteCheckpointStore& operator=(const SqliteCheckpointStore&) = delete;

    [[nodiscard]] Task<Result<std::optional<Checkpoint>>> load(
        std::string_view chain_id, std::string_view indexer_id) const override;
    [[nodiscard]] Task<Result<void>> save(Checkpoint checkpoint) const override;
    [[nodiscard]] Task<Result<void>> save_if(
        Checkpoint checkpoint, std::optional<std::uint64_t> expected_block_number) const override;
    [[nodiscard]] Task<Result<void>> delete_(std::string_view chain_id,
                                             std::string_view indexer_id) const override;

private:
    explicit SqliteCheckpointStore(std::unique_ptr<detail::SqliteConnection> connection);

    std::unique_ptr<detail::SqliteConnection> connection_;
};

}  // namespace vorlane
