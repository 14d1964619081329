#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "case_name.hpp"
#include "store_conformance.hpp"
#include "vorlane/sqlite_store.hpp"

namespace vorlane {
namespace {

using namespace std::string_literals;

constexpr auto kMaxBlock = std::numeric_limits<std::uint64_t>::max();
constexpr auto kMaxInteger = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
constexpr std::string_view kShapeError =
    "table \"t\" exists but is not a checkpoint table (expected columns chain_id, indexer_id, "
    "block_number, block_hash, updated_at)";

class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "vorlane-sqlite-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(path_, ec)) {
            if (entry.is_directory(ec))
                std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all, ec);
        }
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] std::string file(std::string_view name) const { return (path_ / name).string(); }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

std::unique_ptr<SqliteCheckpointStore> open_store(const std::string& path,
                                                  SqliteOptions options = {}) {
    auto r = SqliteCheckpointStore::open(path, std::move(options));
    if (!r.ok()) {
        ADD_FAILURE() << r.error().message();
        return nullptr;
    }
    return std::move(r).value();
}

std::string open_error(const std::string& path, SqliteOptions options = {}) {
    auto r = SqliteCheckpointStore::open(path, std::move(options));
    return r.ok() ? "opened" : r.error().message();
}

bool same(const std::optional<Checkpoint>& got, const Checkpoint& want) {
    return got && testing_support::same(*got, want);
}

// A second, plain connection, to see what the store left in the file.
class RawDb {
public:
    explicit RawDb(const std::string& path) {
        if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) ADD_FAILURE() << sqlite3_errmsg(db_);
    }
    ~RawDb() { sqlite3_close(db_); }
    RawDb(const RawDb&) = delete;
    RawDb& operator=(const RawDb&) = delete;

    void exec(const std::string& sql) {
        EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db_);
    }
    // Every value of every row, as its bytes (numbers as SQLite's decimal text).
    std::vector<std::string> values(const std::string& sql) {
        std::vector<std::string> out;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sqlite3_errmsg(db_);
            return out;
        }
        while (sqlite3_step(s) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                const auto* p = static_cast<const char*>(sqlite3_column_blob(s, i));
                const auto n = static_cast<std::size_t>(sqlite3_column_bytes(s, i));
                out.emplace_back(p ? std::string(p, n) : "<null>");
            }
        }
        sqlite3_finalize(s);
        return out;
    }

private:
    sqlite3* db_ = nullptr;
};

// Each test gets its own file, removed with its directory after the store.
std::shared_ptr<CheckpointStore> fresh_store() {
    auto dir = std::make_shared<TempDir>();
    auto store = open_store(dir->file("cp.db"));
    if (!store) return nullptr;
    return {store.release(), [dir](CheckpointStore* s) mutable {
                delete s;
                dir.reset();
            }};
}

using testing_support::StoreConformance;

INSTANTIATE_TEST_SUITE_P(Sqlite, StoreConformance,
                         ::testing::Values(testing_support::StoreFactory{"sqlite", fresh_store}),
                         testing_support::CaseName{});

TEST(SqliteStore, RecordsOutliveTheConnectionAndReadNaturallyInSql) {
    TempDir dir;
    const std::string path = dir.file("cp.db");
    const SqliteOptions options{.table = "chain_progress"};
    const std::string hostile = "x'); DROP TABLE chain_progress; --";
    const std::vector<Checkpoint> kept = {
        {"1", "main", kMaxBlock, "0xff", -5},
        {"2", "main", kMaxInteger + 1, "", 0},
        {hostile, "\"i\"", kMaxInteger, "a\0b"s, 7},
    };
    {
        auto store = open_store(path, options);
        ASSERT_NE(store, nullptr);
        for (const auto& cp : kept) ASSERT_TRUE(sync_wait(store->save(cp)).ok());
        ASSERT_TRUE(sync_wait(store->save({"3", "gone", 1, "x", 1})).ok());
        ASSERT_TRUE(sync_wait(store->delete_("3", "gone")).ok());
    }
    {
        auto store = open_store(path, options);
        ASSERT_NE(store, nullptr);
        for (const auto& cp : kept) {
            SCOPED_TRACE(cp.chain_id);
            EXPECT_TRUE(same(sync_wait(store->load(cp.chain_id, cp.indexer_id)).value(), cp));
        }
        EXPECT_FALSE(sync_wait(store->load("3", "gone")).value().has_value());
    }
    RawDb raw(path);
    EXPECT_EQ(raw.values("SELECT chain_id, block_number FROM chain_progress ORDER BY chain_id"),
              (std::vector<std::string>{"1", "18446744073709551615", "2", "9223372036854775808",
                                        hostile, "9223372036854775807"}));
    EXPECT_EQ(raw.values("SELECT name FROM sqlite_schema WHERE type = 'table'"),
              std::vector<std::string>{"chain_progress"});
    EXPECT_EQ(raw.values("PRAGMA journal_mode"), std::vector<std::string>{"wal"});
}

struct ShapeCase {
    const char* name;
    const char* create;
    const char* insert;
};

class SqliteStoreShape : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(SqliteStoreShape, ForeignTableIsRefusedAndLeftAlone) {
    TempDir dir;
    const std::string path = dir.file("cp.db");
    RawDb raw(path);
    raw.exec(GetParam().create);
    raw.exec(GetParam().insert);
    const auto before = raw.values("SELECT * FROM t");
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(open_error(path, {.table = "t"}), "Storage error: "s.append(kShapeError));
    EXPECT_EQ(raw.values("SELECT * FROM t"), before);
}

INSTANTIATE_TEST_SUITE_P(
    Sqlite, SqliteStoreShape,
    ::testing::Values(
        ShapeCase{"OtherColumns", "CREATE TABLE t (id INTEGER PRIMARY KEY, payload TEXT)",
                  "INSERT INTO t VALUES (1, 'keep me')"},
        ShapeCase{"JoinedKey",
                  "CREATE TABLE t (pair BLOB PRIMARY KEY, block_number, block_hash BLOB,"
                  " updated_at INTEGER)",
                  "INSERT INTO t VALUES ('1:main', 5, 'h', 1)"},
        ShapeCase{"KeyOnChainOnly",
                  "CREATE TABLE t (chain_id BLOB PRIMARY KEY, indexer_id BLOB, block_number,"
                  " block_hash BLOB, updated_at INTEGER)",
                  "INSERT INTO t VALUES ('1', 'main', 5, 'h', 1)"},
        ShapeCase{"KeyColumnsSwapped",
                  "CREATE TABLE t (chain_id BLOB, indexer_id BLOB, block_number, block_hash BLOB,"
                  " updated_at INTEGER, PRIMARY KEY (indexer_id, chain_id))",
                  "INSERT INTO t VALUES ('1', 'main', 5, 'h', 1)"},
        ShapeCase{"IntegerBlockNumber",
                  "CREATE TABLE t (chain_id BLOB, indexer_id BLOB, block_number INTEGER,"
                  " block_hash BLOB, updated_at INTEGER, PRIMARY KEY (chain_id, indexer_id))",
                  "INSERT INTO t VALUES ('1', 'main', 5, 'h', 1)"},
        ShapeCase{"ExtraColumn",
                  "CREATE TABLE t (chain_id BLOB, indexer_id BLOB, block_number, block_hash BLOB,"
                  " updated_at INTEGER, note TEXT, PRIMARY KEY (chain_id, indexer_id))",
                  "INSERT INTO t VALUES ('1', 'main', 5, 'h', 1, 'n')"}),
    testing_support::CaseName{});

TEST(SqliteStore, OpenFailuresNameThePathOrTable) {
    TempDir dir;
    const std::string plain = dir.file("plain");
    std::ofstream(plain) << std::string(4096, 'x');
    struct Case {
        std::string path;
        std::string message;
        std::string table = std::string(kDefaultTableName);
    };
    std::vector<Case> cases = {
        {dir.file("no/such/dir/cp.db"), "unable to open database file"},
        {plain + "/cp.db", "unable to open database file"},
        {plain, "file is not a database"},
    };
    for (auto& c : cases) c.message.append(": ").append(c.path);
    cases.push_back(
        {dir.file("cp.db"),
         "invalid table name \"Bad-Name\" (expected [a-z_][a-z0-9_]*, at most 63 bytes)",
         "Bad-Name"});
    if (geteuid() != 0) {  // root writes regardless of permissions
        using std::filesystem::perms;
        const auto locked = dir.path() / "locked";
        std::filesystem::create_directory(locked);
        std::ofstream(locked / "old.db").flush();
        std::filesystem::permissions(locked / "old.db", perms::owner_read);
        std::filesystem::permissions(locked, perms::owner_read | perms::owner_exec);
        const std::string fresh = (locked / "new.db").string();
        const std::string old = (locked / "old.db").string();
        cases.push_back({fresh, "unable to open database file: " + fresh});
        cases.push_back({old, "attempt to write a readonly database: " + old});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(open_error(c.path, {.table = c.table}), "Storage error: " + c.message);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "no"));
}

// Every field of a record derives from one number, so a reader can tell a
// whole record from a mix of two writes.
Checkpoint derived(const std::string& indexer, std::uint64_t n) {
    return {"chain", indexer, n, "0x" + std::to_string(n) + std::string(40, 'f'),
            -static_cast<std::int64_t>(n)};
}

const std::vector<std::string> kIndexers = {"i0", "i1", "i2"};

// A mixed run of saves, loads and conditional saves on shared pairs. Returns
// an empty text when every load was a whole record and nothing failed other
// than conditional saves that lost, else what went wrong.
std::string mixed_run(const CheckpointStore& store, std::uint64_t first, std::uint64_t stride,
                      int operations) {
    for (int k = 0; k < operations; ++k) {
        const std::string& indexer = kIndexers[static_cast<std::size_t>(k) % kIndexers.size()];
        const std::uint64_t n = first + stride * static_cast<std::uint64_t>(k);
        auto loaded = sync_wait(store.load("chain", indexer));
        if (!loaded.ok()) return loaded.error().message();
        const auto& got = loaded.value();
        if (got && !testing_support::same(*got, derived(indexer, got->block_number)))
            return "torn record at block " + std::to_string(got->block_number);
        const auto expected = got ? std::optional(got->block_number) : std::nullopt;
        Result<void> wrote = k % 2 == 0
                                 ? sync_wait(store.save(derived(indexer, n)))
                                 : sync_wait(store.save_if(derived(indexer, n), expected));
        if (!wrote.ok() && wrote.error().kind() != IndexerError::Kind::CheckpointMismatch)
            return wrote.error().message();
    }
    return {};
}

TEST(SqliteStore, ThreadsShareOneStore) {
    TempDir dir;
    auto store = open_store(dir.file("cp.db"), {.synchronous = false});
    ASSERT_NE(store, nullptr);
    constexpr int kThreads = 4;
    std::vector<std::string> outcomes(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            outcomes[static_cast<std::size_t>(t)] =
                mixed_run(*store, static_cast<std::uint64_t>(t) + 1, kThreads, 800);
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& outcome : outcomes) EXPECT_EQ(outcome, "");
}

// Connections of one process queue for their turn like those of different
// processes: each thread writes through its own store, so most writes wait
// for another's turn, and none of them times out.
TEST(SqliteStore, ConnectionsOfOneProcessTakeTurns) {
    TempDir dir;
    const std::string path = dir.file("cp.db");
    constexpr int kThreads = 4;
    std::vector<std::unique_ptr<SqliteCheckpointStore>> stores;
    for (int t = 0; t < kThreads; ++t) {
        stores.push_back(open_store(path, {.synchronous = false}));
        ASSERT_NE(stores.back(), nullptr);
    }
    std::vector<std::string> outcomes(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const auto i = static_cast<std::size_t>(t);
            outcomes[i] = mixed_run(*stores[i], static_cast<std::uint64_t>(t) + 1, kThreads, 400);
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& outcome : outcomes) EXPECT_EQ(outcome, "");
}

// A wait for the turn uses up part of one call's busy timeout; the next call
// has all of it again for a lock held outside the queue.
TEST(SqliteStore, AWaitForTheTurnLeavesTheNextCallTheWholeBusyTimeout) {
    using namespace std::chrono_literals;
    TempDir dir;
    const std::string path = dir.file("cp.db");
    auto store = open_store(path, {.synchronous = false, .busy_timeout = 2000ms});
    ASSERT_NE(store, nullptr);

    const int turn = ::open((path + "-lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(turn, 0);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(turn, F_OFD_SETLK, &whole), 0);
    std::thread give_back([turn] {
        std::this_thread::sleep_for(1200ms);
        ::close(turn);
    });
    const auto first = sync_wait(store->save({"1", "m", 1, "h", 1}));
    give_back.join();
    ASSERT_TRUE(first.ok()) << first.error().message();

    // Held for longer than the 0.8 s the first call had left.
    RawDb other(path);
    other.exec("BEGIN IMMEDIATE");
    std::thread commit([&] {
        std::this_thread::sleep_for(1500ms);
        other.exec("COMMIT");
    });
    const auto second = sync_wait(store->save({"1", "m", 2, "h", 2}));
    commit.join();
    EXPECT_TRUE(second.ok()) << second.error().message();
}

constexpr std::uint64_t kRaceRounds = 256;

// State the forked children share with the parent.
struct Shared {
    std::atomic<int> ready{0};
    std::atomic<int> arrived{0};
    std::atomic<bool> abandoned{false};
    std::atomic<int> winners[kRaceRounds]{};
};

// Runs `child(i)` in `count` forked processes that start together, and
// returns their wait statuses. A child reports failure by its exit code and
// a line on standard error.
std::vector<int> in_processes(int count, Shared& shared, const std::function<int(int)>& child) {
    std::fflush(nullptr);
    shared.ready = 0;
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            shared.ready.fetch_add(1);
            while (shared.ready.load() < count) std::this_thread::yield();
            _exit(child(i));
        }
        EXPECT_GT(pid, 0);
        if (pid > 0) pids.push_back(pid);
    }
    std::vector<int> statuses;
    for (const pid_t pid : pids) {
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        statuses.push_back(status);
    }
    return statuses;
}

bool exited_cleanly(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }

class SqliteStoreProcesses : public ::testing::Test {
protected:
    void SetUp() override {
        void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(memory, MAP_FAILED);
        shared_ = new (memory) Shared;
    }
    void TearDown() override {
        if (shared_) munmap(shared_, sizeof(Shared));
    }

    static int fail(const std::string& why) {
        std::fprintf(stderr, "child %d: %s\n", static_cast<int>(getpid()), why.c_str());
        return 1;
    }

    TempDir dir_;
    Shared* shared_ = nullptr;
};

// Switching a new file to WAL while other processes open it can fail busy
// without the busy handler being consulted; open must ride that out. Each
// round starts the processes on a fresh file at the same moment.
TEST_F(SqliteStoreProcesses, OpenOneNewFileAtOnceAndShareIt) {
    constexpr int kProcesses = 4;
    for (int round = 0; round < 10; ++round) {
        const std::string path = dir_.file("shared" + std::to_string(round) + ".db");
        const auto statuses = in_processes(kProcesses, *shared_, [&](int p) {
            auto opened = SqliteCheckpointStore::open(path, {.synchronous = false});
            if (!opened.ok()) return fail(opened.error().message());
            const std::string outcome =
                mixed_run(*opened.value(), static_cast<std::uint64_t>(p) + 1, kProcesses, 40);
            return outcome.empty() ? 0 : fail(outcome);
        });
        for (const int status : statuses) EXPECT_TRUE(exited_cleanly(status)) << status;
        auto store = open_store(path);
        ASSERT_NE(store, nullptr);
        for (const auto& indexer : kIndexers) {
            const auto got = sync_wait(store->load("chain", indexer)).value();
            EXPECT_TRUE(got && same(got, derived(indexer, got->block_number))) << indexer;
        }
    }
}

TEST_F(SqliteStoreProcesses, ConditionalSaveHasOneWinnerPerRound) {
    const std::string path = dir_.file("race.db");
    constexpr std::uint64_t kRounds = kRaceRounds;
    {
        auto seed = open_store(path);
        ASSERT_NE(seed, nullptr);
        ASSERT_TRUE(sync_wait(seed->save({"race", "main", 0, "seed", 0})).ok());
    }
    // Both children try every round r once, in step, expecting r. Whoever
    // finds r stored wins it; the stored number only grows, so every round
    // is won exactly once unless two conditional saves interleave.
    const auto statuses = in_processes(2, *shared_, [&](int p) {
        auto opened = SqliteCheckpointStore::open(path, {.synchronous = false});
        if (!opened.ok()) {
            shared_->abandoned = true;  // release the other child from the lockstep
            return fail(opened.error().message());
        }
        std::string error;
        for (std::uint64_t r = 0; r < kRounds; ++r) {
            shared_->arrived.fetch_add(1);
            while (shared_->arrived.load() < 2 * static_cast<int>(r + 1) && !shared_->abandoned)
                std::this_thread::yield();
            const Checkpoint next{"race", "main", r + 1, std::to_string(p), 1};
            auto saved = sync_wait(opened.value()->save_if(next, r));
            if (saved.ok()) {
                shared_->winners[r].fetch_add(1);
                continue;
            }
            // The winner of the round has just stored r + 1.
            const auto* lost = saved.error().get_if<IndexerError::CheckpointMismatch>();
            if ((lost == nullptr || lost->block_number != r + 1) && error.empty())
                error = "round " + std::to_string(r) + ": " + saved.error().message();
        }
        return error.empty() ? 0 : fail(error);
    });
    for (const int status : statuses) EXPECT_TRUE(exited_cleanly(status)) << status;
    for (std::uint64_t r = 0; r < kRounds; ++r)
        EXPECT_EQ(shared_->winners[r].load(), 1) << "round " << r;
    auto store = open_store(path);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(sync_wait(store->load("race", "main")).value()->block_number, kRounds);
}

TEST_F(SqliteStoreProcesses, AnAcknowledgedSaveSurvivesKill9) {
    for (const bool synchronous : {false, true}) {
        SCOPED_TRACE(synchronous);
        const std::string path = dir_.file(synchronous ? "full.db" : "normal.db");
        const auto statuses = in_processes(1, *shared_, [&](int) {
            auto opened = SqliteCheckpointStore::open(path, {.synchronous = synchronous});
            if (!opened.ok()) return fail(opened.error().message());
            for (std::uint64_t n = 1; n <= 20; ++n) {
                auto saved = sync_wait(opened.value()->save(derived("i0", n)));
                if (!saved.ok()) return fail(saved.error().message());
            }
            raise(SIGKILL);
            return 1;
        });
        ASSERT_EQ(statuses.size(), 1u);
        EXPECT_TRUE(WIFSIGNALED(statuses[0]) && WTERMSIG(statuses[0]) == SIGKILL) << statuses[0];
        auto store = open_store(path);
        ASSERT_NE(store, nullptr);
        EXPECT_TRUE(same(sync_wait(store->load("chain", "i0")).value(), derived("i0", 20)));
    }
}

}  // namespace
}  // namespace vorlane
