// What SqliteStorage and PostgresStorage share: one store object per Python
// object, reached under a mutex with the interpreter lock released, closed
// once, and never touched across a fork by the child.
#pragma once

#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "binding.hpp"
#include "vorlane/checkpoint.hpp"
#include "vorlane/checkpoint_store.hpp"
#include "vorlane/table_name.hpp"

namespace vorlane::py {

// The table name argument: validated before any SQL runs.
std::string table_name(Omittable<std::string> table);
// The same for a PostgreSQL table, whose name must not start with pg_.
std::string postgres_table_name(Omittable<std::string> table);

// `text` as a C string for the database's client library: ValueError
// naming `parameter` when it holds a NUL, which would cut it short.
std::string c_text(std::string_view text, const char* parameter);

// A path argument: a str or an os.PathLike whose path is a str.
struct FsPath {
    std::string value;
};
template <> struct From<FsPath> {
    static FsPath convert(PyObject* o);
};

// A number of seconds given as an int or a float (TypeError otherwise).
double seconds_value(PyObject* o);

// A duration argument in seconds: an int or a float, 0 to about 24 days.
struct Seconds {
    std::chrono::milliseconds value;
};
template <> struct From<Seconds> {
    static Seconds convert(PyObject* o);
};

// The timeout argument: seconds as an int or a float, rounded to whole
// milliseconds, or None for no limit.  Unlike busy_timeout it must not be 0.
struct Timeout {
    std::optional<std::chrono::milliseconds> value;
};
template <> struct From<Timeout> {
    static Timeout convert(PyObject* o);
};

// `Backend` provides:
//   using Store = ...;            the core store
//   static constexpr const char* kClassName;
//   Result<std::unique_ptr<Store>> open();          connects; called without the GIL
//   template <class T> T run(Store&, Task<T>);       drives one operation to its end
//   static void release_inherited(std::unique_ptr<Store>, bool idle);
//                                 in a forked child: let go of the parent's
//                                 store (idle: no operation was running at
//                                 the fork)
//   void abandon();               forget (leak) the rest the parent owns
template <class Backend>
class Session {
public:
    // Connects: the constructor's work, done without the interpreter lock.
    explicit Session(Backend backend) : backend_(std::move(backend)), pid_(getpid()) {
        Result<std::unique_ptr<typename Backend::Store>> opened = [&] {
            ReleasedGil released;
            return backend_.open();
        }();
        if (!opened.ok()) throw_runtime_error(opened.error().message());
        store_ = std::move(opened).value();
    }
    Session(Session&&) noexcept = default;
    Session& operator=(Session&&) = delete;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // A child process never closes what its parent opened: the connection
    // (and, for PostgreSQL, the server session behind it) stays the parent's.
    ~Session() {
        if (inherited()) forget_parent();
    }

    [[nodiscard]] const Backend& backend() const noexcept { return backend_; }

    // Runs `make(store)`'s operation to its end without the interpreter lock;
    // calls from several threads take turns.  Raises RuntimeError for a
    // closed store or a failed operation.
    template <class MakeOperation>
    auto run(MakeOperation make) {
        adopt_after_fork();
        using Task = decltype(make(std::declval<const CheckpointStore&>()));
        using Outcome = typename Task::value_type;
        std::optional<Outcome> outcome;
        bool closed = false;
        {
            ReleasedGil released;
            const std::lock_guard lock(*mutex_);
            if (closed_) {
                closed = true;
            } else {
                if (!store_) {
                    // First use in a forked child: its own connection.
                    auto opened = backend_.open();
                    if (!opened.ok()) {
                        outcome.emplace(Outcome::failure(std::move(opened).error()));
                    } else {
                        store_ = std::move(opened).value();
                    }
                }
                if (!outcome) outcome.emplace(backend_.run(*store_, make(*store_)));
            }
        }
        if (closed) throw_closed();
        if (!outcome->ok()) throw_runtime_error(outcome->error().message());
        if constexpr (!std::is_void_v<typename Outcome::value_type>) {
            return std::move(*outcome).value();
        }
    }

    // Closes the connection; later calls raise RuntimeError.  Idempotent.
    void close() {
        adopt_after_fork();
        ReleasedGil released;
        const std::lock_guard lock(*mutex_);
        closed_ = true;
        store_.reset();
    }

private:
    [[nodiscard]] bool inherited() const noexcept { return pid_ != getpid(); }

    void forget_parent() noexcept {
        // A thread that held the mutex at the fork does not exist here: its
        // operation never finishes, and its connection and mutex are left
        // as they are.
        const bool idle = mutex_ && mutex_->try_lock();
        if (idle) mutex_->unlock(); else (void)mutex_.release();
        Backend::release_inherited(std::move(store_), idle);
        backend_.abandon();
    }

    // Runs with the interpreter lock held, so the threads of a forked child
    // pass here one at a time and only the first one resets.
    void adopt_after_fork() {
        if (!inherited()) [[likely]]
            return;
        forget_parent();
        mutex_ = std::make_unique<std::mutex>();
        pid_ = getpid();
    }

    [[noreturn, gnu::cold]] static void throw_closed() {
        throw_runtime_error(std::string(Backend::kClassName) + " is closed");
    }

    Backend backend_;
    std::unique_ptr<typename Backend::Store> store_;
    std::unique_ptr<std::mutex> mutex_ = std::make_unique<std::mutex>();
    bool closed_ = false;
    pid_t pid_;
};

// The methods both classes share, over a record `R` that holds
// `mutable Session<...> session`.
template <class R>
struct StorageMethods {
    static std::optional<Checkpoint> load_checkpoint(const R& self, std::string_view chain_id,
                                                     std::string_view indexer_id) {
        return self.session.run(
            [&](const CheckpointStore& s) { return s.load(chain_id, indexer_id); });
    }
    static void save_checkpoint(const R& self, Checkpoint checkpoint) {
        self.session.run([&](const CheckpointStore& s) { return s.save(std::move(checkpoint)); });
    }
    static void save_checkpoint_if(const R& self, Checkpoint checkpoint,
                                   std::optional<std::uint64_t> expected_block_number) {
        self.session.run([&](const CheckpointStore& s) {
            return s.save_if(std::move(checkpoint), expected_block_number);
        });
    }
    static void delete_checkpoint(const R& self, std::string_view chain_id,
                                  std::string_view indexer_id) {
        self.session.run(
            [&](const CheckpointStore& s) { return s.delete_(chain_id, indexer_id); });
    }
    static void close(const R& self) { self.session.close(); }
    static void exit(const R& self, PyObject*, PyObject*, PyObject*) { self.session.close(); }

    static constinit inline Signature kLoad = signature("load_checkpoint", {"chain_id", "indexer_id"});
    static constinit inline Signature kSave = signature("save_checkpoint", {"checkpoint"});
    static constinit inline Signature kSaveIf =
        signature("save_checkpoint_if", {"checkpoint", "expected_block_number"});
    static constinit inline Signature kDelete =
        signature("delete_checkpoint", {"chain_id", "indexer_id"});
    static constinit inline Signature kExit =
        signature("__exit__", {"exc_type", "exc_value", "traceback"});

    static inline const Method table[] = {
        method_def<&load_checkpoint, kLoad>("Load a checkpoint for the given chain and indexer."),
        method_def<&save_checkpoint, kSave>("Save (upsert) a checkpoint."),
        method_def<&save_checkpoint_if, kSaveIf>(
            "Save a checkpoint only if the stored one is at expected_block_number "
            "(None: only if none is stored)."),
        method_def<&delete_checkpoint, kDelete>("Delete a checkpoint."),
        noargs_method_def<&close>("close", "Close the storage; closing twice is allowed."),
        enter_self_def("Return the storage."),
        method_def<&exit, kExit>("Close the storage."),
    };
};

}  // namespace vorlane::py
