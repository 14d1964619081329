// Checkpoints in a PostgreSQL table, over one libpq connection driven
// without blocking through an Asio reactor.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vorlane/checkpoint_store.hpp"
#include "vorlane/local_loop.hpp"
#include "vorlane/result.hpp"
#include "vorlane/sink.hpp"
#include "vorlane/table_name.hpp"
#include "vorlane/task.hpp"

namespace vorlane {

namespace detail {
class PostgresSession;
}

struct PostgresOptions {
    // Created in the connection's current schema when missing; must pass
    // is_valid_table_name and must not start with "pg_" (such a name would
    // resolve to a system catalog first).
    std::string table = std::string(kDefaultTableName);
    // How long one operation, connecting included, may wait on the server in
    // all (at least 1 ms); none: no limit of the store's own. Unless the
    // connection string sets them, it also sets TCP keepalives and
    // tcp_user_timeout, so a peer that vanishes between operations is
    // noticed within about this long.
    std::optional<std::chrono::milliseconds> timeout = std::chrono::seconds(30);
};

// One row per (chain_id, indexer_id), keyed by the SHA-256 of the two texts,
// each preceded by its length as a big-endian u64 (so keys of any length fit
// an index entry); the texts are kept beside the key as bytea and compared in
// every statement too. block_number is numeric(20,0), checked to the u64
// range, so it reads as the true decimal in SQL.
//
// Semantics are those of InMemoryCheckpointStore, with every operation one
// round trip of a statement prepared once per connection (a conditional save
// that does not match takes a second one to read the stored number). Errors
// of the server or the connection are IndexerError::storage with libpq's own
// message; the password of the connection string never appears in one.
//
// An operation waiting on the server is a coroutine suspended on the store's
// io_context and holds no thread. A lost connection fails the operation that
// finds out; the next one reconnects. Nothing is retried.
//
// An operation still waiting when its timeout runs out asks the server to
// cancel the statement in flight (waiting for that at most half the timeout,
// and never more than a second), drops the connection and fails with
// "timed out after <timeout> s waiting for the server"; the next one
// reconnects. A connection string's own connect_timeout still bounds each
// connection attempt.
//
// Operations on one store must not overlap (the next one starts after the
// previous one has finished); one that does fails with a Storage error and
// leaves the running one alone. They may run on different threads one after
// the other.
// What one transaction writes beside the checkpoint (see write_beside).
struct PgBatch {
    // Run in order after the checkpoint's change. A statement that returns
    // a row whose first value is not NULL fails the batch with that text.
    std::vector<std::string> statements;
    // COPY ... FROM STDIN (FORMAT binary) statements with their whole data.
    std::vector<std::pair<std::string, std::string>> copies;
};

class PostgresCheckpointStore final : public CheckpointStore {
public:
    // Connects at once (driving `io` on the calling thread until done, see
    // run_on) and checks the table, creating it when missing. The store's
    // socket waits run on `io`, which must outlive the store.
    static Result<std::unique_ptr<PostgresCheckpointStore>> connect(
        asio::io_context& io, const std::string& conninfo, PostgresOptions options = {});

    // The same store without connecting yet: its first operation connects,
    // within that operation's timeout. Fails only on invalid options.
    static Result<std::unique_ptr<PostgresCheckpointStore>> prepare(
        asio::io_context& io, const std::string& conninfo, PostgresOptions options = {});

    // Closes the connection.
    ~PostgresCheckpointStore() override;

    PostgresCheckpointStore(const PostgresCheckpointStore&) = delete;
    PostgresCheckpointStore& operator=(const PostgresCheckpointStore&) = delete;

    [[nodiscard]] Task<Result<std::optional<Checkpoint>>> load(
        std::string_view chain_id, std::string_view indexer_id) const override;
    [[nodiscard]] Task<Result<void>> save(Checkpoint checkpoint) const override;
    [[nodiscard]] Task<Result<void>> save_if(
        Checkpoint checkpoint, std::optional<std::uint64_t> expected_block_number) const override;
    [[nodiscard]] Task<Result<void>> delete_(std::string_view chain_id,
                                             std::string_view indexer_id) const override;

    // The connection's parameters without the password, e.g.
    // "host=/tmp/x port=5432 dbname=postgres user=vorlane".
    [[nodiscard]] std::string describe() const;

    // One transaction: `change` on the checkpoint table (save_if is fenced
    // as save_if() is, holding the row until the end), then `batch`; all of
    // it commits or none does, within the store's timeout.
    [[nodiscard]] Task<Result<void>> write_beside(const PgBatch& batch,
                                                  CheckpointChange change) const;

private:
    explicit PostgresCheckpointStore(std::unique_ptr<detail::PostgresSession> session);

    std::unique_ptr<detail::PostgresSession> session_;
};

}  // namespace vorlane
