#include "vorlane/sqlite_store.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace vorlane {

namespace detail {

namespace {

using Rows = std::vector<std::vector<std::string>>;

constexpr auto kMaxInteger = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// The layout of a checkpoint table: column name, declared type (the type
// decides the column's affinity; block_number has none, so neither INTEGER
// nor TEXT values are converted) and position in the primary key (0: none).
struct ColumnShape {
    std::string_view name;
    std::string_view type;
    std::string_view pk;
};
constexpr std::array<ColumnShape, 5> kColumns = {{
    {"chain_id", "BLOB", "1"},
    {"indexer_id", "BLOB", "2"},
    {"block_number", "", "0"},
    {"block_hash", "BLOB", "0"},
    {"updated_at", "INTEGER", "0"},
}};

bool is_busy(int rc) noexcept { return (rc & 0xff) == SQLITE_BUSY; }

bool equal_ascii_nocase(std::string_view a, std::string_view b) noexcept {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](char x, char y) { return lower(x) == lower(y); });
}

// Resets a statement and drops its bindings when a use of it ends, on every
// path, so no read transaction stays open and no caller's bytes stay bound.
class StatementUse {
public:
    explicit StatementUse(sqlite3_stmt* statement) noexcept : statement_(statement) {}
    ~StatementUse() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;

private:
    sqlite3_stmt* statement_;
};

// Texts are bound as BLOBs with their byte length: NUL bytes and invalid
// UTF-8 are kept, and comparisons are byte for byte. The bytes must stay put
// until the statement is reset. data() of a std::string is never null, so an
// empty text binds as an empty BLOB, not as NULL.
int bind_bytes(sqlite3_stmt* statement, int index, const std::string& text) noexcept {
    return sqlite3_bind_blob64(statement, index, text.data(), text.size(), SQLITE_STATIC);
}

// Up to 2^63-1 as INTEGER, above as decimal TEXT, so that SQL reads the true
// value either way.
int bind_block_number(sqlite3_stmt* statement, int index, std::uint64_t n) noexcept {
    if (n <= kMaxInteger)
        return sqlite3_bind_int64(statement, index, static_cast<sqlite3_int64>(n));
    char digits[20];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, n);
    (void)ec;  // cannot fail: 20 digits hold the widest value
    return sqlite3_bind_text(statement, index, digits, static_cast<int>(end - digits),
                             SQLITE_TRANSIENT);
}

std::optional<std::uint64_t> column_block_number(sqlite3_stmt* statement, int index) noexcept {
    switch (sqlite3_column_type(statement, index)) {
        case SQLITE_INTEGER: {
            const sqlite3_int64 v = sqlite3_column_int64(statement, index);
            if (v < 0) return std::nullopt;
            return static_cast<std::uint64_t>(v);
        }
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
            const int size = sqlite3_column_bytes(statement, index);
            if (text == nullptr || size <= 0) return std::nullopt;
            std::uint64_t v = 0;
            const auto [end, ec] = std::from_chars(text, text + size, v);
            if (ec != std::errc{} || end != text + size) return std::nullopt;
            return v;
        }
        default:
            return std::nullopt;
    }
}

std::optional<std::string> column_bytes(sqlite3_stmt* statement, int index) {
    const int type = sqlite3_column_type(statement, index);
    if (type != SQLITE_BLOB && type != SQLITE_TEXT) return std::nullopt;
    const void* data = sqlite3_column_blob(statement, index);
    const int size = sqlite3_column_bytes(statement, index);
    if (size <= 0) return std::string();
    if (data == nullptr) return std::nullopt;  // out of memory
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

}  // namespace

// One connection and its prepared statements. Every public member function
// is one whole operation and holds the mutex throughout.
class SqliteConnection {
public:
    static Result<std::unique_ptr<SqliteConnection>> open(const std::string& path,
                                                          const SqliteOptions& options);

    ~SqliteConnection() {
        for (sqlite3_stmt* statement :
             {load_, load_block_, upsert_, delete_, begin_, commit_, rollback_})
            sqlite3_finalize(statement);  // null is a no-op
        sqlite3_close_v2(db_);
    }

    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // Closing must then leave the WAL alone: it belongs to the parent.
    void skip_checkpoint_on_close() noexcept {
        sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    }

    Result<std::optional<Checkpoint>> load(std::string chain_id, std::string indexer_id) {
        using Loaded = std::optional<Checkpoint>;
        const std::lock_guard lock(mutex_);
        const StatementUse use(load_);
        if (bind_key(load_, chain_id, indexer_id) != SQLITE_OK) return failure<Loaded>(error());
        const int rc = sqlite3_step(load_);
        if (rc == SQLITE_DONE) return success<Loaded>(std::nullopt);
        if (rc != SQLITE_ROW) return failure<Loaded>(error());
        const auto block_number = column_block_number(load_, 0);
        auto block_hash = column_bytes(load_, 1);
        if (!block_number || !block_hash || sqlite3_column_type(load_, 2) != SQLITE_INTEGER)
            return failure<Loaded>(malformed_row());
        return success<Loaded>(Checkpoint{
            std::move(chain_id), std::move(indexer_id), *block_number, std::move(*block_hash),
            sqlite3_column_int64(load_, 2)});
    }

    Result<void> save(const Checkpoint& checkpoint) {
        const std::lock_guard lock(mutex_);
        return in_write_transaction([&] { return upsert(checkpoint); });
    }

    Result<void> save_if(const Checkpoint& checkpoint, std::optional<std::uint64_t> expected) {
        const std::lock_guard lock(mutex_);
        return in_write_transaction([&]() -> Result<void> {
            std::optional<std::uint64_t> stored;
            {
                const StatementUse use(load_block_);
                if (bind_key(load_block_, checkpoint.chain_id, checkpoint.indexer_id) != SQLITE_OK)
                    return failure<void>(error());
                const int rc = sqlite3_step(load_block_);
                if (rc == SQLITE_ROW) {
                    stored = column_block_number(load_block_, 0);
                    if (!stored) return failure<void>(malformed_row());
                } else if (rc != SQLITE_DONE) {
                    return failure<void>(error());
                }
            }
            if (!stored && expected)
                return failure<void>(IndexerError::checkpoint_mismatch(*expected));
            if (stored && (!expected || *expected != *stored))
                return failure<void>(IndexerError::checkpoint_mismatch(*stored));
            return upsert(checkpoint);
        });
    }

    Result<void> erase(const std::string& chain_id, const std::string& indexer_id) {
        const std::lock_guard lock(mutex_);
        return in_write_transaction([&]() -> Result<void> {
            const StatementUse use(delete_);
            if (bind_key(delete_, chain_id, indexer_id) != SQLITE_OK ||
                sqlite3_step(delete_) != SQLITE_DONE)
                return failure<void>(error());
            return success<void>();
        });
    }

private:
    SqliteConnection(std::string path, std::string table, std::chrono::milliseconds busy_timeout)
        : path_(std::move(path)), table_(std::move(table)), busy_timeout_(busy_timeout) {}

    // SQLite's message for the connection's last failure, with the file.
    [[nodiscard]] IndexerError error() const { return with_path(sqlite3_errmsg(db_)); }
    [[nodiscard]] IndexerError with_path(std::string_view message) const {
        std::string text(message);
        text.append(": ").append(path_);
        return IndexerError::storage(std::move(text));
    }
    [[nodiscard]] IndexerError malformed_row() const {
        return with_path("table \"" + table_ + "\" holds a row that is not a checkpoint");
    }

    [[nodiscard]] std::string quoted_table() const { return '"' + table_ + '"'; }

    static int bind_key(sqlite3_stmt* statement, const std::string& chain_id,
                        const std::string& indexer_id) noexcept {
        const int rc = bind_bytes(statement, 1, chain_id);
        return rc != SQLITE_OK ? rc : bind_bytes(statement, 2, indexer_id);
    }

    // Runs a statement that returns no rows; its use ends here.
    int run(sqlite3_stmt* statement) noexcept {
        const StatementUse use(statement);
        return sqlite3_step(statement);
    }

    Result<void> upsert(const Checkpoint& cp) {
        const StatementUse use(upsert_);
        if (bind_key(upsert_, cp.chain_id, cp.indexer_id) != SQLITE_OK ||
            bind_block_number(upsert_, 3, cp.block_number) != SQLITE_OK ||
            bind_bytes(upsert_, 4, cp.block_hash) != SQLITE_OK ||
            sqlite3_bind_int64(upsert_, 5, cp.updated_at) != SQLITE_OK ||
            sqlite3_step(upsert_) != SQLITE_DONE)
            return failure<void>(error());
        return success<void>();
    }

    // BEGIN IMMEDIATE takes the write lock before anything is read, so a
    // writer waits for another one through the busy handler instead of
    // failing at the upgrade from reading to writing. Whatever `body`
    // returns, the transaction is over afterwards: committed when it
    // succeeded, rolled back otherwise (unless SQLite already did).
    template <class Body>
    Result<void> in_write_transaction(Body&& body) {
        if (run(begin_) != SQLITE_DONE) return failure<void>(error());
        Result<void> result = body();
        if (result.ok() && run(commit_) != SQLITE_DONE) result = failure<void>(error());
        if (!sqlite3_get_autocommit(db_)) (void)run(rollback_);
        return result;
    }

    // Runs one set-up statement to its end and returns its rows as texts.
    // SQLITE_BUSY is retried with a growing pause until the busy timeout is
    // used up: while another process switches a new file to WAL, the journal
    // mode change and the first schema reads can fail busy without SQLite
    // calling the busy handler.
    Result<Rows> run_setup(const std::string& sql) {
        const auto deadline = std::chrono::steady_clock::now() + busy_timeout_;
        std::chrono::milliseconds pause{1};
        for (;;) {
            Rows rows;
            const int rc = run_once(sql, rows);
            if (rc == SQLITE_OK) return success<Rows>(std::move(rows));
            const auto now = std::chrono::steady_clock::now();
            if (!is_busy(rc) || now >= deadline) return failure<Rows>(error());
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
            pause = std::min(pause * 2, std::chrono::milliseconds{50});
        }
    }

    int run_once(const std::string& sql, Rows& rows) {
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement,
                                    nullptr);
        if (rc != SQLITE_OK) return rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            auto& row = rows.emplace_back();
            for (int i = 0, n = sqlite3_column_count(statement); i < n; ++i) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                row.emplace_back(text ? text : "");
            }
        }
        // finalize reports the step's error and leaves its message in place.
        const int finalized = sqlite3_finalize(statement);
        return rc == SQLITE_DONE ? finalized : rc;
    }

    int prepare(const std::string& sql, sqlite3_stmt** statement) {
        return sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                                  SQLITE_PREPARE_PERSISTENT, statement, nullptr);
    }

    Result<void> set_up(const SqliteOptions& options);
    Result<void> check_shape();

    std::string path_;
    std::string table_;
    std::chrono::milliseconds busy_timeout_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* load_ = nullptr;
    sqlite3_stmt* load_block_ = nullptr;
    sqlite3_stmt* upsert_ = nullptr;
    sqlite3_stmt* delete_ = nullptr;
    sqlite3_stmt* begin_ = nullptr;
    sqlite3_stmt* commit_ = nullptr;
    sqlite3_stmt* rollback_ = nullptr;
    std::mutex mutex_;
};

Result<std::unique_ptr<SqliteConnection>> SqliteConnection::open(const std::string& path,
                                                                 const SqliteOptions& options) {
    using Opened = std::unique_ptr<SqliteConnection>;
    if (!is_valid_table_name(options.table)) {
        return failure<Opened>(IndexerError::storage(
            "invalid table name \"" + options.table +
            "\" (expected [a-z_][a-z0-9_]*, at most 63 bytes)"));
    }
    if (path.find('\0') != std::string::npos)
        return failure<Opened>(IndexerError::storage("database path contains a NUL character"));

    const auto timeout = std::clamp<std::chrono::milliseconds>(
        options.busy_timeout, std::chrono::milliseconds{0}, std::chrono::milliseconds{INT_MAX});
    Opened connection(new SqliteConnection(path, options.table, timeout));
    // This connection's calls are serialised by its own mutex, so SQLite's
    // per-connection mutex is left out.
    const int rc = sqlite3_open_v2(path.c_str(), &connection->db_,
                                   SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    // On failure db_ is usually still a handle carrying the message (and is
    // closed by the destructor); errmsg of a null handle reads "out of memory".
    if (rc != SQLITE_OK) return failure<Opened>(connection->error());
    if (auto r = connection->set_up(options); !r.ok()) return failure<Opened>(std::move(r).error());
    return success<Opened>(std::move(connection));
}

Result<void> SqliteConnection::set_up(const SqliteOptions& options) {
    sqlite3_busy_timeout(db_, static_cast<int>(busy_timeout_.count()));
    // A file the process may not write is opened read-only without an error.
    if (sqlite3_db_readonly(db_, "main") == 1)
        return failure<void>(with_path(sqlite3_errstr(SQLITE_READONLY)));

    auto mode = run_setup("PRAGMA journal_mode=WAL");
    if (!mode.ok()) return failure<void>(std::move(mode).error());
    const char* file = sqlite3_db_filename(db_, "main");
    const bool in_memory = file == nullptr || *file == '\0';
    const std::string_view got = mode.value().empty() || mode.value()[0].empty()
                                     ? std::string_view()
                                     : std::string_view(mode.value()[0][0]);
    if (!in_memory && !equal_ascii_nocase(got, "wal"))
        return failure<void>(with_path("cannot switch to WAL journal mode (journal mode is \"" +
                                       std::string(got) + "\")"));

    const std::vector<std::string> setup = {
        options.synchronous ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL",
        "CREATE TABLE IF NOT EXISTS " + quoted_table() +
            " (chain_id BLOB NOT NULL, indexer_id BLOB NOT NULL, block_number NOT NULL,"
            " block_hash BLOB NOT NULL, updated_at INTEGER NOT NULL,"
            " PRIMARY KEY (chain_id, indexer_id))",
    };
    for (const std::string& sql : setup) {
        if (auto r = run_setup(sql); !r.ok()) return failure<void>(std::move(r).error());
    }
    if (auto r = check_shape(); !r.ok()) return r;

    const std::string table = quoted_table();
    const std::string key = " WHERE chain_id = ?1 AND indexer_id = ?2";
    const std::pair<sqlite3_stmt**, std::string> statements[] = {
        {&load_, "SELECT block_number, block_hash, updated_at FROM " + table + key},
        {&load_block_, "SELECT block_number FROM " + table + key},
        {&upsert_, "INSERT INTO " + table +
                       " (chain_id, indexer_id, block_number, block_hash, updated_at)"
                       " VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (chain_id, indexer_id)"
                       " DO UPDATE SET block_number = excluded.block_number,"
                       " block_hash = excluded.block_hash, updated_at = excluded.updated_at"},
        {&delete_, "DELETE FROM " + table + key},
        {&begin_, "BEGIN IMMEDIATE"},
        {&commit_, "COMMIT"},
        {&rollback_, "ROLLBACK"},
    };
    for (const auto& [statement, sql] : statements) {
        if (prepare(sql, statement) != SQLITE_OK) return failure<void>(error());
    }
    return success<void>();
}

// CREATE TABLE IF NOT EXISTS leaves an existing table (or view) of that name
// alone, whatever its columns; refuse to use one that is not ours.
Result<void> SqliteConnection::check_shape() {
    auto info = run_setup("PRAGMA table_info(" + quoted_table() + ")");
    if (!info.ok()) return failure<void>(std::move(info).error());
    // Rows: cid, name, type, notnull, dflt_value, pk.
    const Rows& rows = info.value();
    const bool matches =
        rows.size() == kColumns.size() &&
        std::all_of(rows.begin(), rows.end(), [](const std::vector<std::string>& row) {
            if (row.size() < 6) return false;
            return std::any_of(kColumns.begin(), kColumns.end(), [&](const ColumnShape& c) {
                return row[1] == c.name && equal_ascii_nocase(row[2], c.type) && row[5] == c.pk;
            });
        });
    if (matches) return success<void>();
    return failure<void>(IndexerError::storage(
        "table \"" + table_ +
        "\" exists but is not a checkpoint table (expected columns chain_id, indexer_id, "
        "block_number, block_hash, updated_at)"));
}

}  // namespace detail

namespace {

using Connection = detail::SqliteConnection;

// The texts are owned by the pending operation (taken by value here); the
// connection must outlive it, as the store must.
Task<Result<std::optional<Checkpoint>>> load_op(Connection* connection, std::string chain_id,
                                                std::string indexer_id) {
    co_return connection->load(std::move(chain_id), std::move(indexer_id));
}

Task<Result<void>> save_op(Connection* connection, Checkpoint checkpoint) {
    co_return connection->save(checkpoint);
}

Task<Result<void>> save_if_op(Connection* connection, Checkpoint checkpoint,
                              std::optional<std::uint64_t> expected) {
    co_return connection->save_if(checkpoint, expected);
}

Task<Result<void>> delete_op(Connection* connection, std::string chain_id, std::string indexer_id) {
    co_return connection->erase(chain_id, indexer_id);
}

}  // namespace

Result<std::unique_ptr<SqliteCheckpointStore>> SqliteCheckpointStore::open(const std::string& path,
                                                                           SqliteOptions options) {
    using Opened = std::unique_ptr<SqliteCheckpointStore>;
    auto connection = Connection::open(path, options);
    if (!connection.ok()) return failure<Opened>(std::move(connection).error());
    return success<Opened>(new SqliteCheckpointStore(std::move(connection).value()));
}

SqliteCheckpointStore::SqliteCheckpointStore(std::unique_ptr<detail::SqliteConnection> connection)
    : connection_(std::move(connection)) {}

SqliteCheckpointStore::~SqliteCheckpointStore() = default;

void SqliteCheckpointStore::close_inherited(std::unique_ptr<SqliteCheckpointStore> store) noexcept {
    if (!store) return;
    store->connection_->skip_checkpoint_on_close();
    store.reset();
}

Task<Result<std::optional<Checkpoint>>> SqliteCheckpointStore::load(
    std::string_view chain_id, std::string_view indexer_id) const {
    return load_op(connection_.get(), std::string(chain_id), std::string(indexer_id));
}

Task<Result<void>> SqliteCheckpointStore::save(Checkpoint checkpoint) const {
    return save_op(connection_.get(), std::move(checkpoint));
}

Task<Result<void>> SqliteCheckpointStore::save_if(
    Checkpoint checkpoint, std::optional<std::uint64_t> expected_block_number) const {
    return save_if_op(connection_.get(), std::move(checkpoint), expected_block_number);
}

Task<Result<void>> SqliteCheckpointStore::delete_(std::string_view chain_id,
                                                  std::string_view indexer_id) const {
    return delete_op(connection_.get(), std::string(chain_id), std::string(indexer_id));
}

}  // namespace vorlane
