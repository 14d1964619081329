// The records of vorlane_stores' classes: each holds one session on its
// durable store.  Checkpoint objects are vorlane's own (adopted at import).
#pragma once

#include <asio/io_context.hpp>
#include <memory>
#include <string>

#include "classes.hpp"
#include "durable_storage.hpp"
#include "vorlane/postgres_store.hpp"
#include "vorlane/sqlite_store.hpp"

namespace vorlane::py {

struct SqliteBackend {
    using Store = SqliteCheckpointStore;
    static constexpr const char* kClassName = "SqliteStorage";

    std::string path;
    SqliteOptions options;

    Result<std::unique_ptr<Store>> open() const { return Store::open(path, options); }
    template <class T>
    static T run(Store&, Task<T> task) {
        return sync_wait(std::move(task));  // SQLite calls block; nothing suspends
    }
    // The store closes what it inherited on its own: no SQLite work was in
    // progress at the fork, whatever the session's threads were doing.
    static void release_inherited(std::unique_ptr<Store> store, bool) noexcept { store.reset(); }
    static void abandon() noexcept {}
};

struct PostgresBackend {
    using Store = PostgresCheckpointStore;
    static constexpr const char* kClassName = "PostgresStorage";

    std::string conninfo;
    PostgresOptions options;
    // The reactor the connection's waits run on, driven by the calling
    // thread during each operation.  Null after a fork until reopened.
    std::unique_ptr<asio::io_context> io;
    std::string description;  // the connection without its password

    Result<std::unique_ptr<Store>> open() {
        if (!io) io = std::make_unique<asio::io_context>(1);
        // Reopened (in a forked child): the call that needs the connection
        // makes it, within that call's timeout.
        if (!description.empty()) return Store::prepare(*io, conninfo, options);
        auto opened = Store::connect(*io, conninfo, options);
        if (opened.ok() && description.empty()) description = opened.value()->describe();
        return opened;
    }
    template <class T>
    T run(Store&, Task<T> task) {
        return run_on(*io, std::move(task));
    }
    // Closing the connection would end the parent's session on the server.
    static void release_inherited(std::unique_ptr<Store> store, bool) noexcept {
        (void)store.release();
    }
    // The parent's reactor shares its epoll instance with the child:
    // destroying it here would unregister the parent's descriptors.
    void abandon() noexcept { (void)io.release(); }
};

inline constexpr const char kStoresModule[] = "vorlane_stores";

struct SqliteRecord {
    mutable Session<SqliteBackend> session;
};

struct PostgresRecord {
    mutable Session<PostgresBackend> session;
};

template <> struct is_record<SqliteRecord> : std::true_type {};
template <> struct is_record<PostgresRecord> : std::true_type {};
template <> const ClassDef& class_def<SqliteRecord>();
template <> const ClassDef& class_def<PostgresRecord>();

}  // namespace vorlane::py
