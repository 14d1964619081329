#include "vorlane/sqlite_store.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <condition_variable>
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

using Clock = std::chrono::steady_clock;

// Waits on `cv` until `ready()`. Through wait_until rather than wait():
// GCC 12's libstdc++ exports wait() under a symbol version (GLIBCXX_3.4.30)
// newer than the oldest systems the binary wheels are made for.
template <class Ready>
void wait_for_ready(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, Ready ready) {
    while (!ready()) cv.wait_until(lock, Clock::now() + std::chrono::hours(1));
}

// The side file that orders writers: an exclusive open file description
// lock (F_OFD_SETLKW) on it is taken before BEGIN IMMEDIATE and held until
// the transaction has ended. SQLite's busy handler sleeps between attempts,
// so a steady stream of writers can keep an unlucky one waiting past its
// timeout; a writer blocked on the lock is woken by the kernel as soon as it
// is free, so all of them get turns. (flock would queue writers too; with
// 16 processes writing in tight loops its longest waits were longer.) Each
// connection opens the file itself, so connections of one process queue
// like those of different ones, and a lock dies with its process.
//
// The lock cannot be waited for with a deadline. A helper thread blocks on
// it while the caller waits on a condition variable until the deadline; a
// lock the helper takes after its caller gave up is handed back at once.
// The lock belongs to the open file description, not to a thread, so the
// caller owns what the helper took. At most one helper waits per file, and
// the file is never locked by anything else while one waits.
struct QueueFile {
    explicit QueueFile(int descriptor) noexcept : fd(descriptor) {}
    ~QueueFile() {
        if (fd >= 0) ::close(fd);
    }
    QueueFile(const QueueFile&) = delete;
    QueueFile& operator=(const QueueFile&) = delete;

    int fd;
    std::mutex mutex;
    std::condition_variable turn;
    bool helper_waiting = false;
    bool wanted = false;   // a caller waits for the helper's lock
    bool granted = false;  // the helper holds the lock for that caller
    int helper_error = 0;
};

// F_OFD_SETLKW, F_OFD_SETLK or F_UNLCK on the whole file.
int lock_file(int fd, int command, short type) noexcept {
    struct flock whole {};
    whole.l_type = type;
    whole.l_whence = SEEK_SET;
    return ::fcntl(fd, command, &whole);
}

void unlock_file(int fd) noexcept { (void)lock_file(fd, F_OFD_SETLK, F_UNLCK); }

void wait_for_turn(const std::shared_ptr<QueueFile>& queue) noexcept {
    int rc = 0;
    do rc = lock_file(queue->fd, F_OFD_SETLKW, F_WRLCK);
    while (rc != 0 && errno == EINTR);
    const int failed = rc == 0 ? 0 : errno;
    const std::lock_guard lock(queue->mutex);
    queue->helper_waiting = false;
    if (failed != 0)
        queue->helper_error = failed;
    else if (queue->wanted)
        queue->granted = true;
    else
        unlock_file(queue->fd);
    queue->turn.notify_all();
}

// One attempt without waiting: 0 once the lock is held, EAGAIN when
// another holds it (or a helper still waits for it), or the errno of a
// failure. While a helper waits, the file is left alone: the helper's lock
// would be this one (both are the same open file description's).
int try_turn(QueueFile& queue) {
    const std::lock_guard lock(queue.mutex);
    if (queue.helper_waiting) return EAGAIN;
    if (lock_file(queue.fd, F_OFD_SETLK, F_WRLCK) == 0) return 0;
    return errno == EACCES || errno == EINTR ? EAGAIN : errno;
}

// Waits for the lock through the helper: 0 once it is held, ETIMEDOUT when
// `deadline` passed first, or the errno of a failure.
int wait_for_turn_until(const std::shared_ptr<QueueFile>& queue, Clock::time_point deadline) {
    std::unique_lock lock(queue->mutex);
    if (!queue->helper_waiting) {
        if (lock_file(queue->fd, F_OFD_SETLK, F_WRLCK) == 0) return 0;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) return errno;
        if (Clock::now() >= deadline) return ETIMEDOUT;
        try {
            std::thread([queue] { wait_for_turn(queue); }).detach();
        } catch (const std::system_error& e) {
            return e.code().value();
        }
        queue->helper_waiting = true;
        queue->helper_error = 0;
    }
    queue->wanted = true;
    const bool ended = queue->turn.wait_until(lock, deadline, [&] { return !queue->helper_waiting; });
    queue->wanted = false;
    if (!ended) return ETIMEDOUT;
    if (!queue->granted) return queue->helper_error;
    queue->granted = false;
    return 0;
}

}  // namespace

class SqliteConnection;

namespace {

// What all connections of this process share, for fork().
//
// Every operation on a connection runs inside the gate, from its first
// SQLite call to its last. fork() waits at the gate until no operation is
// inside: SQLite keeps process-wide mutexes (memory accounting, the page
// cache, the unix VFS's table of open files) that a thread holds for moments
// inside any call, and one held at the fork would stay held for ever in the
// child. Held back at the gate, every connection the child inherits is idle:
// no transaction and no statement running, and no writer's turn taken.
//
// The child must close those connections before it opens the file again:
// SQLite tracks POSIX locks per process and file, so a new connection would
// take the inherited one's locks (held by the parent, not the child) as its
// own. The first operation in the child closes them all, without a
// checkpoint and without touching the WAL, which are the parent's; the side
// files are closed at the fork itself, so that the child never keeps a
// parent's writer turn alive.
class ProcessState {
public:
    static ProcessState& get() {
        static const bool registered = [] {
            current_ = new ProcessState;
            return pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child) == 0;
        }();
        (void)registered;
        return *current_;
    }

    void enter();
    void leave() noexcept {
        const std::lock_guard lock(mutex_);
        if (--inside_ == 0 && forking_) idle_.notify_all();
    }

    void add(SqliteConnection* connection) {
        const std::lock_guard lock(mutex_);
        open_.push_back(connection);
    }
    void remove(SqliteConnection* connection) noexcept {
        const std::lock_guard lock(mutex_);
        std::erase(open_, connection);
    }

private:
    static void before_fork() noexcept {
        std::unique_lock lock(current_->mutex_);
        current_->forking_ = true;
        wait_for_ready(current_->idle_, lock, [] { return current_->inside_ == 0; });
        lock.release();  // held across the fork
    }
    static void after_fork_in_parent() noexcept {
        current_->forking_ = false;
        current_->mutex_.unlock();
        current_->idle_.notify_all();
    }
    // Threads that waited at the gate do not exist here, so the state is
    // started afresh rather than unlocked; the old one is left as it is.
    static void after_fork_in_child() noexcept;

    static inline ProcessState* current_ = nullptr;

    std::mutex mutex_;
    std::condition_variable idle_;
    int inside_ = 0;
    bool forking_ = false;
    std::vector<SqliteConnection*> open_;       // opened by this process
    std::vector<SqliteConnection*> inherited_;  // opened by the parent, to close
};

// One operation's stay in the gate. Nested stays (a connection that fails
// to open is destroyed inside open's) count once: entering again could wait
// for a fork that waits for this thread.
class InsideGate {
public:
    InsideGate() : state_(ProcessState::get()) {
        if (depth_++ == 0) state_.enter();
    }
    ~InsideGate() {
        if (--depth_ == 0) state_.leave();
    }
    InsideGate(const InsideGate&) = delete;
    InsideGate& operator=(const InsideGate&) = delete;

private:
    static inline thread_local int depth_ = 0;
    ProcessState& state_;
};

// A writer's turn in the queue, given back when it ends.
class QueueTurn {
public:
    QueueTurn() noexcept = default;
    ~QueueTurn() {
        if (queue_) unlock_file(queue_->fd);
    }
    QueueTurn(const QueueTurn&) = delete;
    QueueTurn& operator=(const QueueTurn&) = delete;
    void hold(QueueFile* queue) noexcept { queue_ = queue; }

private:
    QueueFile* queue_ = nullptr;
};

}  // namespace

// One connection and its prepared statements. Every public member function
// is one whole operation and holds the mutex throughout.
class SqliteConnection final : public SqliteWriter {
public:
    static Result<std::unique_ptr<SqliteConnection>> open(const std::string& path,
                                                          const SqliteOptions& options);

    ~SqliteConnection() {
        const InsideGate inside;
        ProcessState::get().remove(this);
        close_database();
    }

    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    // In a forked child, for a connection the parent opened (and that was
    // idle at the fork): closes it without a checkpoint, leaving the WAL and
    // the shared memory file to the parent. Later operations fail.
    void close_inherited() noexcept {
        if (db_ != nullptr) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        close_database();
        inherited_ = true;
    }
    // In a forked child, at the fork: the side file's open file description
    // is the parent's, and so is any lock on it.
    void close_inherited_queue() noexcept {
        if (queue_ && queue_->fd >= 0) {
            ::close(queue_->fd);
            queue_->fd = -1;
        }
    }

    Result<std::optional<Checkpoint>> load(std::string chain_id, std::string indexer_id) {
        using Loaded = std::optional<Checkpoint>;
        const std::lock_guard lock(mutex_);
        const InsideGate inside;
        if (auto r = usable(); !r.ok()) return failure<Loaded>(std::move(r).error());
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
        const InsideGate inside;
        return in_write_transaction([&] { return upsert(checkpoint); });
    }

    Result<void> save_if(const Checkpoint& checkpoint, std::optional<std::uint64_t> expected) {
        const std::lock_guard lock(mutex_);
        const InsideGate inside;
        return in_write_transaction([&] { return fenced_upsert(checkpoint, expected); });
    }

    Result<void> write_beside(const std::function<Result<void>(SqliteWriter&)>& body,
                              const CheckpointChange& change) {
        const std::lock_guard lock(mutex_);
        const InsideGate inside;
        return in_write_transaction([&]() -> Result<void> {
            Result<void> r = success<void>();
            switch (change.kind) {
                case CheckpointChange::Kind::none: break;
                case CheckpointChange::Kind::save: r = upsert(change.checkpoint); break;
                case CheckpointChange::Kind::save_if:
                    r = fenced_upsert(change.checkpoint, change.expected_block_number);
                    break;
                case CheckpointChange::Kind::erase:
                    r = remove(change.checkpoint.chain_id, change.checkpoint.indexer_id);
                    break;
            }
            return r.ok() ? body(*this) : r;
        });
    }

    sqlite3* handle() noexcept override { return db_; }
    IndexerError last_failure() override { return error(); }
    std::shared_ptr<void>& state() noexcept override { return writer_state_; }

private:
    Result<void> fenced_upsert(const Checkpoint& checkpoint, std::optional<std::uint64_t> expected) {
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
    }

    Result<void> remove(const std::string& chain_id, const std::string& indexer_id) {
        const StatementUse use(delete_);
        if (bind_key(delete_, chain_id, indexer_id) != SQLITE_OK ||
            sqlite3_step(delete_) != SQLITE_DONE)
            return failure<void>(error());
        return success<void>();
    }

public:
    Result<void> erase(const std::string& chain_id, const std::string& indexer_id) {
        const std::lock_guard lock(mutex_);
        const InsideGate inside;
        return in_write_transaction([&] { return remove(chain_id, indexer_id); });
    }

private:
    SqliteConnection(std::string path, std::string table, std::chrono::milliseconds busy_timeout)
        : path_(std::move(path)), table_(std::move(table)), busy_timeout_(busy_timeout) {}

    // SQLite's message for the connection's last failure, with the file.
    [[nodiscard]] IndexerError error() {
        if (sqlite3_extended_errcode(db_) == SQLITE_READONLY_DBMOVED) {
            lost_ = true;
            return moved();
        }
        return with_path(sqlite3_errmsg(db_));
    }
    [[nodiscard]] IndexerError moved() const {
        return with_path("database file was deleted or replaced");
    }
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

    void close_database() noexcept {
        writer_state_.reset();  // its statements first
        for (sqlite3_stmt** statement :
             {&load_, &load_block_, &upsert_, &delete_, &begin_, &commit_, &rollback_})
            sqlite3_finalize(std::exchange(*statement, nullptr));  // null is a no-op
        sqlite3_close_v2(std::exchange(db_, nullptr));
    }

    // Refuses to run on a connection that can no longer be used.
    Result<void> usable() const {
        if (inherited_)
            return failure<void>(with_path("store was opened by the parent process before a fork"));
        if (lost_) return failure<void>(moved());
        return success<void>();
    }

    // Whether the file at the path is still the one this connection has
    // open. Writes to a file that was deleted (or whose folder was), or
    // replaced by another, would go where nobody can read them. SQLite
    // notices this for some writes only (SQLITE_READONLY_DBMOVED). Once
    // lost, the connection stays lost.
    Result<void> same_file() {
        if (file_.empty()) return success<void>();  // in memory or temporary
        struct stat now {};
        if (::stat(file_.c_str(), &now) == 0) {
            if (now.st_dev == dev_ && now.st_ino == ino_) return success<void>();
        } else if (errno != ENOENT && errno != ENOTDIR) {
            return failure<void>(with_path("cannot check the database file: " +
                                           std::generic_category().message(errno)));
        }
        lost_ = true;
        return failure<void>(moved());
    }

    // A writer first takes its turn in the queue (see QueueFile), then
    // BEGIN IMMEDIATE takes the write lock before anything is read, so a
    // writer that meets one outside the queue (another program) waits for
    // it through the busy handler instead of failing at the upgrade from
    // reading to writing. Both waits together end at the busy timeout.
    // Whatever `body` returns, the transaction is over afterwards: committed
    // when it succeeded, rolled back otherwise (unless SQLite already did).
    template <class Body>
    Result<void> in_write_transaction(Body&& body) {
        if (auto r = usable(); !r.ok()) return r;
        QueueTurn turn;
        bool waited = false;
        if (queue_) {
            // Most turns are free: one attempt, and the busy timeout stays
            // as it is. Otherwise the wait for the turn and BEGIN's wait for
            // SQLite's lock share one busy timeout, counted from here.
            int rc = try_turn(*queue_);
            if (rc == EAGAIN) {
                const auto deadline = Clock::now() + busy_timeout_;
                rc = wait_for_turn_until(queue_, deadline);
                if (rc == 0) {
                    const auto left =
                        std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
                    sqlite3_busy_timeout(db_,
                                         static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
                    waited = true;
                }
            }
            if (rc == ETIMEDOUT) return failure<void>(with_path(sqlite3_errstr(SQLITE_BUSY)));
            if (rc != 0) {
                return failure<void>(with_path("cannot lock " + file_ + kQueueSuffix + ": " +
                                               std::generic_category().message(rc)));
            }
            turn.hold(queue_.get());
        }
        Result<void> result = run(begin_) == SQLITE_DONE ? same_file() : failure<void>(error());
        if (result.ok()) result = body();
        if (result.ok() && run(commit_) != SQLITE_DONE) result = failure<void>(error());
        if (!sqlite3_get_autocommit(db_)) (void)run(rollback_);
        if (waited) sqlite3_busy_timeout(db_, static_cast<int>(busy_timeout_.count()));
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
    Result<void> open_queue(mode_t mode);

    static constexpr const char* kQueueSuffix = "-lock";

    std::string path_;
    std::string file_;  // the absolute file name; empty in memory
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    std::shared_ptr<QueueFile> queue_;  // null in memory
    bool lost_ = false;
    bool inherited_ = false;
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
    std::shared_ptr<void> writer_state_;
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
    const InsideGate inside;
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
    ProcessState::get().add(connection.get());
    return success<Opened>(std::move(connection));
}

Result<void> SqliteConnection::open_queue(mode_t mode) {
    const std::string name = file_ + kQueueSuffix;
    // Created with the database's permissions (not narrowed by the umask),
    // so that whoever may write the database may queue.
    int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0)
        (void)::fchmod(fd, mode);
    else if (errno == EEXIST)
        fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return failure<void>(IndexerError::storage("cannot open the writers' lock file: " +
                                                   std::generic_category().message(errno) +
                                                   ": " + name));
    }
    queue_ = std::make_shared<QueueFile>(fd);
    return success<void>();
}

void ProcessState::enter() {
    std::unique_lock lock(mutex_);
    wait_for_ready(idle_, lock, [&] { return !forking_; });
    ++inside_;
    for (SqliteConnection* connection : std::exchange(inherited_, {}))
        connection->close_inherited();
}

void ProcessState::after_fork_in_child() noexcept {
    ProcessState* parent = current_;
    auto* state = new ProcessState;
    state->inherited_ = std::move(parent->inherited_);
    state->inherited_.insert(state->inherited_.end(), parent->open_.begin(), parent->open_.end());
    for (SqliteConnection* connection : state->inherited_) connection->close_inherited_queue();
    current_ = state;
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
    if (in_memory) return success<void>();

    file_ = file;
    struct stat opened {};
    if (::stat(file_.c_str(), &opened) != 0) {
        return failure<void>(with_path("cannot check the database file: " +
                                       std::generic_category().message(errno)));
    }
    dev_ = opened.st_dev;
    ino_ = opened.st_ino;
    return open_queue(opened.st_mode & 0666);
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

Result<void> SqliteCheckpointStore::write_beside(
    const std::function<Result<void>(SqliteWriter&)>& body, const CheckpointChange& change) const {
    return connection_->write_beside(body, change);
}

Task<Result<void>> SqliteCheckpointStore::delete_(std::string_view chain_id,
                                                  std::string_view indexer_id) const {
    return delete_op(connection_.get(), std::string(chain_id), std::string(indexer_id));
}

}  // namespace vorlane
