// Durable checkpoint store in one SQLite database file.
#pragma once

#include <chrono>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vorlane/checkpoint_store.hpp"
#include "vorlane/result.hpp"
#include "vorlane/sink.hpp"
#include "vorlane/table_name.hpp"

struct sqlite3;

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
    // How long a write waits for its turn and for another connection's lock,
    // or a read for the file's recovery, before it fails with "database is
    // locked".
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
// Writers take turns in the order the kernel queues them on a lock of the
// side file `<file>-lock` (created next to the database with its
// permissions, and left there), so none of them starves while others keep
// writing.
//
// Operations complete without suspending: they block the driving thread for
// the duration of the SQLite calls. A mutex serialises them, so one store may
// be used from many threads at once. The store must outlive its operations.
// Every SQLite failure is reported as IndexerError::Storage with SQLite's own
// message. A write into a database whose file was deleted, or replaced at
// its path, fails with "database file was deleted or replaced", and so does
// every later operation of the store.
//
// fork() waits until no operation of any store is running. In the child,
// the stores it inherited are closed (the parent's are untouched) before its
// first operation, and their operations fail: open the file again there.
// What a write beside the checkpoints (SqliteCheckpointStore::write_beside)
// sees of the connection, inside its transaction.
class SqliteWriter {
public:
    [[nodiscard]] virtual sqlite3* handle() noexcept = 0;
    // SQLite's message for the connection's last failure, with the path.
    [[nodiscard]] virtual IndexerError last_failure() = 0;
    // The writer's own state (prepared statements), kept with the
    // connection and destroyed before it closes; null on a new connection.
    [[nodiscard]] virtual std::shared_ptr<void>& state() noexcept = 0;

protected:
    ~SqliteWriter() = default;
};

class SqliteCheckpointStore final : public CheckpointStore {
public:
    // Opens or creates the database file at `path` and the table. Failures
    // (unopenable path, not a database, a read-only file, a table of another
    // shape, an invalid table name) come back as IndexerError::Storage naming
    // the path or the table.
    [[nodiscard]] static Result<std::unique_ptr<SqliteCheckpointStore>> open(
        const std::string& path, SqliteOptions options = {});

    ~SqliteCheckpointStore() override;

    SqliteCheckpointStore(const SqliteCheckpointStore&) = delete;
    SqliteCheckpointStore& operator=(const SqliteCheckpointStore&) = delete;

    [[nodiscard]] Task<Result<std::optional<Checkpoint>>> load(
        std::string_view chain_id, std::string_view indexer_id) const override;
    [[nodiscard]] Task<Result<void>> save(Checkpoint checkpoint) const override;
    [[nodiscard]] Task<Result<void>> save_if(
        Checkpoint checkpoint, std::optional<std::uint64_t> expected_block_number) const override;
    [[nodiscard]] Task<Result<void>> delete_(std::string_view chain_id,
                                             std::string_view indexer_id) const override;

    // One write transaction: `change` on the checkpoint table (save_if is
    // fenced as save_if() is) and then `body`; both commit together or
    // neither does. Runs at once, blocking the calling thread.
    [[nodiscard]] Result<void> write_beside(const std::function<Result<void>(SqliteWriter&)>& body,
                                            const CheckpointChange& change) const;

private:
    explicit SqliteCheckpointStore(std::unique_ptr<detail::SqliteConnection> connection);

    std::unique_ptr<detail::SqliteConnection> connection_;
};

}  // namespace vorlane
