// PostgresCheckpointStore against a live server named by VORLANE_TEST_PG_DSN
// (bash scripts/pg.sh start DIR prints one). Without it the tests skip, or
// fail when CI is set.
#include <dirent.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <coroutine>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "case_name.hpp"
#include "store_conformance.hpp"
#include "vorlane/local_loop.hpp"
#include "vorlane/postgres_store.hpp"
#include "vorlane/runtime.hpp"

namespace vorlane {
namespace {

using namespace std::chrono_literals;
using testing_support::StoreConformance;

constexpr const char* kNoServer =
    "VORLANE_TEST_PG_DSN is not set (start a server with: bash scripts/pg.sh start DIR)";
constexpr const char* kPassword = "s3cret-pw";

std::optional<std::string> server_dsn() {
    const char* dsn = std::getenv("VORLANE_TEST_PG_DSN");
    if (dsn == nullptr || *dsn == '\0') return std::nullopt;
    return std::string(dsn);
}

bool in_ci() { return std::getenv("CI") != nullptr; }

std::string unique_table() {
    static std::atomic<int> counter{0};
    return "vorlane_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

// A plain blocking connection for looking at the server side.
class Raw {
public:
    explicit Raw(const std::string& dsn) : conn_(PQconnectdb(dsn.c_str())) {
        EXPECT_EQ(PQstatus(conn_), CONNECTION_OK) << PQerrorMessage(conn_);
        PQsetNoticeProcessor(conn_, [](void*, const char*) {}, nullptr);
    }
    ~Raw() { PQfinish(conn_); }
    Raw(const Raw&) = delete;
    Raw& operator=(const Raw&) = delete;

    // Rows of text values (NULL reads as "<null>"); an error reads as one row
    // holding "error <SQLSTATE>".
    std::vector<std::vector<std::string>> query(const std::string& sql,
                                                const std::vector<std::string>& params = {}) {
        std::vector<const char*> values;
        for (const auto& p : params) values.push_back(p.c_str());
        PGresult* r = PQexecParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0);
        std::vector<std::vector<std::string>> rows;
        const ExecStatusType status = PQresultStatus(r);
        if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
            const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
            rows.push_back({std::string("error ") + (state != nullptr ? state : "?")});
        }
        for (int i = 0; i < PQntuples(r); ++i) {
            rows.emplace_back();
            for (int j = 0; j < PQnfields(r); ++j)
                rows.back().push_back(PQgetisnull(r, i, j) != 0 ? "<null>" : PQgetvalue(r, i, j));
        }
        PQclear(r);
        return rows;
    }

    // The single value of a one-row, one-column query.
    std::string value(const std::string& sql, const std::vector<std::string>& params = {}) {
        const auto rows = query(sql, params);
        if (rows.size() != 1 || rows[0].size() != 1)
            return "<" + std::to_string(rows.size()) + " rows>";
        return rows[0][0];
    }

    void exec(const std::string& sql) {
        const auto rows = query(sql);
        EXPECT_TRUE(rows.empty() || rows[0].empty() || rows[0][0].rfind("error ", 0) != 0)
            << sql << ": " << rows[0][0];
    }

    PGconn* get() const { return conn_; }

private:
    PGconn* conn_;
};

std::string ident(const std::string& table) { return "\"" + table + "\""; }

std::string error_text(const Result<void>& r) { return r.ok() ? "ok" : r.error().message(); }

// A coroutine that starts at once and keeps its frame until destroyed, for
// having several operations in flight on one thread.
class Eager {
public:
    struct promise_type {
        Eager get_return_object() {
            return Eager(std::coroutine_handle<promise_type>::from_promise(*this));
        }
        std::suspend_never initial_suspend() const noexcept { return {}; }
        std::suspend_always final_suspend() const noexcept { return {}; }
        void return_void() const noexcept {}
        void unhandled_exception() const noexcept { std::terminate(); }
    };

    Eager(Eager&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Eager(const Eager&) = delete;
    Eager& operator=(const Eager&) = delete;
    ~Eager() {
        if (handle_) handle_.destroy();
    }

private:
    explicit Eager(std::coroutine_handle<promise_type> h) : handle_(h) {}
    std::coroutine_handle<promise_type> handle_;
};

template <class T>
Eager start(Task<T> task, std::optional<T>& out) {
    out.emplace(co_await std::move(task));
}

// Each store runs on a runtime of its own, whose workers run the loop while
// the suite drives operations with sync_wait from the test's thread; the
// table is dropped with the store.
std::shared_ptr<CheckpointStore> make_conformance_store() {
    const auto dsn = server_dsn();
    if (!dsn) {
        // Fatal, so the suite's SetUp does not go on to the test body.
        if (in_ci()) [] { FAIL() << kNoServer; }();
        return nullptr;
    }
    auto runtime = std::make_shared<Runtime>();
    const std::string table = unique_table();
    // A connect timeout that never fires, so the connect's timer races the
    // socket on the runtime's workers too.
    std::string conninfo = *dsn;
    if (conninfo.rfind("postgres", 0) == 0)
        conninfo += conninfo.find('?') == std::string::npos ? "?" : "&";
    else
        conninfo += " ";
    conninfo += "connect_timeout=30";
    auto opened = PostgresCheckpointStore::connect(runtime->io_context(), conninfo, {table});
    if (!opened.ok()) {
        [&] { FAIL() << opened.error().message(); }();
        return nullptr;
    }
    return std::shared_ptr<PostgresCheckpointStore>(
        std::move(opened).value().release(),
        [runtime, table, dsn = *dsn](PostgresCheckpointStore* store) {
            delete store;
            Raw(dsn).exec("DROP TABLE IF EXISTS " + ident(table));
        });
}

INSTANTIATE_TEST_SUITE_P(Postgres, StoreConformance,
                         ::testing::Values(testing_support::StoreFactory{
                             "postgres", make_conformance_store}),
                         testing_support::CaseName{});

class PostgresStore : public ::testing::Test {
protected:
    void SetUp() override {
        const auto dsn = server_dsn();
        if (!dsn) {
            if (in_ci()) FAIL() << kNoServer;
            GTEST_SKIP() << kNoServer;
        }
        dsn_ = *dsn;
        table_ = unique_table();
    }

    void TearDown() override {
        if (!dsn_.empty()) Raw(dsn_).exec("DROP TABLE IF EXISTS " + ident(table_));
    }

    std::unique_ptr<PostgresCheckpointStore> open(const std::string& extra = "") {
        auto r = PostgresCheckpointStore::connect(io_, dsn_ + " " + extra, {table_});
        EXPECT_TRUE(r.ok()) << r.error().message();
        return r.ok() ? std::move(r).value() : nullptr;
    }

    template <class T>
    T run(Task<T> task) {
        return run_on(io_, std::move(task));
    }

    asio::io_context io_{1};
    std::string dsn_;
    std::string table_;
};

TEST_F(PostgresStore, BlockNumberIsTheTrueDecimalInSql) {
    auto store = open();
    ASSERT_TRUE(store);
    constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
    ASSERT_TRUE(run(store->save({"1", "main", kMax, "0xab", -5})).ok());
    Raw raw(dsn_);
    EXPECT_EQ(raw.query("SELECT block_number::text, updated_at::text, convert_from(chain_id, "
                        "'UTF8'), convert_from(block_hash, 'UTF8') FROM " + ident(table_)),
              (std::vector<std::vector<std::string>>{{"18446744073709551615", "-5", "1", "0xab"}}));
    // The column refuses what a u64 cannot hold.
    for (const char* bad : {"18446744073709551616", "-1"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(raw.value("UPDATE " + ident(table_) + " SET block_number = $1", {bad}),
                  "error 23514");
    }
}

TEST_F(PostgresStore, HostileTextIsStoredLiterally) {
    auto store = open();
    ASSERT_TRUE(store);
    const std::string chain = "'); DROP TABLE " + ident(table_) + "; DROP TABLE " + table_ + "; --";
    const std::string indexer = "\" OR 1=1 --";
    ASSERT_TRUE(run(store->save({chain, indexer, 3, "'", 3})).ok());
    ASSERT_TRUE(run(store->delete_(chain + "x", indexer)).ok());
    Raw raw(dsn_);
    EXPECT_EQ(raw.query("SELECT convert_from(chain_id, 'UTF8'), convert_from(indexer_id, 'UTF8') "
                        "FROM " + ident(table_)),
              (std::vector<std::vector<std::string>>{{chain, indexer}}));
    EXPECT_EQ(raw.value("SELECT to_regclass($1) IS NOT NULL", {ident(table_)}), "t");
}

TEST_F(PostgresStore, TableOfAnotherShapeIsRefusedAndLeftAlone) {
    struct Shape {
        const char* name;
        const char* columns;
        const char* row;
    };
    const std::vector<Shape> shapes = {
        {"unrelated", "(id int, note text)", "(1, 'keep me')"},
        {"narrow number",
         "(key bytea PRIMARY KEY, chain_id bytea, indexer_id bytea, block_number numeric(10,0), "
         "block_hash bytea, updated_at bigint)",
         "('k', 'c', 'i', 5, 'h', 1)"},
        {"text ids",
         "(key bytea PRIMARY KEY, chain_id text, indexer_id text, block_number numeric(20,0), "
         "block_hash bytea, updated_at bigint)",
         "('k', 'c', 'i', 5, 'h', 1)"},
        {"extra column",
         "(key bytea PRIMARY KEY, chain_id bytea, indexer_id bytea, block_number numeric(20,0), "
         "block_hash bytea, updated_at bigint, note text)",
         "('k', 'c', 'i', 5, 'h', 1, 'n')"},
        {"missing column",
         "(key bytea PRIMARY KEY, chain_id bytea, indexer_id bytea, block_number numeric(20,0), "
         "block_hash bytea)",
         "('k', 'c', 'i', 5, 'h')"},
    };
    Raw raw(dsn_);
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        raw.exec("DROP TABLE IF EXISTS " + ident(table_));
        raw.exec("CREATE TABLE " + ident(table_) + " " + shape.columns);
        raw.exec("INSERT INTO " + ident(table_) + " VALUES " + shape.row);
        const std::string rows = "SELECT array_agg(t::text) FROM " + ident(table_) + " t";
        const std::string before = raw.value(rows);

        auto r = PostgresCheckpointStore::connect(io_, dsn_, {table_});
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message(),
                  "Storage error: table \"" + table_ +
                      "\" exists but is not a checkpoint table (expected columns key bytea, "
                      "chain_id bytea, indexer_id bytea, block_number numeric(20,0), block_hash "
                      "bytea, updated_at bigint)");
        EXPECT_EQ(raw.value(rows), before);
    }
}

TEST_F(PostgresStore, FailuresToConnectNeverShowThePassword) {
    struct Case {
        const char* name;
        std::string conninfo;
        bool quoted_back;  // libpq's message quotes the connection string
    };
    const std::vector<Case> cases = {
        {"no socket there", "host=/nonexistent/vorlane user=vorlane password=s3cret-pw", false},
        {"closed TCP port", "host=127.0.0.1 port=1 user=vorlane password=s3cret-pw", false},
        {"malformed keywords", "host=/tmp password=s3cret-pw port", false},
        {"malformed URI", "postgresql://vorlane:s3cret-pw@[::1", true},
        {"malformed URI, encoded", "postgresql://vorlane:s3cret%2Dpw@[::1/db", true},
        {"quoted, escaped", "password='s3cret-pw\\'s' host=/tmp port=x", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = PostgresCheckpointStore::connect(io_, c.conninfo, {table_});
        ASSERT_FALSE(r.ok());
        const std::string message = r.error().message();
        EXPECT_EQ(message.rfind("Storage error: ", 0), 0u) << message;
        EXPECT_EQ(message.find("s3cret"), std::string::npos) << message;
        EXPECT_EQ(message.find("********") != std::string::npos, c.quoted_back) << message;
        EXPECT_NE(message.back(), '\n');
    }

    auto store = open(std::string("password=") + kPassword);
    ASSERT_TRUE(store);
    Raw raw(dsn_);
    EXPECT_EQ(store->describe(), std::string("host=") + PQhost(raw.get()) + " port=" +
                                     PQport(raw.get()) + " dbname=" + PQdb(raw.get()) +
                                     " user=" + PQuser(raw.get()));

    auto bad_name = PostgresCheckpointStore::connect(io_, dsn_, {"Checkpoints"});
    ASSERT_FALSE(bad_name.ok());
    EXPECT_EQ(bad_name.error().message(),
              "Storage error: invalid table name \"Checkpoints\": use lower-case letters, digits "
              "and underscores, at most 63 bytes, not starting with a digit");
}

TEST_F(PostgresStore, TerminatedBackendFailsOneCallAndTheNextReconnects) {
    const std::string app = "vorlane_kill_" + table_;
    auto store = open("application_name=" + app);
    ASSERT_TRUE(store);
    ASSERT_TRUE(run(store->save({"1", "main", 10, "0xa", 1})).ok());
    Raw raw(dsn_);
    const auto terminate = [&] {
        EXPECT_EQ(raw.value("SELECT bool_and(pg_terminate_backend(pid, 10000)) "
                            "FROM pg_stat_activity WHERE application_name = $1",
                            {app}),
                  "t");
    };
    struct Op {
        const char* name;
        std::function<Result<void>()> call;
    };
    const std::vector<Op> ops = {
        {"load",
         [&] {
             auto r = run(store->load("1", "main"));
             return r.ok() ? Result<void>::success() : Result<void>::failure(r.error());
         }},
        {"save", [&] { return run(store->save({"1", "main", 10, "0xa", 1})); }},
        {"delete", [&] { return run(store->delete_("2", "main")); }},
        {"save_if", [&] { return run(store->save_if({"1", "main", 20, "0xb", 2}, 10)); }},
    };
    for (const Op& op : ops) {
        SCOPED_TRACE(op.name);
        terminate();
        const auto failed = op.call();
        ASSERT_FALSE(failed.ok());
        EXPECT_EQ(failed.error().message().rfind("Storage error: ", 0), 0u)
            << failed.error().message();
        // Whatever failed was not retried behind the caller's back: the
        // conditional save below still finds block 10.
        const auto stored = run(store->load("1", "main"));
        ASSERT_TRUE(stored.ok()) << stored.error().message();
        EXPECT_EQ(stored.value()->block_number, 10u);
        EXPECT_EQ(error_text(op.call()), "ok");
        ASSERT_TRUE(run(store->save({"1", "main", 10, "0xa", 1})).ok());
    }
}

// The entries of a /proc folder: threads, open descriptors.
std::size_t entry_count(const char* folder) {
    std::size_t n = 0;
    if (DIR* d = ::opendir(folder)) {
        while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

TEST_F(PostgresStore, AWritePastItsTimeoutIsCancelledOnTheServerAndTheNextCallReconnects) {
    const std::string app = "vorlane_cancel_" + table_;
    auto opened = PostgresCheckpointStore::connect(io_, dsn_ + " application_name=" + app,
                                                   {table_, 500ms});
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    auto store = std::move(opened).value();
    ASSERT_TRUE(run(store->save({"1", "main", 1, "0xa", 1})).ok());
    Raw locker(dsn_);
    locker.exec("BEGIN");
    locker.exec("SELECT 1 FROM " + ident(table_) + " FOR UPDATE");
    Raw watcher(dsn_);
    const std::size_t descriptors = entry_count("/proc/self/fd");
    struct Op {
        const char* name;
        std::function<Result<void>()> call;
    };
    const std::vector<Op> ops = {
        {"save", [&] { return run(store->save({"1", "main", 2, "0xb", 2})); }},
        {"save_if", [&] { return run(store->save_if({"1", "main", 2, "0xb", 2}, 1)); }},
        {"delete", [&] { return run(store->delete_("1", "main")); }},
    };
    for (const Op& op : ops) {
        SCOPED_TRACE(op.name);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(error_text(op.call()),
                  "Storage error: timed out after 0.5 s waiting for the server");
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 500ms);
        EXPECT_LT(took, 2500ms);  // generous: a loaded machine, sanitizers
        // Dropping the connection alone would leave the statement waiting on
        // the lock, to run once it is released.
        std::string waiting;
        for (int i = 0; i < 100; ++i) {
            waiting = watcher.value(
                "SELECT count(*) FROM pg_stat_activity "
                "WHERE application_name = $1 AND wait_event_type = 'Lock'",
                {app});
            if (waiting == "0") break;
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_EQ(waiting, "0");
    }
    locker.exec("COMMIT");
    const auto stored = run(store->load("1", "main"));
    ASSERT_TRUE(stored.ok()) << stored.error().message();
    ASSERT_TRUE(stored.value());
    EXPECT_EQ(stored.value()->block_number, 1u);
    EXPECT_EQ(error_text(run(store->save_if({"1", "main", 3, "0xc", 3}, 1))), "ok");
    // Connected again, and nothing of the dropped connections or of the
    // cancel requests is left open.
    EXPECT_EQ(entry_count("/proc/self/fd"), descriptors);
}

TEST_F(PostgresStore, APreparedStoreConnectsInItsFirstOperationWithinItsTimeout) {
    // A listener that takes connections and never answers them.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string silent = "host=127.0.0.1 port=" + std::to_string(ntohs(address.sin_port)) +
                               " sslmode=disable gssencmode=disable";

    auto prepared = PostgresCheckpointStore::prepare(io_, silent, {table_, 300ms});
    ASSERT_TRUE(prepared.ok()) << prepared.error().message();
    const auto start = std::chrono::steady_clock::now();
    const auto loaded = run(prepared.value()->load("1", "main"));
    const auto took = std::chrono::steady_clock::now() - start;
    ::close(listener);
    ASSERT_FALSE(loaded.ok());
    EXPECT_EQ(loaded.error().message(),
              "Storage error: timed out after 0.3 s waiting for the server");
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 1500ms);

    auto store = PostgresCheckpointStore::prepare(io_, dsn_, {table_});
    ASSERT_TRUE(store.ok()) << store.error().message();
    EXPECT_EQ(error_text(run(store.value()->save({"1", "main", 1, "0xa", 1}))), "ok");
}

std::size_t thread_count() { return entry_count("/proc/self/task"); }

Task<std::vector<std::size_t>> save_and_load(PostgresCheckpointStore& store,
                                             std::thread::id caller) {
    std::vector<std::size_t> threads;
    // Named, not a braced temporary: GCC 12 mislays an SSO string of a
    // temporary argument inside a co_await expression.
    const Checkpoint cp{"1", "main", 7, "0x7", 7};
    EXPECT_TRUE((co_await store.save(cp)).ok());
    EXPECT_EQ(std::this_thread::get_id(), caller);
    threads.push_back(thread_count());
    const auto got = co_await store.load("1", "main");
    EXPECT_EQ(std::this_thread::get_id(), caller);
    threads.push_back(thread_count());
    EXPECT_TRUE(got.ok() && got.value() && got.value()->block_number == 7u);
    co_return threads;
}

TEST_F(PostgresStore, RunOnDrivesTheStoreOnTheCallingThreadAlone) {
    const std::size_t before = thread_count();
    auto store = open();
    ASSERT_TRUE(store);
    const auto during = run(save_and_load(*store, std::this_thread::get_id()));
    EXPECT_EQ(during, (std::vector<std::size_t>{before, before}));
    EXPECT_EQ(thread_count(), before);
}

TEST_F(PostgresStore, AnOperationWaitingOnTheServerHoldsNoThread) {
    const std::string app = "vorlane_wait_" + table_;
    auto blocked = open("application_name=" + app);
    auto other = open();
    ASSERT_TRUE(blocked && other);
    ASSERT_TRUE(run(blocked->save({"1", "locked", 1, "0x1", 1})).ok());

    Raw holder(dsn_);
    holder.exec("BEGIN");
    holder.exec("SELECT * FROM " + ident(table_) + " FOR UPDATE");

    std::optional<Result<void>> outcome;
    auto pending = start(blocked->save({"1", "locked", 2, "0x2", 2}), outcome);
    Raw watcher(dsn_);
    std::string waiting;
    for (int i = 0; i < 200 && waiting != "Lock"; ++i) {
        std::this_thread::sleep_for(10ms);
        waiting = watcher.value("SELECT wait_event_type FROM pg_stat_activity "
                                "WHERE application_name = $1",
                                {app});
    }
    ASSERT_EQ(waiting, "Lock");

    // The same thread serves another store meanwhile; the blocked one refuses
    // a second operation rather than interleaving it.
    EXPECT_EQ(error_text(run(other->save({"2", "free", 5, "0x5", 5}))), "ok");
    const auto free = run(other->load("2", "free"));
    ASSERT_TRUE(free.ok() && free.value());
    EXPECT_EQ(free.value()->block_number, 5u);
    EXPECT_EQ(error_text(run(blocked->delete_("9", "9"))),
              "Storage error: another operation is still running on this store");
    EXPECT_FALSE(outcome.has_value());

    holder.exec("COMMIT");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!outcome && std::chrono::steady_clock::now() < deadline) io_.run_one_for(100ms);
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(error_text(*outcome), "ok");
    EXPECT_EQ(run(other->load("1", "locked")).value()->block_number, 2u);

    // An operation abandoned mid-wait leaves the store usable: its connection
    // is dropped and the next operation reconnects.
    holder.exec("BEGIN");
    holder.exec("SELECT * FROM " + ident(table_) + " FOR UPDATE");
    std::optional<Result<void>> abandoned;
    {
        auto dropped = start(blocked->save({"1", "locked", 3, "0x3", 3}), abandoned);
        io_.poll();
    }
    holder.exec("ROLLBACK");
    EXPECT_EQ(error_text(run(blocked->save({"1", "locked", 4, "0x4", 4}))), "ok");
    io_.poll();
    EXPECT_FALSE(abandoned.has_value());
    EXPECT_EQ(run(other->load("1", "locked")).value()->block_number, 4u);
}

TEST_F(PostgresStore, ConcurrentCreatorsOfTheTableBothSucceed) {
    const std::string app = "vorlane_create_" + table_;
    Raw creator(dsn_);
    creator.exec("BEGIN");
    creator.exec("CREATE TABLE " + ident(table_) +
                 " (key bytea PRIMARY KEY, chain_id bytea NOT NULL, indexer_id bytea NOT NULL, "
                 "block_number numeric(20,0) NOT NULL, block_hash bytea NOT NULL, "
                 "updated_at bigint NOT NULL)");
    // Commits once the store's own CREATE is waiting on the uncommitted one.
    std::thread committer([&] {
        Raw watcher(dsn_);
        for (int i = 0; i < 500; ++i) {
            if (watcher.value("SELECT wait_event_type FROM pg_stat_activity "
                              "WHERE application_name = $1",
                              {app}) == "Lock")
                break;
            std::this_thread::sleep_for(10ms);
        }
        creator.exec("COMMIT");
    });
    auto store = open("application_name=" + app);
    committer.join();
    ASSERT_TRUE(store);
    const Checkpoint cp{"1", "main", 1, "0x1", 1};
    EXPECT_EQ(error_text(run(store->save(cp))), "ok");
}

// Child of the race below: advances the pair one block at a time with
// conditional saves, writing each round it won to `out`, until `rounds`.
[[noreturn]] void race(const std::string& dsn, const std::string& table, int out,
                       std::uint64_t rounds) {
    asio::io_context io(1);
    auto opened = PostgresCheckpointStore::connect(io, dsn, {table});
    if (!opened.ok()) {
        std::fprintf(stderr, "child: %s\n", opened.error().message().c_str());
        ::_exit(2);
    }
    const auto& store = *opened.value();
    for (std::uint64_t round = 0; round < rounds;) {
        const auto expected = round == 0 ? std::nullopt : std::optional<std::uint64_t>(round);
        const auto r = run_on(io, store.save_if({"race", "pair", round + 1, "h", 0}, expected));
        if (r.ok()) {
            if (::write(out, &round, sizeof round) != sizeof round) ::_exit(3);
            ++round;
        } else if (const auto* m = r.error().get_if<IndexerError::CheckpointMismatch>()) {
            if (m->block_number == round) ::_exit(4);
            round = m->block_number;
        } else {
            ::_exit(5);
        }
    }
    ::_exit(0);
}

TEST_F(PostgresStore, TwoProcessesRacingConditionalSavesWinOneRoundEach) {
    constexpr std::uint64_t kRounds = 60;
    std::vector<pid_t> children;
    std::vector<int> pipes;
    for (int i = 0; i < 2; ++i) {
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(fds[0]);
            race(dsn_, table_, fds[1], kRounds);
        }
        ::close(fds[1]);
        children.push_back(pid);
        pipes.push_back(fds[0]);
    }

    std::vector<int> wins(kRounds, 0);
    std::vector<std::size_t> per_child;
    for (const int fd : pipes) {
        std::size_t n = 0;
        std::uint64_t round = 0;
        while (::read(fd, &round, sizeof round) == sizeof round) {
            if (round < kRounds) ++wins[round];
            ++n;
        }
        ::close(fd);
        per_child.push_back(n);
    }
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    for (const pid_t pid : children) {
        int status = 0;
        while (::waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &status, 0);
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    }
    EXPECT_EQ(wins, std::vector<int>(kRounds, 1));
    EXPECT_EQ(per_child[0] + per_child[1], kRounds);
    EXPECT_EQ(Raw(dsn_).value("SELECT block_number::text FROM " + ident(table_)),
              std::to_string(kRounds));
}

}  // namespace
}  // namespace vorlane
